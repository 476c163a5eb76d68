#!/usr/bin/env python3
"""Keys, a package and its signatures, made with the stock minisign tool for the signature tests.

    signed_packages.py DIR TESTAPP

Run on the build machine (the Windows tests under Wine read DIR through its drive letter), it
makes DIR anew with:

    first.pub, second.pub    the public keys as the updater takes them ("RW...")
    package.zip              TESTAPP as app.exe, data/which.txt "new" and readme.txt "2.0"
    package.zip.sha256       its SHA-256 in hexadecimal
    package.zip.minisig      the second key's signature, trusted comment
                             "timestamp:1733500000 version:2.0"
    first.minisig            the first key's signature of package.zip, trusted comment "version:2.0"
    relabelled.minisig       first.minisig with the second key's id in place of the first's
    legacy.minisig           the second key's signature in the legacy form (minisign -l)
    old-version.minisig      the second key's signature, trusted comment "version:1.0"
    first.key, second.key    the secret keys, unencrypted (minisign -G -W)
    locked.key, locked.pub   a key pair whose secret key is encrypted with the password in
                             locked.password (minisign's default, scrypt)
"""

import base64
import hashlib
import os
import shutil
import subprocess
import sys
import zipfile


def minisign(*args):
    subprocess.run(["minisign", *args], check=True, stdin=subprocess.DEVNULL,
                   stdout=subprocess.DEVNULL)


def make_key(directory, name):
    """A key pair without a password; returns the secret key's path."""
    public = os.path.join(directory, name + ".pubfile")
    secret = os.path.join(directory, name + ".key")
    minisign("-G", "-W", "-p", public, "-s", secret)
    with open(public, encoding="ascii") as source:
        key_line = source.read().splitlines()[1]
    with open(os.path.join(directory, name + ".pub"), "w", encoding="ascii") as out:
        out.write(key_line)
    return secret


def make_locked_key(directory, password):
    """A key pair whose secret key is protected by password, as minisign -G makes it by default."""
    public = os.path.join(directory, "locked.pubfile")
    secret = os.path.join(directory, "locked.key")
    subprocess.run(["minisign", "-G", "-p", public, "-s", secret], check=True,
                   input=(password + "\n" + password + "\n").encode(), stdout=subprocess.DEVNULL)
    with open(public, encoding="ascii") as source:
        key_line = source.read().splitlines()[1]
    with open(os.path.join(directory, "locked.pub"), "w", encoding="ascii") as out:
        out.write(key_line)
    # A line end from a Windows editor, which the password does not include.
    with open(os.path.join(directory, "locked.password"), "w", encoding="ascii", newline="") as out:
        out.write(password + "\r\n")


def sign(secret, package, signature, *options):
    minisign("-S", "-s", secret, "-m", package, "-x", signature, *options)


def with_key_id_of(signature, other_signature, target):
    """signature with other_signature's key id on its signature line."""
    with open(signature, encoding="ascii") as source:
        lines = source.read().splitlines()
    with open(other_signature, encoding="ascii") as source:
        other_id = base64.b64decode(source.read().splitlines()[1])[2:10]
    line = base64.b64decode(lines[1])
    lines[1] = base64.b64encode(line[:2] + other_id + line[10:]).decode("ascii")
    with open(target, "w", encoding="ascii") as out:
        out.write("\n".join(lines) + "\n")


def make_package(path, testapp):
    with zipfile.ZipFile(path, "w", zipfile.ZIP_DEFLATED) as package:
        app = zipfile.ZipInfo.from_file(testapp, "app.exe")
        app.external_attr = 0o100755 << 16
        app.compress_type = zipfile.ZIP_DEFLATED
        with open(testapp, "rb") as source:
            package.writestr(app, source.read())
        package.writestr("data/which.txt", "new")
        package.writestr("readme.txt", "2.0")


def main(argv):
    if len(argv) != 3:
        sys.stderr.write(__doc__)
        return 2
    directory, testapp = argv[1], argv[2]
    shutil.rmtree(directory, ignore_errors=True)
    os.makedirs(directory)
    first = make_key(directory, "first")
    second = make_key(directory, "second")
    make_locked_key(directory, "correct horse")
    package = os.path.join(directory, "package.zip")
    make_package(package, testapp)
    with open(package, "rb") as source, open(package + ".sha256", "w", encoding="ascii") as out:
        out.write(hashlib.sha256(source.read()).hexdigest())

    def at(name):
        return os.path.join(directory, name)

    sign(second, package, package + ".minisig", "-t", "timestamp:1733500000 version:2.0")
    sign(first, package, at("first.minisig"), "-t", "version:2.0")
    with_key_id_of(at("first.minisig"), package + ".minisig", at("relabelled.minisig"))
    sign(second, package, at("legacy.minisig"), "-l")
    sign(second, package, at("old-version.minisig"), "-t", "version:1.0")
    print(f"signed packages in {directory}")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
