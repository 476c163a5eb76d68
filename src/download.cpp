#include "download.h"

#include <spdlog/spdlog.h>

#include <cstdint>
#include <system_error>

#include "digest.h"
#include "files.h"
#include "log.h"
#include "receive.h"
#include "run_start.h"
#include "signature.h"
#include "text.h"

namespace fs = std::filesystem;

namespace {

// Fetches url into `temporary`, taking at most max_bytes (negative: no limit but the disk's) and
// feeding the digests as the bytes arrive; `received` is how many came. A failure is logged and
// leaves no file behind. `what` names the file in the log.
[[nodiscard]] bool fetch(const char* what, const std::string& url, const fs::path& temporary,
                         std::int64_t max_bytes, const std::vector<Digest*>& digests,
                         std::uint64_t& received) {
    remove_file(temporary);
    spdlog::info("Downloading {}: {} -> {}", what, url, path_text(temporary));
    std::int32_t result = 0;
    {
        // Closed before a failed file is removed: Windows removes no open file.
        BodyReceiver body(temporary, max_bytes, digests);
        result = download_url_to_file(url, body);
        received = body.received();
    }
    if (result < 0) {
        spdlog::error("URLDownloadToFile failed: hr=0x{:08x} url={}",
                      static_cast<std::uint32_t>(result), url);
        remove_file(temporary);
        return false;
    }
    return true;
}

[[nodiscard]] bool fetch(const char* what, const std::string& url, const fs::path& temporary,
                         std::int64_t max_bytes) {
    std::uint64_t received = 0;
    return fetch(what, url, temporary, max_bytes, {}, received);
}

// The rename replaces a file at the target in one step, so that file stays until the new one is
// in place, even when the rename fails; only something else in the way (an empty directory) is
// removed first. `what` names the file in the log.
[[nodiscard]] bool move_into_place(const char* what, const fs::path& temporary,
                                   const fs::path& target) {
    if (!regular_file_size(target)) {
        remove_file(target);
    }
    // Flushed first: after a power cut the target must be the old file or all of the new one.
    if (!make_file_durable(temporary)) {
        remove_file(temporary);
        return false;
    }
    if (const NativeError error = rename_path(temporary, target); error.failed()) {
        spdlog::error("Failed to move {} into place: {}", what, error_text(error));
        remove_file(temporary);
        return false;
    }
    // The new file is in place, and complete on the disk: should the rename itself not survive
    // a power cut, the old file is back, whole. So a failure here is logged and no more.
    static_cast<void>(make_rename_durable(target));
    return true;
}

// Compares the finished digest with the expected one, in any letter case; a mismatch is logged.
[[nodiscard]] bool digest_matches(const fs::path& path, Sha256& sha256,
                                  const std::string& expected) {
    const std::optional<std::vector<unsigned char>> digest = sha256.finish();
    if (!digest) {
        return false;
    }
    const std::string actual = to_hex(*digest);
    if (ascii_lower(expected) == actual) {
        return true;
    }
    spdlog::warn("Package sha256 mismatch: {} expected={} actual={}", path_text(path), expected,
                 actual);
    return false;
}

// The digests of a package being downloaded, fed as its bytes arrive: SHA-256 when one is
// expected, BLAKE2b-512 when it must be signed. One that could not be set up (logged) is not fed
// and fails the check.
struct ArrivingDigests {
    std::optional<Sha256> sha256;
    std::optional<Blake2b512> blake2b;

    ArrivingDigests(bool with_sha256, bool with_blake2b) {
        if (with_sha256) {
            sha256.emplace();
        }
        if (with_blake2b) {
            blake2b.emplace();
        }
    }
    std::vector<Digest*> ready() {
        std::vector<Digest*> digests;
        if (sha256 && sha256->ready()) {
            digests.push_back(&*sha256);
        }
        if (blake2b && blake2b->ready()) {
            digests.push_back(&*blake2b);
        }
        return digests;
    }
};

// verify_package's checks, in its order, on what the transfer received: its count and its
// digests. A failure is logged and removes the file.
[[nodiscard]] bool verify_received(const fs::path& temporary, const std::string& sha256,
                                   std::int64_t size, const SignatureRule* rule,
                                   std::uint64_t received, ArrivingDigests& digests) {
    const bool passed = [&] {
        if (size >= 0 && received != static_cast<std::uint64_t>(size)) {
            spdlog::warn("Package size mismatch: {} expected={} actual={}", path_text(temporary),
                         size, received);
            return false;
        }
        std::optional<PackageSignature> signature;
        if (rule != nullptr && !signature.emplace(*rule).usable()) {
            return false;
        }
        if (digests.sha256 &&
            (!digests.sha256->ready() || !digest_matches(temporary, *digests.sha256, sha256))) {
            return false;
        }
        return !signature ||
               (digests.blake2b->ready() && signature->verify(digests.blake2b->finish()));
    }();
    if (!passed) {
        spdlog::error("Downloaded package failed integrity checks: {}", path_text(temporary));
        remove_file(temporary);
    }
    return passed;
}

// Fetches the package into <package>.download, hashing it as it arrives, verifies it (against
// the signature when a rule is given) and moves it into place.
[[nodiscard]] bool fetch_package(const std::string& url, const fs::path& package,
                                 const std::string& sha256, std::int64_t size,
                                 const SignatureRule* rule) {
    const fs::path temporary = with_suffix(package, ".download");
    ArrivingDigests digests(!sha256.empty(), rule != nullptr);
    std::uint64_t received = 0;
    return fetch("package", url, temporary, size, digests.ready(), received) &&
           verify_received(temporary, sha256, size, rule, received, digests) &&
           move_into_place("package", temporary, package);
}

// fetch_package for a signed package: its signature is fetched first (it is small, and a missing
// one ends the run before the package is fetched) into <signature>.download, the package is
// verified against it, and both are moved into place, the package first. An interruption between
// the two moves leaves a package that fails its next check and is fetched again.
[[nodiscard]] bool fetch_signed_package(const std::string& url, const std::string& signature_url,
                                        const fs::path& package, const fs::path& signature,
                                        const std::string& sha256, std::int64_t size,
                                        const std::vector<PublicKey>& keys,
                                        const std::optional<std::string>& version) {
    const fs::path temporary_signature = with_suffix(signature, ".download");
    const SignatureRule rule{temporary_signature, keys, version, SignatureFailure::ends_run};
    const bool done =
        fetch("signature", signature_url, temporary_signature, signature_file_limit) &&
        fetch_package(url, package, sha256, size, &rule) &&
        move_into_place("signature", temporary_signature, signature);
    // Left only by a failure after the signature was fetched.
    remove_file(temporary_signature);
    return done;
}

}  // namespace

[[nodiscard]] bool verify_package(const fs::path& path, const std::string& expected_sha256,
                                  std::int64_t expected_size, const SignatureRule* signature_rule) {
    // A missing file is the ordinary "not downloaded yet" case, so it is not logged.
    const std::optional<std::uint64_t> length = regular_file_size(path);
    if (!length) {
        return false;
    }
    if (expected_size >= 0) {
        const auto actual = static_cast<std::int64_t>(*length);
        if (actual != expected_size) {
            spdlog::warn("Package size mismatch: {} expected={} actual={}", path_text(path),
                         expected_size, actual);
            return false;
        }
    }
    std::optional<PackageSignature> signature;
    if (signature_rule != nullptr && !signature.emplace(*signature_rule).usable()) {
        return false;
    }
    std::optional<Sha256> sha256;
    if (!expected_sha256.empty() && !sha256.emplace().ready()) {
        return false;
    }
    // One read of the package for both digests.
    std::vector<Digest*> digests;
    if (sha256) {
        digests.push_back(&*sha256);
    }
    if (signature) {
        digests.push_back(&signature->package_digest());
    }
    if (!digests.empty() && !feed_file(path, digests)) {
        return false;
    }
    if (sha256 && !digest_matches(path, *sha256, expected_sha256)) {
        return false;
    }
    return !signature || signature->verify();
}

int run_download(const std::string& url, const fs::path& package, const std::string& sha256,
                 std::int64_t size, const fs::path& root,
                 const std::vector<std::string>& public_keys, const std::string& signature_url,
                 const std::optional<std::string>& version) {
    // The lock file lies beside the package, so its directory is made before anything else.
    if (const NativeError error = make_directories(package.parent_path()); error.failed()) {
        init_logging(root);
        spdlog::error("Failed to create package directory {}: {}", path_text(package.parent_path()),
                      error_text(error));
        return 1;
    }
    // Two runs for one output would share its .download files: one could move the other's
    // unfinished file into place.
    const fs::path lock_path = with_suffix(package, ".lock");
    const FileLock lock = start_locked_run(
        root, [&lock_path] { return lock_file(lock_path); }, lock_path,
        "Another download to " + path_text(package) + " is in progress");
    if (!lock.held()) {
        return 1;
    }
    const std::optional<std::vector<PublicKey>> keys = parse_public_keys(public_keys);
    if (!keys) {
        return 1;
    }
    // Without keys no signature is read or fetched.
    const fs::path signature = with_suffix(package, ".minisig");
    // A package in place signed for another version is fetched again.
    const SignatureRule in_place{signature, *keys, version, SignatureFailure::fetch_again};
    if (verify_package(package, sha256, size, keys->empty() ? nullptr : &in_place)) {
        spdlog::info("Package already present and verified: {}", path_text(package));
        return 0;
    }
    const bool fetched =
        keys->empty()
            ? fetch_package(url, package, sha256, size, nullptr)
            : fetch_signed_package(url, signature_url.empty() ? url + ".minisig" : signature_url,
                                   package, signature, sha256, size, *keys, version);
    if (!fetched) {
        return 1;
    }
    spdlog::info("Package downloaded and verified: {}", path_text(package));
    return 0;
}
