// `updater download` against the local test server (tests/http_server.py, started by CTest): what
// lands at the output path, what is left beside it, the log, and whether the network was used.
#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <functional>
#include <regex>
#include <sstream>
#include <thread>

#include "files.h"
#include "native_error.h"
#include "support.h"
#include "text.h"

using namespace support;

namespace {

// Known content and its digest, computed independently; longer than one 1 MiB read.
const std::string kPackage(std::size_t{1} << 20 | 1, 'a');
const std::string kPackageDigest =
    "4a3f0c0c213adea174f9a3d4c13177315b588bdb2e9c1012d3d0bf0453ca0f6a";
const std::string kPackageSize = std::to_string(kPackage.size());
const std::string kEmptyDigest = "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855";

int read_number(const fs::path& file) {
    return std::stoi(read_file(file));
}

struct Download : ::testing::Test {
    TempDir dir;
    fs::path server;
    int port = 0;
    int closed_port = 0;
    // Unique to this test and part of every URL it uses, so that it counts only its requests.
    std::string token = dir.path().filename().string();
    fs::path output = dir / "packages" / "pkg.zip";
    fs::path updater = updater_exe();

    void SetUp() override {
        const char* state = std::getenv("UPDATER_TEST_SERVER");
        ASSERT_NE(state, nullptr) << "run through CTest, which starts the test server";
        server = host_path(state);
        port = read_number(server / "port");
        closed_port = read_number(server / "closed_port");
    }
    void TearDown() override {
        std::error_code ignored;
        fs::remove_all(server / "files" / token, ignored);
    }

    std::string url(const std::string& path) const {
        return "http://127.0.0.1:" + std::to_string(port) + "/" + path;
    }
    std::string serve(const std::string& name, const std::string& bytes) const {
        write_file(server / "files" / token / name, bytes);
        return url("files/" + token + "/" + name);
    }
    int requests() const {
        std::istringstream log(read_file(server / "requests.log"));
        int count = 0;
        for (std::string line; std::getline(log, line);) {
            count += line.find("/" + token) != std::string::npos ? 1 : 0;
        }
        return count;
    }

    // Whether the server was asked for `from` itself (its signature at from + ".minisig" is
    // another path).
    bool requested(const std::string& from) const {
        const std::string path = from.substr(from.find('/', from.find("//") + 2));
        std::istringstream log(read_file(server / "requests.log"));
        for (std::string line; std::getline(log, line);) {
            if (line.substr(line.find(' ') + 1) == path) {
                return true;
            }
        }
        return false;
    }

    RunResult download(const std::string& from, const std::string& to, const std::string& sha256,
                       const std::string& size, const fs::path& cwd = {}) const {
        std::vector<std::string> args = {
            "download", "--url", from, "--output", to, "--app-dir", dir.path().string()};
        if (!sha256.empty()) {
            args.insert(args.end(), {"--sha256", sha256});
        }
        if (!size.empty()) {
            args.insert(args.end(), {"--size", size});
        }
        return run(updater, args, cwd);
    }
    RunResult download(const std::string& from, const std::string& sha256 = kPackageDigest,
                       const std::string& size = kPackageSize) const {
        return download(from, output.string(), sha256, size);
    }

    Lines log() const { return log_lines(dir / "updater.log"); }
    std::string out() const { return output.string(); }
    std::string tmp() const { return output.string() + ".download"; }
    fs::path tmp_path() const { return fs::path(tmp()); }
    // Bytes kept from a transfer cut part way, and the record of where they came from.
    fs::path partial_path() const { return fs::path(out() + ".partial"); }
    fs::path source_path() const { return fs::path(out() + ".partial.source"); }
    std::string downloading(const std::string& from) const {
        return "info Downloading package: " + from + " -> " + tmp();
    }
    std::string done() const { return "info Package downloaded and verified: " + out(); }
};

TEST_F(Download, FreshPackageIsVerifiedAndMovedIntoPlace) {
    const std::string from = serve("pkg.zip", kPackage);
    ASSERT_EQ(download(from).exit_code, 0);
    EXPECT_EQ(read_file(output), kPackage);
    EXPECT_FALSE(fs::exists(tmp_path()));
    EXPECT_EQ(log(), Lines({downloading(from), done()}));
    EXPECT_GE(requests(), 1);
}

TEST_F(Download, DigestInUpperCaseIsAccepted) {
    ASSERT_EQ(download(serve("pkg.zip", kPackage), upper(kPackageDigest), kPackageSize).exit_code,
              0);
    EXPECT_EQ(read_file(output), kPackage);
}

TEST_F(Download, VerifiedPackageIsReusedWithoutAnyRequest) {
    const std::string from = serve("pkg.zip", "a different package");
    write_file(output, kPackage);
    write_file(tmp_path(), "left by an earlier run");
    ASSERT_EQ(download(from).exit_code, 0);
    EXPECT_EQ(log(), Lines({"info Package already present and verified: " + out()}));
    EXPECT_EQ(read_file(output), kPackage);
    EXPECT_EQ(read_file(tmp_path()), "left by an earlier run");

    // With neither digest nor size, any file there counts as the package.
    write_file(output, "anything");
    ASSERT_EQ(download(from, "", "").exit_code, 0);
    EXPECT_EQ(read_file(output), "anything");
    EXPECT_EQ(requests(), 0);
}

TEST_F(Download, WrongPackageIsReplacedByAVerifiedDownload) {
    const std::string from = serve("pkg.zip", kPackage);
    write_file(output, "old");
    ASSERT_EQ(download(from).exit_code, 0);
    EXPECT_EQ(read_file(output), kPackage);
    EXPECT_FALSE(fs::exists(tmp_path()));
    EXPECT_EQ(log(), Lines({"warning Package size mismatch: " + out() +
                                " expected=" + kPackageSize + " actual=3",
                            downloading(from), done()}));
}

TEST_F(Download, FailedDownloadLeavesTheOldPackage) {
    struct Case {
        std::string url;
        std::string linux_code;
        bool same_code_on_windows;
        bool keeps_what_arrived;
    };
    serve("pkg.zip", kPackage);
    const std::vector<Case> cases = {
        // An HTTP error status fails the transfer; its error page is never taken as the package,
        // nor kept as a part of it.
        {url("files/" + token + "/missing.zip"), "800c0008", true, false},
        {url("status/500/" + token), "800c0008", true, false},
        {url("status/300/" + token), "800c0008", true, false},
        // So does a body that ends before its announced length; what came of it is kept for the
        // next run, the digest being there to vouch for the whole.
        {url("cut/" + token + "/pkg.zip"), "800c0008", true, true},
        {"http://127.0.0.1:" + std::to_string(closed_port) + "/" + token, "800c0004", false, false},
        {"unknown-scheme://127.0.0.1/" + token, "800401e4", false, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.url);
        write_file(output, "old package");
        fs::remove(partial_path());
        fs::remove(source_path());
        EXPECT_EQ(download(c.url).exit_code, 1);
        EXPECT_EQ(read_file(output), "old package");
        EXPECT_FALSE(fs::exists(tmp_path()));
        EXPECT_EQ(fs::is_regular_file(partial_path()), c.keeps_what_arrived);
        EXPECT_EQ(fs::is_regular_file(source_path()), c.keeps_what_arrived);

        const Lines lines = log();
        ASSERT_GE(lines.size(), 3u);
        EXPECT_EQ(lines[0], "warning Package size mismatch: " + out() +
                                " expected=" + kPackageSize + " actual=11");
        EXPECT_EQ(lines[1], downloading(c.url));
        const std::string failed = "error URLDownloadToFile failed: hr=0x";
        ASSERT_EQ(lines.size(), 3u);
        if (!is_windows() || c.same_code_on_windows) {
            EXPECT_EQ(lines[2], failed + c.linux_code + " url=" + c.url);
        } else {
            // The system chooses the code; it is shown as eight lower-case hexadecimal digits.
            EXPECT_TRUE(std::regex_match(lines[2], std::regex(failed + "[0-9a-f]{8} url=.*")))
                << lines[2];
            EXPECT_EQ(lines[2].substr(lines[2].find(" url=")), " url=" + c.url);
        }
    }
}

TEST_F(Download, WrongDigestIsRejectedAfterTheDownload) {
    const std::string from = serve("pkg.zip", kPackage);
    EXPECT_EQ(download(from, kEmptyDigest, kPackageSize).exit_code, 1);
    EXPECT_FALSE(fs::exists(output));
    EXPECT_FALSE(fs::exists(tmp_path()));
    EXPECT_EQ(log(), Lines({downloading(from),
                            "warning Package sha256 mismatch: " + tmp() +
                                " expected=" + kEmptyDigest + " actual=" + kPackageDigest,
                            "error Downloaded package failed integrity checks: " + tmp()}));
}

// A body that ends before --size ended early, whatever the transfer made of it: what came is kept
// for a later run to continue.
TEST_F(Download, BodyShorterThanTheSizeEndedEarly) {
    const std::string from = serve("pkg.zip", kPackage);
    const std::string size = std::to_string(kPackage.size() + 1);
    EXPECT_EQ(download(from, kPackageDigest, size).exit_code, 1);
    EXPECT_FALSE(fs::exists(output));
    EXPECT_FALSE(fs::exists(tmp_path()));
    EXPECT_EQ(log(), Lines({downloading(from),
                            "error URLDownloadToFile failed: hr=0x800c0008 url=" + from}));
    EXPECT_TRUE(read_file(partial_path()) == kPackage) << "not the bytes sent";
    EXPECT_TRUE(fs::is_regular_file(source_path()));
}

// A chunked body announces no length: only the transfer's own report, or --size, shows a cut.
TEST_F(Download, ChunkedBodyCutInAChunkEndedEarly) {
    serve("pkg.zip", kPackage);
    const std::string whole = url("chunked/" + token + "/pkg.zip");
    ASSERT_EQ(download(whole).exit_code, 0);
    EXPECT_EQ(read_file(output), kPackage);

    fs::remove(output);
    const std::string cut = url("chunkcut/" + token + "/pkg.zip");
    EXPECT_EQ(download(cut).exit_code, 1);
    EXPECT_FALSE(fs::exists(output));
    EXPECT_EQ(log(), Lines({downloading(cut),
                            "error URLDownloadToFile failed: hr=0x800c0008 url=" + cut}));
    // What reached the updater is kept: at most the half that was sent.
    const std::string kept = read_file(partial_path());
    EXPECT_GT(kept.size(), 0u);
    EXPECT_LE(kept.size(), kPackage.size() / 2);
    EXPECT_TRUE(kept == kPackage.substr(0, kept.size())) << "not the bytes sent";

    // Without --size only the transfer can tell, and on Windows it may not (see the README).
    if (!is_windows()) {
        fs::remove(partial_path());
        fs::remove(source_path());
        EXPECT_EQ(download(cut, "", "").exit_code, 1);
        EXPECT_FALSE(fs::exists(output));
        EXPECT_EQ(log().back(), "error URLDownloadToFile failed: hr=0x800c0008 url=" + cut);
    }
}

TEST_F(Download, RedirectLoopEndsAfterThirtyRedirects) {
    const std::string from = url("loop/" + token);
    EXPECT_EQ(download(from).exit_code, 1);
    EXPECT_EQ(log(), Lines({downloading(from),
                            "error URLDownloadToFile failed: hr=0x800c0008 url=" + from}));
    EXPECT_FALSE(fs::exists(tmp_path()));
    // The first request and thirty redirects followed.
    EXPECT_GT(requests(), 1);
    EXPECT_LE(requests(), 31);
}

// Both builds offer the same encodings and hand on the decoded body: --size and --sha256 are the
// package's own. Encoded bytes are never kept, since a range request counts the encoded ones.
TEST_F(Download, EncodedBodyIsDecodedAndNeverKept) {
    serve("pkg.zip", kPackage);
    const std::string from = url("gzip/" + token + "/pkg.zip");
    ASSERT_EQ(download(from).exit_code, 0) << testing::PrintToString(log());
    EXPECT_EQ(read_file(output), kPackage);
    const std::string asked = "/gzip/" + token + "/pkg.zip ";
    const std::string encodings = read_file(server / "encodings.log");
    const std::size_t at = encodings.find(asked);
    ASSERT_NE(at, std::string::npos);
    EXPECT_EQ(encodings.substr(at + asked.size(), encodings.find('\n', at) - at - asked.size()),
              "gzip, deflate");

    fs::remove(output);
    const std::string cut = url("gzipcut/" + token + "/pkg.zip");
    EXPECT_EQ(download(cut).exit_code, 1);
    EXPECT_EQ(log(), Lines({downloading(cut),
                            "error URLDownloadToFile failed: hr=0x800c0008 url=" + cut}));
    EXPECT_FALSE(fs::exists(output));
    EXPECT_FALSE(fs::exists(tmp_path()));
    if (is_windows() && fs::exists(partial_path())) {
        // Where the system removes Content-Encoding from the head it hands on once it has
        // decoded the body (Wine does), the body can't be told from a plain one (see the
        // README); what is kept is then the decoded start of the package.
        const std::string kept = read_file(partial_path());
        EXPECT_TRUE(kept == kPackage.substr(0, kept.size())) << "not the package's start";
        return;
    }
    EXPECT_FALSE(fs::exists(partial_path()));
    EXPECT_FALSE(fs::exists(source_path()));
}

TEST_F(Download, StaleTemporaryFileIsRemovedFirst) {
    const std::string from = serve("pkg.zip", kPackage);
    // An empty directory in the way would make the download itself fail.
    fs::create_directories(tmp_path());
    ASSERT_EQ(download(from).exit_code, 0);
    EXPECT_EQ(read_file(output), kPackage);

    fs::remove(output);
    write_file(tmp_path(), kPackage + "stale tail");
    ASSERT_EQ(download(from).exit_code, 0);
    EXPECT_EQ(read_file(output), kPackage);
    EXPECT_FALSE(fs::exists(tmp_path()));
}

TEST_F(Download, FailedMoveIsReportedAndCleanedUp) {
    // A directory that is not empty at the output path cannot be replaced by the package.
    write_file(output / "keep.txt", "kept");
    const std::string from = serve("pkg.zip", kPackage);
    EXPECT_EQ(download(from).exit_code, 1);
    EXPECT_EQ(read_file(output / "keep.txt"), "kept");
    EXPECT_FALSE(fs::exists(tmp_path()));
    const Lines lines = log();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0], downloading(from));
    const std::string failed = "error Failed to move package into place: ";
    if (is_windows()) {
        EXPECT_EQ(lines[1].rfind(failed, 0), 0u) << lines[1];
        EXPECT_GT(lines[1].size(), failed.size()) << lines[1];
    } else {
        EXPECT_EQ(lines[1], failed + error_text(NativeError(EISDIR)));
    }
}

TEST_F(Download, MissingDirectoriesAreCreated) {
    output = dir / "a" / "b" / "c" / "pkg.zip";
    ASSERT_EQ(download(serve("pkg.zip", kPackage)).exit_code, 0);
    EXPECT_EQ(read_file(output), kPackage);
}

TEST_F(Download, OutputAtAVolumeRoot) {
    if (!is_windows()) {
        GTEST_SKIP() << "the root of this machine's own file system is not the tests' to write";
    }
    // Windows answers "access denied" when asked to create a volume root (Wine: "exists").
    output = fs::path("C:\\") / (token + ".zip");
    const std::string from = serve("pkg.zip", kPackage);
    const RunResult r = download(from);
    const std::string content = read_file(output);
    fs::remove(output);
    EXPECT_EQ(r.exit_code, 0) << testing::PrintToString(log());
    EXPECT_EQ(content, kPackage);
}

TEST_F(Download, BareFileNameFailsWithoutARequest) {
    const RunResult r =
        download(serve("pkg.zip", kPackage), "pkg.zip", kPackageDigest, kPackageSize, dir.path());
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(log(), Lines({"error Failed to create package directory : " +
                            error_text(errors::path_not_found)}));
    EXPECT_FALSE(fs::exists(dir / "pkg.zip"));
    EXPECT_FALSE(fs::exists(dir / "pkg.zip.download"));
    EXPECT_EQ(requests(), 0);
}

// Waits out the transfer's stall time-out (a minute), hence its own suite with the label "slow".
struct DownloadSlow : Download {};

// A stall once part of the body has come ends when the first quiet minute does, not a minute
// later, and keeps what came.
TEST_F(DownloadSlow, StallAfterPartOfTheBodyEndsAtTheTimeOut) {
    serve("pkg.zip", kPackage);
    const std::string from = url("stallafter/" + token + "/pkg.zip");
    const long pid =
        spawn(updater, {"download", "--url", from, "--output", out(), "--sha256", kPackageDigest,
                        "--size", kPackageSize, "--app-dir", dir.path().string()});
    // The failure is logged within the first window, well before a second one ends.
    const bool failed =
        wait_until([&] { return fs::exists(dir / "updater.log") && log().size() >= 2; },
                   std::chrono::seconds(100));
    if (!failed) {
        static_cast<void>(kill_if_running(pid));
    }
    ASSERT_TRUE(failed) << "no failure after 100 s";
    EXPECT_EQ(exit_code_of(pid), 1);
    EXPECT_EQ(log(), Lines({downloading(from),
                            "error URLDownloadToFile failed: hr=0x800c000b url=" + from}));
    const std::string kept = read_file(partial_path());
    EXPECT_GT(kept.size(), 0u);
    EXPECT_LE(kept.size(), kPackage.size() / 2);
}

TEST_F(DownloadSlow, StalledServerEndsInATimeOut) {
    const std::string from = url("stall/" + token);
    EXPECT_EQ(download(from).exit_code, 1);
    EXPECT_EQ(log(), Lines({downloading(from),
                            "error URLDownloadToFile failed: hr=0x800c000b url=" + from}));
    EXPECT_FALSE(fs::exists(tmp_path()));
    EXPECT_FALSE(fs::exists(output));
}

TEST_F(Download, NoMoreIsTakenThanAllowedAndAStallEnds) {
    serve("pkg.zip", kPackage);
    const fs::path small_limits = small_limits_updater_exe();
    struct Case {
        std::string url;
        std::string size;
        fs::path updater;
        std::string code;
        bool keeps_nothing;
    };
    const std::vector<Case> cases = {
        // Longer than --size, or announced so: nothing of it is kept.
        {url("endless/" + token), kPackageSize, updater_exe(), "80004004", true},
        {url("short/" + token + "/pkg.zip"), kPackageSize, updater_exe(), "80004004", true},
        // Without --size the free-space floor stops it (here a floor no disk clears).
        {url("endless/" + token), "", small_limits, "80004004", true},
        // Nothing at all, headers and then nothing, or a trickle: a stall. Whether a byte of the
        // trickle reached the updater before it (and is kept) is the system's to say.
        {url("silent/" + token), kPackageSize, small_limits, "800c000b", true},
        {url("stall/" + token), kPackageSize, small_limits, "800c000b", true},
        {url("trickle/" + token + "/pkg.zip"), kPackageSize, small_limits, "800c000b", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.url + " " + c.updater.filename().string());
        updater = c.updater;
        write_file(output, "old package");
        EXPECT_EQ(download(c.url, output.string(), kPackageDigest, c.size).exit_code, 1);
        EXPECT_EQ(read_file(output), "old package");
        EXPECT_FALSE(fs::exists(tmp_path()));
        if (c.keeps_nothing) {
            EXPECT_FALSE(fs::exists(partial_path()));
        }
        EXPECT_EQ(log().back(), "error URLDownloadToFile failed: hr=0x" + c.code + " url=" + c.url);
    }
}

// The bound holds at every moment, not only when the run ends: the file is looked at again and
// again while an endless body arrives, and the server can hand over no more than the bound and
// what the systems in between buffer.
TEST_F(Download, AnEndlessBodyNeverFillsTheFileBeyondTheSize) {
    const std::string from = url("endless/" + token);
    const std::uintmax_t size = 100000;
    write_file(output, "old package");
    const long pid =
        spawn(updater, {"download", "--url", from, "--output", out(), "--sha256", kPackageDigest,
                        "--size", std::to_string(size), "--app-dir", dir.path().string()});
    std::uintmax_t largest = 0;
    while (process_alive(pid)) {
        std::error_code missing;
        largest = std::max(largest, fs::file_size(tmp_path(), missing) * (missing ? 0 : 1));
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    EXPECT_LE(largest, size);
    EXPECT_EQ(read_file(output), "old package");
    EXPECT_FALSE(fs::exists(tmp_path()));
    EXPECT_EQ(log().back(), "error URLDownloadToFile failed: hr=0x80004004 url=" + from);

    // The server notes what it sent once the client has gone.
    std::string sent;
    ASSERT_TRUE(wait_until([&] {
        std::istringstream lines(read_file(server / "sent.log"));
        for (std::string line; std::getline(lines, line);) {
            if (line.find("/" + token + " ") != std::string::npos) {
                sent = line.substr(line.rfind(' ') + 1);
            }
        }
        return !sent.empty();
    }));
    EXPECT_LT(std::stoull(sent), std::uint64_t{32} << 20);
}

std::uintmax_t tree_bytes(const fs::path& root) {
    std::uintmax_t total = 0;
    std::error_code error;
    for (fs::recursive_directory_iterator it(root, error), end; !error && it != end;
         it.increment(error)) {
        std::error_code ignored;
        if (it->is_regular_file(ignored)) {
            total += it->file_size(ignored);
        }
    }
    return total;
}

TEST_F(Download, NoCopyOfThePackageStaysInTheUrlCache) {
    const fs::path cache = url_cache_directory();
    if (cache.empty()) {
        GTEST_SKIP() << "only Windows keeps a URL cache";
    }
    const std::string package(std::size_t{3} << 20, 'p');
    const std::string from = serve("cached.zip", package);
    const auto before = static_cast<long long>(tree_bytes(cache));
    ASSERT_EQ(download(from, "", std::to_string(package.size())).exit_code, 0);
    EXPECT_EQ(fs::file_size(output), package.size());
    const long long growth = static_cast<long long>(tree_bytes(cache)) - before;
    EXPECT_LT(growth, static_cast<long long>(package.size() / 4)) << cache;
}

TEST_F(Download, SecondRunForTheSameOutputIsRefused) {
    const std::string from = url("slow/" + token + "/pkg.zip");
    serve("pkg.zip", kPackage);
    const long first = spawn(updater, {"download", "--url", from, "--output", out(), "--sha256",
                                       kPackageDigest, "--app-dir", dir.path().string()});
    ASSERT_TRUE(wait_until([&] { return fs::exists(dir / "updater.log") && !log().empty(); }));
    const Lines before = log();

    const RunResult second = download(from);
    EXPECT_EQ(second.exit_code, 1);
    Lines expected = before;
    expected.push_back("error Another download to " + out() + " is in progress");
    EXPECT_EQ(log(), expected);

    EXPECT_TRUE(wait_until([&] { return !process_alive(first); }, std::chrono::seconds(60)));
    EXPECT_EQ(read_file(output), kPackage);
    expected.push_back(done());
    EXPECT_EQ(log(), expected);
}

// Links at the temporary name and at the lock's name are replaced: nothing is written through
// them, and neither makes the download fail.
TEST_F(Download, LinksAtItsNamesAreReplacedNeverFollowed) {
    if (is_windows()) {
        GTEST_SKIP() << "Wine cannot make links from Windows code";
    }
    const std::string from = serve("pkg.zip", kPackage);
    const fs::path lock_path = out() + ".lock";
    for (const fs::path& link : {tmp_path(), lock_path}) {
        SCOPED_TRACE(link.string());
        fs::remove_all(output.parent_path());
        write_file(dir / "outside", "outside");
        fs::create_directories(output.parent_path());
        fs::create_symlink(dir / "outside", link);
        ASSERT_EQ(download(from).exit_code, 0) << testing::PrintToString(log());
        EXPECT_EQ(read_file(dir / "outside"), "outside");
        EXPECT_EQ(read_file(output), kPackage);
        EXPECT_FALSE(fs::is_symlink(lock_path));
    }
}

// Transfers cut part way: what is kept beside the package and how a later run takes it up,
// against /ranged/ of the test server, whose ranges.log shows what each request asked for and
// how much of the body was sent.

// Bytes unlike their neighbours, so that bytes put at the wrong place change the digest.
std::string varied_bytes(std::size_t size) {
    std::string bytes(size, '\0');
    for (std::size_t i = 0; i < size; ++i) {
        bytes[i] = static_cast<char>(i % 251);
    }
    return bytes;
}
// As long as kPackage, with its digest computed independently.
const std::string kVaried = varied_bytes(kPackage.size());
const std::string kVariedDigest =
    "5769f52bc3eef28afa39c6fc68cadb7d0bd69812ae3a3d71452f519ec3c7aa56";
const std::string kVariedSize = std::to_string(kVaried.size());
// The server's strong ETag for it: the start of its digest and the validator's generation.
std::string varied_tag(int generation) {
    return "\"" + kVariedDigest.substr(0, 16) + "-" + std::to_string(generation) + "\"";
}
// What the server sends of a body it cuts.
const std::size_t kHalf = kVaried.size() / 2;

struct Resume : Download {
    // Serves `bytes` as `name` and returns its URL under /ranged/ with the server's options.
    std::string ranged(const std::string& options, const std::string& name = "pkg.zip",
                       const std::string& bytes = kVaried) const {
        serve(name, bytes);
        return url("ranged/" + options + "/" + token + "/" + name);
    }
    RunResult download_from(const std::vector<std::string>& urls,
                            const std::string& sha256 = kVariedDigest,
                            const std::string& size = kVariedSize) const {
        std::vector<std::string> args = {"download", "--output", out(), "--app-dir",
                                         dir.path().string()};
        for (const std::string& from : urls) {
            args.insert(args.end(), {"--url", from});
        }
        if (!sha256.empty()) {
            args.insert(args.end(), {"--sha256", sha256});
        }
        if (!size.empty()) {
            args.insert(args.end(), {"--size", size});
        }
        return run(updater, args);
    }
    // The requests for `name` under /ranged/ as "RANGE IF-RANGE CODE SENT", once there are at
    // least `count` (the server notes one when its answer has ended, maybe after the client).
    Lines ranged_requests(std::size_t count, const std::string& name = "pkg.zip") const {
        const std::string path_end = "/" + token + "/" + name + " ";
        Lines found;
        wait_until([&] {
            found.clear();
            std::istringstream lines(read_file(server / "ranges.log"));
            for (std::string line; std::getline(lines, line);) {
                if (const std::size_t at = line.find(path_end); at != std::string::npos) {
                    found.push_back(line.substr(at + path_end.size()));
                }
            }
            return found.size() >= count;
        });
        return found;
    }
    // The names beside the package but its lock file, which stays on Linux.
    Lines beside() const {
        if (!fs::exists(output.parent_path())) {
            return {};
        }
        Lines names = names_in(output.parent_path());
        names.erase(std::remove(names.begin(), names.end(), "pkg.zip.lock"), names.end());
        return names;
    }
    static std::string resuming(std::size_t at) {
        return "info Resuming download at byte " + std::to_string(at);
    }
    static std::string failed(const std::string& level, const std::string& from,
                              const std::string& code = "800c0008") {
        return level + " URLDownloadToFile failed: hr=0x" + code + " url=" + from;
    }
    static std::string range_from(std::size_t at) { return "bytes=" + std::to_string(at) + "-"; }
};

const Lines kKept = {"pkg.zip.partial", "pkg.zip.partial.source"};

TEST_F(Resume, CutTransferIsKeptAndTakenUpWhereItStopped) {
    const std::string from = ranged("cut1");
    write_file(output, "old package");
    EXPECT_EQ(download_from({from}).exit_code, 1);
    EXPECT_EQ(read_file(output), "old package");
    EXPECT_EQ(log().back(), failed("error", from));
    EXPECT_EQ(ranged_requests(1), Lines({"- - 200 " + std::to_string(kHalf)}));
    // Compared whole, so that a failure does not print the package.
    EXPECT_TRUE(read_file(partial_path()) == kVaried.substr(0, kHalf)) << "not the bytes sent";
    EXPECT_EQ(beside(), Lines({"pkg.zip", kKept[0], kKept[1]}));

    // The same command again, the digest in other letters: only the rest is asked for.
    ASSERT_EQ(download_from({from}, upper(kVariedDigest)).exit_code, 0);
    EXPECT_TRUE(read_file(output) == kVaried) << "not the package";
    EXPECT_EQ(log(), Lines({"warning Package size mismatch: " + out() + " expected=" + kVariedSize +
                                " actual=11",
                            downloading(from), resuming(kHalf), done()}));
    EXPECT_EQ(ranged_requests(2), Lines({"- - 200 " + std::to_string(kHalf),
                                         range_from(kHalf) + " " + varied_tag(0) + " 206 " +
                                             std::to_string(kVaried.size() - kHalf)}));
    EXPECT_EQ(beside(), Lines({"pkg.zip"}));
}

TEST_F(Resume, NothingIsKeptWithoutADigest) {
    const std::string from = ranged("cut1");
    EXPECT_EQ(download_from({from}, "", kVariedSize).exit_code, 1);
    EXPECT_EQ(log().back(), failed("error", from));
    EXPECT_EQ(beside(), Lines());
}

TEST_F(Resume, TheServersAnswerDecidesWhatIsFetchedAgain) {
    const std::string range = range_from(kHalf) + " ";
    const std::string rest = std::to_string(kVaried.size() - kHalf);
    struct Case {
        std::string options;
        bool resumed;
        Lines requests;  // of the second run; "*": any number of bytes sent
    };
    const std::vector<Case> cases = {
        // The Last-Modified time stands for the file when it has no strong ETag; with neither,
        // the range is asked for without a condition.
        {"lastmod", true, {range + "Wed,_21_Oct_2026_07:28:00_GMT 206 " + rest}},
        {"weak", true, {range + "- 206 " + rest}},
        // A server that ignores ranges, or whose file changed, sends it whole.
        {"norange", false, {range + varied_tag(0) + " 200 " + kVariedSize}},
        {"newtag", false, {range + varied_tag(1) + " 200 " + kVariedSize}},
        // A range refused, or another range sent: the kept bytes go, and it starts again.
        {"416", false, {range + varied_tag(0) + " 416 0", "- - 200 " + kVariedSize}},
        {"wrong", false, {range + varied_tag(0) + " 206 *", "- - 200 " + kVariedSize}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.options);
        fs::remove(output);
        const std::string name = c.options + ".zip";
        const std::string from = ranged("cut1," + c.options, name);
        EXPECT_EQ(download_from({from}).exit_code, 1);
        EXPECT_EQ(beside(), kKept);

        ASSERT_EQ(download_from({from}).exit_code, 0);
        EXPECT_TRUE(read_file(output) == kVaried) << "not the package";
        EXPECT_EQ(log(), c.resumed ? Lines({downloading(from), resuming(kHalf), done()})
                                   : Lines({downloading(from), done()}));
        Lines requests = ranged_requests(1 + c.requests.size(), name);
        requests.erase(requests.begin());
        for (std::size_t i = 0; i < std::min(requests.size(), c.requests.size()); ++i) {
            if (c.requests[i].back() == '*') {
                requests[i] = requests[i].substr(0, requests[i].rfind(' ') + 1) + "*";
            }
        }
        EXPECT_EQ(requests, c.requests);
        EXPECT_EQ(beside(), Lines({"pkg.zip"}));
    }
}

TEST_F(Resume, ResumedTransferCutAgainKeepsAllItsBytes) {
    const std::string from = ranged("cut");
    const std::size_t second = (kVaried.size() - kHalf) / 2;
    EXPECT_EQ(download_from({from}).exit_code, 1);
    EXPECT_EQ(download_from({from}).exit_code, 1);
    EXPECT_EQ(log(), Lines({downloading(from), resuming(kHalf), failed("error", from)}));
    EXPECT_EQ(ranged_requests(2),
              Lines({"- - 200 " + std::to_string(kHalf),
                     range_from(kHalf) + " " + varied_tag(0) + " 206 " + std::to_string(second)}));
    EXPECT_TRUE(read_file(partial_path()) == kVaried.substr(0, kHalf + second))
        << "not the bytes sent";
    EXPECT_EQ(beside(), kKept);
}

TEST_F(Resume, KeptBytesThatSpoilThePackageGoWithIt) {
    const std::string from = ranged("cut1");
    EXPECT_EQ(download_from({from}).exit_code, 1);
    std::string kept = read_file(partial_path());
    ASSERT_EQ(kept.size(), kHalf);
    kept[0] = static_cast<char>(kept[0] ^ 1);
    write_file(partial_path(), kept);

    EXPECT_EQ(download_from({from}).exit_code, 1);
    EXPECT_FALSE(fs::exists(output));
    // The digest of the package with its first bit changed, computed independently.
    const std::string spoilt = "f6573976fb2b99b12732c333f5dcb93892958bb2808455d696828e8a2a327730";
    EXPECT_EQ(log(), Lines({downloading(from), resuming(kHalf),
                            "warning Package sha256 mismatch: " + tmp() +
                                " expected=" + kVariedDigest + " actual=" + spoilt,
                            "error Downloaded package failed integrity checks: " + tmp()}));
    EXPECT_EQ(beside(), Lines());

    // So the next run starts from the first byte.
    ASSERT_EQ(download_from({from}).exit_code, 0);
    EXPECT_TRUE(read_file(output) == kVaried) << "not the package";
    const Lines requests = ranged_requests(3);
    ASSERT_EQ(requests.size(), 3u);
    EXPECT_EQ(requests[1].rfind(range_from(kHalf) + " ", 0), 0u) << requests[1];
    EXPECT_EQ(requests[2], "- - 200 " + kVariedSize);
    EXPECT_EQ(beside(), Lines({"pkg.zip"}));
}

TEST_F(Resume, KeptBytesAmountingToTheSizeNeedNoRequest) {
    const std::string from = ranged("cut1");
    EXPECT_EQ(download_from({from}).exit_code, 1);
    EXPECT_EQ(requests(), 1);
    // As if the rest had come before the transfer ended.
    write_file(partial_path(), kVaried);
    ASSERT_EQ(download_from({from}).exit_code, 0);
    EXPECT_TRUE(read_file(output) == kVaried) << "not the package";
    EXPECT_EQ(log().back(), done());
    EXPECT_EQ(requests(), 1);
    EXPECT_EQ(beside(), Lines({"pkg.zip"}));
}

TEST_F(Resume, KeptAndNewBytesStayWithinTheSize) {
    // Without a validator the server cannot tell that its file has grown since: it answers the
    // range from the longer file, which with the kept bytes would exceed --size.
    const std::string from = ranged("cut1,weak");
    write_file(output, "old package");
    EXPECT_EQ(download_from({from}).exit_code, 1);
    serve("pkg.zip", kVaried + std::string(1000, 'x'));
    EXPECT_EQ(download_from({from}).exit_code, 1);
    EXPECT_EQ(log().back(), failed("error", from, "80004004"));
    EXPECT_EQ(read_file(output), "old package");
    const Lines requests = ranged_requests(2);
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(requests[1].rfind(range_from(kHalf) + " - 206 ", 0), 0u) << requests[1];
    EXPECT_EQ(beside(), Lines({"pkg.zip"}));
}

// Only a regular file of the updater's own, with no other name, is taken up again; anything else
// at its name is removed, not what it leads to.
TEST_F(Resume, SomethingElseAtThePartialNameIsRemovedNeverFollowed) {
    const fs::path outside = dir / "outside";
    struct Case {
        std::string name;
        std::function<void()> put;
    };
    std::vector<Case> cases = {
        {"directory", [&] { fs::create_directory(partial_path()); }},
        {"second name of a file", [&] { fs::create_hard_link(outside, partial_path()); }},
    };
    if (!is_windows()) {  // Wine cannot make links from Windows code
        cases.push_back({"link", [&] { fs::create_symlink(outside, partial_path()); }});
    }
    int n = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        fs::remove(output);
        const std::string name = std::to_string(++n) + ".zip";
        const std::string from = ranged("cut1", name);
        EXPECT_EQ(download_from({from}).exit_code, 1);
        ASSERT_EQ(beside(), kKept);
        // The kept bytes move outside, where a transfer taken up through the name would add
        // to them.
        fs::rename(partial_path(), outside);
        c.put();

        ASSERT_EQ(download_from({from}).exit_code, 0);
        EXPECT_TRUE(read_file(output) == kVaried) << "not the package";
        EXPECT_EQ(log(), Lines({downloading(from), done()}));
        EXPECT_EQ(ranged_requests(2, name).back(), "- - 200 " + kVariedSize);
        EXPECT_TRUE(read_file(outside) == kVaried.substr(0, kHalf)) << "the file outside changed";
        EXPECT_EQ(beside(), Lines({"pkg.zip"}));
        fs::remove(outside);
    }
}

// Further --url options: tried in turn until one gives the package.
struct Fallback : Resume {};

TEST_F(Fallback, FurtherUrlsAreTriedInTurn) {
    const std::string refused = url("status/503/" + token);
    // As long as the package, with another digest.
    const std::string other = serve("other.zip", kPackage);
    const std::string good = serve("pkg.zip", kVaried);
    ASSERT_EQ(download_from({refused, other, good}).exit_code, 0);
    EXPECT_TRUE(read_file(output) == kVaried) << "not the package";
    EXPECT_EQ(log(), Lines({downloading(refused), failed("warning", refused), downloading(other),
                            "warning Package sha256 mismatch: " + tmp() +
                                " expected=" + kVariedDigest + " actual=" + kPackageDigest,
                            "warning Downloaded package failed integrity checks: " + tmp(),
                            downloading(good), done()}));
    EXPECT_EQ(beside(), Lines({"pkg.zip"}));

    // When none gives it, the last failure is the error, and the old package stays.
    write_file(output, "old package");
    const std::string missing = url("files/" + token + "/missing.zip");
    EXPECT_EQ(download_from({refused, missing}).exit_code, 1);
    EXPECT_EQ(read_file(output), "old package");
    EXPECT_EQ(log(), Lines({"warning Package size mismatch: " + out() + " expected=" + kVariedSize +
                                " actual=11",
                            downloading(refused), failed("warning", refused), downloading(missing),
                            failed("error", missing)}));
    EXPECT_EQ(beside(), Lines({"pkg.zip"}));
}

// The transfer that stalled is left behind, however long the system takes to end it, while the
// next URL is fetched.
TEST_F(Fallback, AStallPartWayGivesWayToTheNextUrl) {
    updater = small_limits_updater_exe();
    const std::string stalled = url("stallafter/" + token + "/stalled.zip");
    serve("stalled.zip", kVaried);
    const std::string good = serve("pkg.zip", kVaried);
    ASSERT_EQ(download_from({stalled, good}).exit_code, 0);
    EXPECT_TRUE(read_file(output) == kVaried) << "not the package";
    EXPECT_EQ(log(), Lines({downloading(stalled), failed("warning", stalled, "800c000b"),
                            downloading(good), done()}));
    EXPECT_EQ(beside(), Lines({"pkg.zip"}));
}

TEST_F(Fallback, FreeSpaceFailureEndsTheRun) {
    // Without --size the free-space floor bounds the body; here a floor no disk clears. Another
    // URL would write to the same disk.
    updater = small_limits_updater_exe();
    const std::string endless = url("endless/" + token);
    const std::string good = serve("pkg.zip", kVaried);
    EXPECT_EQ(download_from({endless, good}, kVariedDigest, "").exit_code, 1);
    EXPECT_EQ(log(), Lines({downloading(endless), failed("error", endless, "80004004")}));
    EXPECT_FALSE(fs::exists(output));
    EXPECT_EQ(beside(), Lines());
}

TEST_F(Fallback, KeptBytesBelongToTheirUrl) {
    const std::string owner = ranged("cut1");
    const std::string other = serve("other.zip", kVaried);
    EXPECT_EQ(download_from({owner}).exit_code, 1);
    EXPECT_EQ(beside(), kKept);
    const std::string kept = read_file(partial_path());

    // A URL that is never reached takes nothing from them.
    const std::string unreachable = "http://127.0.0.1:" + std::to_string(closed_port) + "/" + token;
    EXPECT_EQ(download_from({unreachable}).exit_code, 1);
    EXPECT_TRUE(read_file(partial_path()) == kept) << "the kept bytes changed";
    EXPECT_EQ(beside(), kKept);

    // Their URL is tried first, wherever it stands.
    ASSERT_EQ(download_from({other, owner}).exit_code, 0);
    EXPECT_TRUE(read_file(output) == kVaried) << "not the package";
    EXPECT_EQ(log(), Lines({downloading(owner), resuming(kHalf), done()}));
    EXPECT_EQ(ranged_requests(2).back(), range_from(kHalf) + " " + varied_tag(0) + " 206 " +
                                             std::to_string(kVaried.size() - kHalf));
    EXPECT_EQ(beside(), Lines({"pkg.zip"}));

    // Another URL that gives the package takes their place.
    fs::remove(output);
    const std::string cut_again = ranged("cut1", "again.zip");
    EXPECT_EQ(download_from({cut_again}).exit_code, 1);
    EXPECT_EQ(beside(), kKept);
    ASSERT_EQ(download_from({other}).exit_code, 0);
    EXPECT_EQ(log(), Lines({downloading(other), done()}));
    EXPECT_EQ(beside(), Lines({"pkg.zip"}));
}

// A server that has lost the package keeps the bytes as they were; once the application moves on
// to another package in the same directory, the bytes kept for the old one go, with what other
// outputs left there, wherever their lock is free. Nothing else is touched.
TEST_F(Resume, KeptBytesOfAnAbandonedPackageGoOnceAnotherIsInPlace) {
    const std::string from = ranged("cut1");
    EXPECT_EQ(download_from({from}).exit_code, 1);
    const std::string kept = read_file(partial_path());
    const std::string record = read_file(source_path());
    fs::remove(server / "files" / token / "pkg.zip");
    EXPECT_EQ(download_from({from}).exit_code, 1);
    EXPECT_EQ(log().back(), failed("error", from));
    EXPECT_TRUE(read_file(partial_path()) == kept) << "the kept bytes changed";
    EXPECT_EQ(read_file(source_path()), record);

    const fs::path packages = output.parent_path();
    // Outputs whose lock was taken and let go, as a finished run leaves it.
    const auto used = [&](const std::string& name) {
        EXPECT_TRUE(lock_file(packages / (name + ".lock")).held()) << name;
    };
    used("stray.zip");
    write_file(packages / "stray.zip.download", "x");
    write_file(packages / "stray.zip.minisig.download", "x");
    used("foreign.zip");
    write_file(packages / "foreign.zip.partial", "x");
    write_file(packages / "foreign.zip.partial.source", "not a record of ours");
    used("lone.zip");
    write_file(packages / "lone.zip.partial", "x");
    write_file(packages / "notes.txt", "x");
    // A pair of ours for an output that another run holds.
    fs::copy_file(partial_path(), packages / "held.zip.partial");
    fs::copy_file(source_path(), packages / "held.zip.partial.source");
    const FileLock held = lock_file(packages / "held.zip.lock");
    ASSERT_TRUE(held.held());
    const auto names = [&](bool locks) {
        Lines found;
        for (const std::string& name : names_in(packages)) {
            const bool lock = name.size() > 5 && name.substr(name.size() - 5) == ".lock";
            if (lock == locks && name != "next.zip.lock") {
                found.push_back(name);
            }
        }
        return found;
    };
    const Lines locks = names(true);

    const fs::path next = packages / "next.zip";
    ASSERT_EQ(download(serve("next.zip", kPackage), next.string(), kPackageDigest, kPackageSize)
                  .exit_code,
              0);
    EXPECT_EQ(names(false),
              Lines({"foreign.zip.partial", "foreign.zip.partial.source", "held.zip.partial",
                     "held.zip.partial.source", "lone.zip.partial", "next.zip", "notes.txt"}));
    // Lock files stay, and none is made but the run's own.
    EXPECT_EQ(names(true), locks);
}

// Packages signed with the publisher's tool (tests/signed_packages.py, run by CTest first): the
// package is signed by the key "second", with the trusted comment below.
const std::string kTrustedComment = "timestamp:1733500000 version:2.0";

struct SignedDownload : Download {
    const fs::path signed_dir = signed_packages();
    const std::string package = read_file(signed_dir / "package.zip");
    const std::string signature = read_file(signed_dir / "package.zip.minisig");

    // Serves the package as `name`, and, unless it is empty, `signature_text` as name.minisig.
    std::string serve_signed(const std::string& name, const std::string& package_bytes,
                             const std::string& signature_text) const {
        if (!signature_text.empty()) {
            serve(name + ".minisig", signature_text);
        }
        return serve(name, package_bytes);
    }
    RunResult download_signed(const std::string& from, const std::vector<std::string>& options,
                              bool with_digest = true) const {
        std::vector<std::string> args = {
            "download", "--url", from, "--output", out(), "--app-dir", dir.path().string()};
        if (with_digest) {
            args.insert(args.end(), {"--sha256", read_file(signed_dir / "package.zip.sha256"),
                                     "--size", std::to_string(package.size())});
        }
        args.insert(args.end(), options.begin(), options.end());
        return run(updater, args);
    }
    fs::path signature_path() const { return fs::path(out() + ".minisig"); }
    std::string signature_tmp() const { return out() + ".minisig.download"; }
    std::string downloading_signature(const std::string& from) const {
        return "info Downloading signature: " + from + " -> " + signature_tmp();
    }
    void expect_no_temporary_file() const {
        EXPECT_FALSE(fs::exists(tmp_path()));
        EXPECT_FALSE(fs::exists(signature_tmp()));
    }
};

TEST_F(SignedDownload, PackageSignedByOneOfTheKeysIsAcceptedAndReused) {
    const std::vector<std::string> keys = {"--public-key", public_key("first"), "--public-key",
                                           public_key("second")};
    const std::string verified = "info Signature verified: " + kTrustedComment;
    const std::string from = serve_signed("pkg.zip", package, signature);
    ASSERT_EQ(download_signed(from, keys).exit_code, 0);
    EXPECT_EQ(read_file(output), package);
    EXPECT_EQ(read_file(signature_path()), signature);
    expect_no_temporary_file();
    EXPECT_EQ(log(), Lines({downloading_signature(from + ".minisig"), downloading(from), verified,
                            done()}));

    // Verified in place: no request at all.
    const int before = requests();
    ASSERT_EQ(download_signed(from, keys).exit_code, 0);
    EXPECT_EQ(log(), Lines({verified, "info Package already present and verified: " + out()}));
    EXPECT_EQ(requests(), before);

    // Without its signature beside it the package is fetched again, with the signature, here
    // from a URL of its own.
    fs::remove(signature_path());
    const std::string signature_url = serve("elsewhere.sig", signature);
    ASSERT_EQ(download_signed(
                  from, {"--public-key", public_key("second"), "--signature-url", signature_url})
                  .exit_code,
              0);
    EXPECT_EQ(log(),
              Lines({"warning Package signature check failed: no signature file",
                     downloading_signature(signature_url), downloading(from), verified, done()}));
    EXPECT_EQ(read_file(signature_path()), signature);
    expect_no_temporary_file();
}

TEST_F(SignedDownload, PackageTheKeysDidNotSignIsRefused) {
    std::string changed_package = package;
    changed_package[changed_package.size() / 2] ^= 1;
    std::string changed_comment = signature;
    changed_comment.replace(changed_comment.find("version:2.0"), 11, "version:2.1");
    const std::string second = public_key("second");
    struct Case {
        std::string name;
        std::string package;
        std::string signature;  // empty: none on the server
        std::string key;
        std::string reason;
        // Refused from the package's bytes: the package is downloaded first.
        bool package_fetched = false;
    };
    const std::string forged = "trusted comment altered or signed by another key";
    // A signature that can't verify whatever the package holds is refused before the package
    // is asked for.
    const std::vector<Case> cases = {
        {"wrong key", package, signature, public_key("first"), "no key with that key id"},
        {"another key's signature", package, read_file(signed_dir / "relabelled.minisig"), second,
         forged},
        {"one byte changed", changed_package, signature, second,
         "signature does not match the package", true},
        {"comment changed", package, changed_comment, second, forged},
        {"legacy", package, read_file(signed_dir / "legacy.minisig"), second,
         "legacy signature, sign again without -l"},
        {"malformed signature", package, "untrusted comment: x\nnot a signature\n", second,
         "malformed signature"},
        // The server's error page is never taken as the signature.
        {"no signature", package, "", second, ""},
    };
    int n = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        write_file(output, "old package");
        // Served without the size and digest: only the signature can refuse it.
        const std::string from = serve_signed(std::to_string(++n) + ".zip", c.package, c.signature);
        EXPECT_EQ(download_signed(from, {"--public-key", c.key}, false).exit_code, 1);
        // Compared whole, so that a failure does not print the package.
        EXPECT_TRUE(read_file(output) == "old package") << "the old package was replaced";
        EXPECT_FALSE(fs::exists(signature_path()));
        expect_no_temporary_file();
        Lines expected = {"warning Package signature check failed: no signature file",
                          downloading_signature(from + ".minisig")};
        if (c.reason.empty()) {
            expected.push_back("error URLDownloadToFile failed: hr=0x800c0008 url=" + from +
                               ".minisig");
        } else if (c.package_fetched) {
            expected.insert(expected.end(),
                            {downloading(from), "error Package signature check failed: " + c.reason,
                             "error Downloaded package failed integrity checks: " + tmp()});
        } else {
            expected.push_back("error Package signature check failed: " + c.reason);
        }
        EXPECT_EQ(log(), expected);
        EXPECT_EQ(requested(from), c.package_fetched);
    }

    // A malformed key ends the run before anything is read or fetched.
    const std::string from = serve_signed("pkg.zip", package, signature);
    const int before = requests();
    EXPECT_EQ(
        download_signed(from, {"--public-key", second, "--public-key", "RWnot-a-key"}).exit_code,
        1);
    EXPECT_EQ(log(), Lines({"error Package signature check failed: malformed public key"}));
    EXPECT_TRUE(read_file(output) == "old package") << "the old package was replaced";
    expect_no_temporary_file();
    EXPECT_EQ(requests(), before);
}

// With --version the signature must name that version: a package in place signed for another
// one is fetched again, and a fetched one signed for another one is refused.
TEST_F(SignedDownload, GivenVersionBindsTheSignature) {
    const std::string second = public_key("second");
    const std::string from = serve_signed("pkg.zip", package, signature);
    const std::string mismatch = "Package signature check failed: version mismatch";
    // An earlier download in place, signed for 1.0.
    write_file(output, package);
    write_file(signature_path(), read_file(signed_dir / "old-version.minisig"));
    EXPECT_EQ(download_signed(from, {"--public-key", second, "--version", "2.0"}, false).exit_code,
              0);
    EXPECT_EQ(log(),
              Lines({"warning " + mismatch, downloading_signature(from + ".minisig"),
                     downloading(from), "info Signature verified: " + kTrustedComment, done()}));
    EXPECT_EQ(read_file(signature_path()), signature);

    // The server still has 2.0 where 3.0 is expected: refused from the signature alone, before
    // the package is asked for.
    const std::string other = serve_signed("other.zip", package, signature);
    EXPECT_EQ(download_signed(other, {"--public-key", second, "--version", "3.0"}, false).exit_code,
              1);
    EXPECT_EQ(log(), Lines({"warning " + mismatch, downloading_signature(other + ".minisig"),
                            "error " + mismatch}));
    EXPECT_FALSE(requested(other));
    EXPECT_TRUE(read_file(output) == package) << "the package in place was replaced";
    EXPECT_EQ(read_file(signature_path()), signature);
    expect_no_temporary_file();

    // Without a key there is no signature to bind: the version changes nothing.
    const int before = requests();
    EXPECT_EQ(download_signed(from, {"--version", "3.0"}, false).exit_code, 0);
    EXPECT_EQ(log(), Lines({"info Package already present and verified: " + out()}));
    EXPECT_EQ(requests(), before);
}

// Each URL comes with its own signature when no --signature-url is given.
TEST_F(SignedDownload, EachUrlHasItsOwnSignature) {
    const std::string unsigned_url = serve("unsigned.zip", package);
    const std::string signed_url = serve_signed("pkg.zip", package, signature);
    ASSERT_EQ(
        download_signed(unsigned_url, {"--url", signed_url, "--public-key", public_key("second")})
            .exit_code,
        0);
    EXPECT_EQ(log(), Lines({downloading_signature(unsigned_url + ".minisig"),
                            "warning URLDownloadToFile failed: hr=0x800c0008 url=" + unsigned_url +
                                ".minisig",
                            downloading_signature(signed_url + ".minisig"), downloading(signed_url),
                            "info Signature verified: " + kTrustedComment, done()}));
    EXPECT_TRUE(read_file(output) == package) << "not the package";
    EXPECT_EQ(read_file(signature_path()), signature);
    expect_no_temporary_file();
}

}  // namespace
