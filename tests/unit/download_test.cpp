// The package check: which files pass, what each rejection logs, and digests of known content.
#include <gtest/gtest.h>

#include <array>
#include <chrono>

#include "digest.h"
#include "download.h"
#include "package_verification.h"
#include "signature.h"
#include "stall.h"
#include "support.h"
#include "text.h"

namespace {

using support::Lines;
using support::fs::path;

const std::string kEmptyDigest = "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855";
const std::string kAbcDigest = "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad";

struct Verify : support::LoggedTest {
    path file(const std::string& name, const std::string& bytes) const {
        support::write_file(dir / name, bytes);
        return dir / name;
    }
    static std::string size_line(const path& p, long long expected, long long actual) {
        return "warning Package size mismatch: " + to_narrow(p) +
               " expected=" + std::to_string(expected) + " actual=" + std::to_string(actual);
    }
    static std::string digest_line(const path& p, const std::string& expected,
                                   const std::string& actual) {
        return "warning Package sha256 mismatch: " + to_narrow(p) + " expected=" + expected +
               " actual=" + actual;
    }
};

TEST_F(Verify, NoRegularFileIsRejectedSilently) {
    support::fs::create_directories(dir / "folder");
    EXPECT_FALSE(verify_package(dir / "missing.zip", "", -1));
    EXPECT_FALSE(verify_package(dir / "missing.zip", kEmptyDigest, 0));
    EXPECT_FALSE(verify_package(dir / "folder", "", -1));
    EXPECT_FALSE(verify_package(dir / "folder", kEmptyDigest, 0));
    EXPECT_TRUE(log().empty());
}

TEST_F(Verify, LinkIsTestedAsItsTarget) {
    const path target = file("target.zip", "abc");
    std::error_code error;
    support::fs::create_symlink(target, dir / "link.zip", error);
    if (error) {
        GTEST_SKIP() << "symbolic links cannot be made here: " << error.message();
    }
    EXPECT_TRUE(verify_package(dir / "link.zip", kAbcDigest, 3));
    support::fs::create_symlink(dir / "gone.zip", dir / "dangling.zip", error);
    EXPECT_FALSE(verify_package(dir / "dangling.zip", "", -1));
    EXPECT_TRUE(log().empty());
}

TEST_F(Verify, AnyNegativeSizeSkipsTheSizeTest) {
    const path abc = file("abc.zip", "abc");
    for (std::int64_t size : {-1, -7}) {
        EXPECT_TRUE(verify_package(abc, "", size)) << size;
        EXPECT_TRUE(verify_package(abc, kAbcDigest, size)) << size;
    }
    EXPECT_TRUE(log().empty());
}

TEST_F(Verify, SizeMismatchIsLoggedAndStopsBeforeTheDigest) {
    const path empty = file("empty.zip", "");
    const path abc = file("abc.zip", "abc");
    EXPECT_TRUE(verify_package(empty, "", 0));
    EXPECT_TRUE(verify_package(empty, kEmptyDigest, 0));
    EXPECT_TRUE(verify_package(abc, kAbcDigest, 3));
    EXPECT_FALSE(verify_package(abc, "", 0));
    // A wrong digest as well: only the size is reported.
    EXPECT_FALSE(verify_package(abc, kEmptyDigest, 4));
    EXPECT_EQ(log(), Lines({size_line(abc, 0, 3), size_line(abc, 4, 3)}));
}

TEST_F(Verify, EmptyDigestAcceptsAnyRegularFile) {
    EXPECT_TRUE(verify_package(file("empty.zip", ""), "", -1));
    EXPECT_TRUE(verify_package(file("data.zip", "not a zip"), "", -1));
    EXPECT_TRUE(log().empty());
}

TEST_F(Verify, DigestComparisonIgnoresLetterCase) {
    const path abc = file("abc.zip", "abc");
    const std::string mixed = "BA7816bf8F01CFEA414140de5dae2223b00361a396177a9cb410ff61f20015AD";
    EXPECT_TRUE(verify_package(abc, support::upper(kAbcDigest), 3));
    EXPECT_TRUE(verify_package(abc, mixed, -1));
    EXPECT_TRUE(log().empty());

    // A mismatch shows the expected digest as given and the computed one in lower case.
    EXPECT_FALSE(verify_package(abc, support::upper(kEmptyDigest), 3));
    EXPECT_EQ(log(), Lines({digest_line(abc, support::upper(kEmptyDigest), kAbcDigest)}));
}

TEST_F(Verify, MalformedExpectedDigestNeverMatches) {
    const path abc = file("abc.zip", "abc");
    const std::vector<std::string> malformed = {" " + kAbcDigest,
                                                kAbcDigest + " ",
                                                "\t" + kAbcDigest,
                                                kAbcDigest.substr(0, 63),
                                                kAbcDigest + "0",
                                                kAbcDigest.substr(0, 32),
                                                "xyz"};
    std::vector<std::string> expected_log;
    for (const std::string& digest : malformed) {
        EXPECT_FALSE(verify_package(abc, digest, 3)) << digest;
        // The whole file is still hashed: the computed digest is in the message.
        expected_log.push_back(digest_line(abc, digest, kAbcDigest));
    }
    EXPECT_EQ(log(), expected_log);
}

TEST_F(Verify, DigestsOfKnownContent) {
    // Lengths around the 1 MiB read size: exactly one chunk, and one chunk plus one byte.
    const std::size_t mib = 1 << 20;
    const struct {
        std::string content;
        std::string digest;
    } cases[] = {
        {"", kEmptyDigest},
        {"abc", kAbcDigest},
        {std::string(mib, 'a'), "9bc1b2a288b26af7257a36277ae3816a7d4f16e89c1e7e77d0a5c48bad62b360"},
        {std::string(mib + 1, 'a'),
         "4a3f0c0c213adea174f9a3d4c13177315b588bdb2e9c1012d3d0bf0453ca0f6a"},
    };
    for (const auto& c : cases) {
        const path p = file("data.bin", c.content);
        EXPECT_TRUE(verify_package(p, c.digest, static_cast<std::int64_t>(c.content.size())))
            << c.content.size();
        // The same digest from a file already held open.
        ReadOnlyFile held;
        ASSERT_TRUE(held.open(p, ReadSharing::others_may_only_read).ok());
        Sha256 sha256;
        ASSERT_TRUE(sha256.ready() && feed_file(held, {&sha256}));
        EXPECT_EQ(to_hex(sha256.finish().value_or(std::vector<unsigned char>{})), c.digest)
            << c.content.size();
    }
    EXPECT_TRUE(log().empty());
}

// A stage names its package by the SHA-256 in its stamp, so the check gives it when asked, even
// with none to compare; a stop request ends the read without a digest or a log line.
TEST_F(Verify, CheckGivesTheDigestWhenAskedAndStopsWhenTold) {
    ReadOnlyFile abc;
    ASSERT_TRUE(abc.open(file("abc.zip", "abc")).ok());
    PackageVerification wanted({"", -1, nullptr, true});
    ASSERT_TRUE(wanted.start());
    EXPECT_TRUE(verify_file(wanted, abc, "abc.zip"));
    EXPECT_EQ(wanted.sha256(), kAbcDigest);

    PackageVerification not_wanted({"", -1, nullptr});
    ASSERT_TRUE(not_wanted.start());
    EXPECT_TRUE(verify_file(not_wanted, abc, "abc.zip"));
    EXPECT_FALSE(not_wanted.sha256());

    PackageVerification stopped({"", -1, nullptr, true});
    ASSERT_TRUE(stopped.start());
    EXPECT_FALSE(verify_file(stopped, abc, "abc.zip", nullptr, [] { return true; }));
    EXPECT_FALSE(stopped.sha256());
    EXPECT_TRUE(log().empty());
}

TEST_F(Verify, UnopenableFileIsAnError) {
    Sha256 sha256;
    ASSERT_TRUE(sha256.ready());
    EXPECT_FALSE(feed_file(dir / "missing.bin", {&sha256}));
    EXPECT_EQ(log(), Lines({"error Failed to open for hash: " + to_narrow(dir / "missing.bin")}));
}

TEST_F(Verify, OneReadFeedsEveryDigest) {
    const path p = file("data.bin", std::string((std::size_t{1} << 20) + 1, 'a'));
    Sha256 sha256;
    Blake2b512 blake2b;
    ASSERT_TRUE(sha256.ready() && blake2b.ready());
    ASSERT_TRUE(feed_file(p, {&sha256, &blake2b}));
    const std::optional<std::vector<unsigned char>> sha256_digest = sha256.finish();
    ASSERT_TRUE(sha256_digest);
    EXPECT_EQ(to_hex(*sha256_digest),
              "4a3f0c0c213adea174f9a3d4c13177315b588bdb2e9c1012d3d0bf0453ca0f6a");
    const std::array<unsigned char, 64> blake2b_digest = blake2b.finish();
    EXPECT_EQ(to_hex({blake2b_digest.begin(), blake2b_digest.end()}),
              "f6333b38b70c3f72383247a3e302f0190a1dcc80dc625f5716e6346c92c7a7c0"
              "fdd70c8dcbc8e1e651f2ba47303e82fc9a7b42d235f4212585accf258f7835a6");
    EXPECT_TRUE(log().empty());
}

// The stall rule on a clock the test moves: 10 bytes a second over windows of 3 seconds.
struct Stall : ::testing::Test {
    using time_point = std::chrono::steady_clock::time_point;
    time_point now{};
    StallRule rule{3, 10, [this] { return now; }};
    void advance(int seconds) { now += std::chrono::seconds(seconds); }
};

TEST_F(Stall, SilenceForAWholeWindowIsAStall) {
    advance(2);
    EXPECT_FALSE(rule.stalled());
    advance(1);
    EXPECT_TRUE(rule.stalled());
    rule.received(1000);
    EXPECT_TRUE(rule.stalled());  // a stall is final
}

TEST_F(Stall, EachWindowMustBringItsShare) {
    advance(3);
    rule.received(30);  // exactly 10 bytes a second
    EXPECT_FALSE(rule.stalled());
    EXPECT_EQ(rule.window_end(), now + std::chrono::seconds(3));
    rule.received(59);  // one byte short in the second window
    advance(3);
    EXPECT_TRUE(rule.stalled());
}

// Silence after a burst is a stall one window after the last bytes, not after a second window.
TEST_F(Stall, SilenceAfterABurstIsAStallAWindowAfterItsLastBytes) {
    advance(1);
    rule.received(1000);
    advance(2);
    EXPECT_FALSE(rule.stalled());
    EXPECT_EQ(rule.window_end(), now + std::chrono::seconds(1));
    advance(1);
    EXPECT_TRUE(rule.stalled());

    // Checked late, the quiet stretch since the last bytes already fills a window.
    StallRule late{3, 10, [this] { return now; }};
    late.received(30);
    advance(10);
    EXPECT_TRUE(late.stalled());
}

}  // namespace
