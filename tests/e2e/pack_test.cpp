// `updater pack`: the package it makes round-trips through download, apply and other zip tools,
// is the same for the same tree, and is never made from a tree apply would install wrongly.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <functional>
#include <random>
#include <regex>

#include "files.h"
#include "support.h"
#include "text.h"

using namespace support;

namespace {

using Args = std::vector<std::string>;

// The fields of the release record, read with a pattern per field (its values hold no quotes).
std::string record_field(const std::string& record, const std::string& name) {
    std::smatch match;
    const std::regex field("\"" + name + "\": (\"([^\"]*)\"|[0-9]+|null)");
    if (!std::regex_search(record, match, field)) {
        return "<missing " + name + ">";
    }
    return match[2].matched ? match[2].str() : match[1].str();
}

std::string random_bytes(std::size_t size, unsigned seed) {
    std::mt19937 generator(seed);
    std::string bytes(size, '\0');
    for (char& byte : bytes) {
        byte = static_cast<char>(generator() & 0xFF);
    }
    return bytes;
}

bool has_line(const std::string& err, const std::string& text) {
    return err.find(text) != std::string::npos;
}

struct Pack : ::testing::Test {
    TempDir dir;
    fs::path source = dir / "build";
    fs::path out = dir / "out";
    fs::path output = out / "parvel-2.0.zip";
    Undo epoch = set_environment("SOURCE_DATE_EPOCH", "1733500000");

    void SetUp() override { fs::create_directories(out); }

    RunResult pack(const fs::path& tree, const fs::path& to, Args extra = {}) const {
        Args args = {"pack", "--dir", tree.string(), "--output", to.string(), "--version", "2.0"};
        args.insert(args.end(), extra.begin(), extra.end());
        return run_updater(args);
    }
    Args signing(const std::string& key = "second") const {
        return {"--secret-key", (signed_packages() / (key + ".key")).string()};
    }

    // Nested and empty directories, an empty file, a large compressible file (deflated in pieces)
    // and a random one (stored), UTF-8 names, executable and plain modes.
    void make_tree(const fs::path& at, bool reversed = false) const {
        std::vector<std::function<void()>> steps = {
            [&] { install_testapp(at, "app.exe"); },
            [&] { write_file(at / "readme.txt", "Parvel 2.0"); },
            [&] { fs::create_directories(at / "empty" / "deeper"); },
            [&] { write_file(at / "data" / "empty.txt", ""); },
            [&] {
                std::string text;
                for (int i = 0; text.size() < 9 * 1024 * 1024; ++i) {
                    text += "line " + std::to_string(i) + "\n";
                }
                write_file(at / "data" / "large.txt", text);
            },
            [&] { write_file(at / "data" / "random.bin", random_bytes(300000, 7)); },
            [&] { write_file(at / fs::u8path("données") / fs::u8path("Ärger ü.txt"), "ä"); },
            [&] {
                write_file(at / "tools" / "run.sh", "#!/bin/sh\n");
                fs::permissions(at / "tools" / "run.sh", fs::perms(0750));
                write_file(at / "tools" / "private.cfg", "x");
                fs::permissions(at / "tools" / "private.cfg", fs::perms(0600));
            },
        };
        if (reversed) {
            std::reverse(steps.begin(), steps.end());
        }
        for (const auto& step : steps) {
            step();
        }
    }

    // Every file with its content and (Linux) permission bits, and every directory.
    static std::vector<std::string> listing(const fs::path& at) {
        std::vector<std::string> entries;
        for (const auto& [name, content] : tree(at)) {
            entries.push_back(name + " " + std::to_string(permissions_of(at / fs::u8path(name))) +
                              " " + std::to_string(std::hash<std::string>()(content)));
        }
        for (auto it = fs::recursive_directory_iterator(at); it != fs::end(it); ++it) {
            if (it->is_directory()) {
                entries.push_back(fs::relative(it->path(), at).generic_u8string() + "/");
            }
        }
        std::sort(entries.begin(), entries.end());
        return entries;
    }
};

TEST_F(Pack, RoundTripsThroughDownloadApplyAndOtherZipTools) {
    make_tree(source);
    const RunResult packed = pack(source, output, signing());
    ASSERT_EQ(packed.exit_code, 0) << packed.err;
    EXPECT_TRUE(
        has_line(packed.err, "[info] Packing " + source.string() + " -> " + output.string()));
    const std::string record = read_file(with_suffix(output, ".json"));
    const std::string sha256 = record_field(record, "sha256");
    const std::string size = record_field(record, "size");
    EXPECT_TRUE(
        has_line(packed.err, "[info] Packed 8 files, " + size + " bytes, sha256 " + sha256));
    EXPECT_TRUE(has_line(packed.err, "[info] Signed with key "));
    EXPECT_EQ(size, std::to_string(fs::file_size(output)));
    EXPECT_EQ(record_field(record, "file"), "parvel-2.0.zip");
    EXPECT_EQ(record_field(record, "signature"), "parvel-2.0.zip.minisig");
    EXPECT_EQ(record_field(record, "version"), "2.0");
    EXPECT_EQ(record_field(record, "exe"), "app.exe");
    EXPECT_EQ(names_in(out),
              Lines({"parvel-2.0.zip", "parvel-2.0.zip.json", "parvel-2.0.zip.minisig"}));

    // Downloaded from the test server, bound to the record's values and the signature.
    const fs::path server = host_path(std::getenv("UPDATER_TEST_SERVER"));
    const std::string token = dir.path().filename().string();
    fs::create_directories(server / "files" / token);
    fs::copy_file(output, server / "files" / token / "p.zip");
    fs::copy_file(with_suffix(output, ".minisig"), server / "files" / token / "p.zip.minisig");
    const std::string port = read_file(server / "port");
    const fs::path root = dir / "app";
    const fs::path downloaded = root / "packages" / "p.zip";
    const RunResult fetched = run_updater(
        {"download", "--url", "http://127.0.0.1:" + port + "/files/" + token + "/p.zip", "--output",
         downloaded.string(), "--app-dir", root.string(), "--sha256", sha256, "--size", size,
         "--public-key", public_key("second"), "--version", "2.0"});
    fs::remove_all(server / "files" / token);
    ASSERT_EQ(fetched.exit_code, 0) << read_file(root / "updater.log");

    // Applied over an older installation: the tree as packed, modes included on Linux.
    install_testapp(root / "current", "app.exe");
    const long pid =
        start_testapp(root / "current" / "app.exe", {"--linger-ms", "300"}, root / "current");
    const RunResult applied = run_updater(
        {"apply", "--pid", std::to_string(pid), "--package", downloaded.string(), "--app-dir",
         root.string(), "--version", "2.0", "--public-key", public_key("second")});
    ASSERT_EQ(applied.exit_code, 0) << read_file(root / "updater.log");
    wait_until([&] { return fs::exists(root / "current" / "starts.txt"); });
    fs::remove(root / "current" / "starts.txt");
    const std::vector<std::string> expected = listing(source);
    EXPECT_EQ(listing(root / "current"), expected);
    if (!is_windows()) {
        EXPECT_EQ(permissions_of(root / "current" / "app.exe") & 0111, 0111u);
        EXPECT_EQ(permissions_of(root / "current" / "tools" / "private.cfg"), 0600u);
    }

    if (is_windows()) {
        return;  // the stock tools below run on the build machine
    }
    const RunResult verified =
        run("/usr/bin/minisign", {"-Vm", output.string(), "-P", public_key("second")});
    EXPECT_EQ(verified.exit_code, 0) << verified.err;
    EXPECT_TRUE(has_line(verified.out, "timestamp:1733500000 version:2.0")) << verified.out;
    const fs::path unzipped = dir / "unzipped";
    EXPECT_EQ(run("/usr/bin/unzip", {"-q", output.string(), "-d", unzipped.string()}).exit_code, 0);
    EXPECT_EQ(listing(unzipped), expected);
    const fs::path untarred = dir / "untarred";
    fs::create_directories(untarred);
    EXPECT_EQ(run("/usr/bin/bsdtar", {"-xf", output.string(), "-C", untarred.string()}).exit_code,
              0);
    EXPECT_EQ(listing(untarred), expected);
}

TEST_F(Pack, SameTreeGivesTheSameBytes) {
    make_tree(source);
    const fs::path other = dir / "other";
    make_tree(other, true);
    fs::last_write_time(other / "readme.txt",
                        fs::file_time_type::clock::now() - std::chrono::hours(300));
    const fs::path second = dir / "second" / "parvel-2.0.zip";
    fs::create_directories(second.parent_path());
    ASSERT_EQ(pack(source, output, signing()).exit_code, 0);
    ASSERT_EQ(pack(other, second, signing()).exit_code, 0);
    EXPECT_EQ(read_file(output), read_file(second));
    EXPECT_EQ(read_file(with_suffix(output, ".minisig")),
              read_file(with_suffix(second, ".minisig")));

    // The fixed time is the one given, to two seconds: 2024-12-06 15:46:40 UTC.
    const Undo later = set_environment("SOURCE_DATE_EPOCH", "1733500001");
    ASSERT_EQ(pack(source, second).exit_code, 0);
    EXPECT_EQ(read_file(output), read_file(second));
    const Undo unset = set_environment("SOURCE_DATE_EPOCH", "");
    ASSERT_EQ(pack(source, second).exit_code, 0);
    EXPECT_NE(read_file(output), read_file(second));
    EXPECT_FALSE(fs::exists(with_suffix(second, ".minisig")));  // an unsigned pack leaves none
}

// A refused pack writes nothing and keeps what an earlier pack left.
struct PackRefusal : Pack {
    void expect_refused(const std::string& line) {
        const RunResult first = pack(source, output);
        EXPECT_EQ(first.exit_code, 1);
        EXPECT_TRUE(has_line(first.err, "[error] " + line)) << first.err;
        EXPECT_TRUE(names_in(out).empty());
        write_file(output, "earlier zip");
        write_file(with_suffix(output, ".json"), "earlier record");
        const RunResult again = pack(source, output);
        EXPECT_EQ(again.exit_code, 1);
        EXPECT_EQ(read_file(output), "earlier zip");
        EXPECT_EQ(read_file(with_suffix(output, ".json")), "earlier record");
        EXPECT_EQ(names_in(out), Lines({"parvel-2.0.zip", "parvel-2.0.zip.json"}));
    }
    void SetUp() override {
        Pack::SetUp();
        install_testapp(source, "app.exe");
        write_file(source / "docs" / "a.txt", "a");
    }
};

TEST_F(PackRefusal, TreeWithoutTheExecutable) {
    fs::rename(source / "app.exe", source / "docs" / "app.exe");
    expect_refused("No app.exe at the top of " + source.string());
}

TEST_F(PackRefusal, NamesDifferingOnlyInLetterCase) {
    if (is_windows()) {
        GTEST_SKIP() << "the Windows file system holds no such pair";
    }
    write_file(source / "DOCS" / "b.txt", "b");
    expect_refused("Names differ only in letter case: docs/");
}

TEST_F(PackRefusal, NameWindowsCannotHold) {
    if (is_windows()) {
        GTEST_SKIP() << "the Windows file system holds no such name";
    }
    write_file(source / "docs" / "aux.txt", "device");
    expect_refused("Name Windows cannot hold: docs/aux.txt");
}

TEST_F(PackRefusal, NameWithABackslash) {
    if (is_windows()) {
        GTEST_SKIP() << "a backslash separates names on Windows";
    }
    write_file(source / "docs" / "a\\b.txt", "b");
    expect_refused("Name holds a backslash: docs/a\\b.txt");
}

TEST_F(PackRefusal, NameThatIsNotUtf8) {
    if (is_windows()) {
        GTEST_SKIP() << "Windows names are UTF-16";
    }
    write_file(source / "docs" / "caf\xE9.txt", "latin-1");
    expect_refused("Name is not valid UTF-8: " + (source / "docs" / "caf\xE9.txt").string());
}

TEST_F(PackRefusal, DeltaDirectoryInTheTree) {
    write_file(source / ".delta" / "manifest.json", "{}");
    expect_refused("Name is reserved for delta packages: .delta/");
    fs::remove_all(source / ".delta");
    fs::remove_all(out);
    fs::create_directories(out);
    write_file(source / ".Delta", "a file");
    expect_refused("Name is reserved for delta packages: .Delta");
}

TEST_F(PackRefusal, LinkInTheTree) {
    const std::string refused = make_directory_link(source / "docs", source / "linked");
    if (!refused.empty()) {
        GTEST_SKIP() << refused;
    }
    expect_refused("Link in the tree: linked");
}

TEST_F(PackRefusal, FifoInTheTree) {
    const std::string refused = make_fifo(source / "docs" / "pipe");
    if (!refused.empty()) {
        GTEST_SKIP() << refused;
    }
    expect_refused("Special file in the tree: docs/pipe");
}

TEST_F(PackRefusal, VersionASignatureCannotName) {
    const RunResult r =
        run_updater({"pack", "--dir", source.string(), "--output", output.string(), "--version",
                     "2.0 beta", "--secret-key", (signed_packages() / "second.key").string()});
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_TRUE(has_line(r.err, "[error] Version can't be named in a signature: 2.0 beta"));
    EXPECT_TRUE(names_in(out).empty());
}

TEST_F(Pack, SignsWithAnEncryptedKeyGivenItsPassword) {
    install_testapp(source, "app.exe");
    const std::string key = (signed_packages() / "locked.key").string();
    const std::string good = (signed_packages() / "locked.password").string();
    write_file(dir / "wrong", "incorrect horse\n");

    const RunResult wrong =
        pack(source, output, {"--secret-key", key, "--password-file", (dir / "wrong").string()});
    EXPECT_EQ(wrong.exit_code, 1);
    EXPECT_TRUE(has_line(wrong.err, "[error] Wrong password for secret key: " + key));
    const RunResult without = pack(source, output, {"--secret-key", key});
    EXPECT_EQ(without.exit_code, 1);
    EXPECT_TRUE(has_line(without.err, "[error] Secret key is encrypted, and no --password-file"));
    write_file(dir / "bad.key", "untrusted comment: x\nRWQAAAA=\n");
    const RunResult malformed = pack(source, output, {"--secret-key", (dir / "bad.key").string()});
    EXPECT_EQ(malformed.exit_code, 1);
    EXPECT_TRUE(has_line(malformed.err, "[error] Malformed secret key: "));
    EXPECT_TRUE(names_in(out).empty());

    const RunResult right = pack(source, output, {"--secret-key", key, "--password-file", good});
    ASSERT_EQ(right.exit_code, 0) << right.err;
    // The updater itself checks the signature as apply does.
    const RunResult staged =
        run_updater({"stage", "--package", output.string(), "--app-dir", (dir / "app").string(),
                     "--version", "2.0", "--public-key", public_key("locked")});
    EXPECT_EQ(staged.exit_code, 0) << read_file(dir / "app" / "updater.log");
}

TEST_F(Pack, NeedsItsOptionsAndListsThem) {
    EXPECT_EQ(run_updater({"pack", "--dir", source.string()}).exit_code, 106);
    const RunResult help = run_updater({"pack", "--help"});
    EXPECT_EQ(help.exit_code, 0);
    for (const char* option :
         {"--dir", "--output", "--version", "--exe", "--secret-key", "--password-file", "--base"}) {
        EXPECT_TRUE(has_line(help.out, option)) << option;
    }
}

}  // namespace
