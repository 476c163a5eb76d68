// The kept download: what it holds after each step agrees with what the next run loads.
#include <gtest/gtest.h>

#include "kept_download.h"
#include "support.h"

namespace {

using support::fs::path;

const std::string kUrl = "http://127.0.0.1/package.zip";
const std::string kDigest = "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad";

struct Kept : support::LoggedTest {
    path output = dir / "package.zip";
    path download = dir / "package.zip.download";
    KeptPaths paths = kept_paths(output);

    // Keeps `bytes` as received from url and returns what the next run would load.
    KeptDownload kept_from(const std::string& url, const std::string& bytes) {
        support::write_file(download, bytes);
        KeptDownload kept = load_kept_download(paths);
        kept.keep(download, url, support::upper(kDigest), ResumePoint{bytes.size(), "\"v1\""});
        EXPECT_TRUE(kept.belongs_to(url, kDigest)) << "not held once kept";
        return load_kept_download(paths);
    }
};

TEST_F(Kept, BytesBelongOnlyToTheirUrlAndPackage) {
    const KeptDownload kept = kept_from(kUrl, "abc");
    EXPECT_TRUE(kept.belongs_to(kUrl, support::upper(kDigest)));
    EXPECT_FALSE(kept.belongs_to(kUrl + "?mirror", kDigest));
    EXPECT_FALSE(kept.belongs_to(kUrl, std::string(64, '0')));
    EXPECT_FALSE(kept.belongs_to(kUrl, ""));
    EXPECT_FALSE(support::fs::exists(download));
}

TEST_F(Kept, TakenBackBytesAreHeldNoMore) {
    KeptDownload kept = kept_from(kUrl, "abcd");
    const std::optional<ResumePoint> point = kept.take_back(download);
    ASSERT_TRUE(point);
    EXPECT_EQ(point->kept, 4u);
    EXPECT_EQ(point->validator, "\"v1\"");
    EXPECT_EQ(support::read_file(download), "abcd");
    EXPECT_FALSE(kept.holds_bytes());
    EXPECT_FALSE(kept.take_back(download)) << "taken back twice";
    EXPECT_FALSE(support::fs::exists(paths.bytes));
    EXPECT_FALSE(support::fs::exists(paths.source));
    EXPECT_FALSE(load_kept_download(paths).holds_bytes());
}

TEST_F(Kept, LoadingRemovesAHalfOfAPair) {
    support::write_file(paths.bytes, "abc");
    EXPECT_FALSE(load_kept_download(paths).holds_bytes());
    EXPECT_FALSE(support::fs::exists(paths.bytes));

    KeptDownload kept = kept_from(kUrl, "abc");
    support::fs::remove(paths.bytes);
    EXPECT_FALSE(load_kept_download(paths).holds_bytes());
    EXPECT_FALSE(support::fs::exists(paths.source));
}

TEST_F(Kept, DroppedBytesAreGoneFromTheDiskAndMemory) {
    KeptDownload kept = kept_from(kUrl, "abc");
    kept.drop();
    EXPECT_FALSE(kept.holds_bytes());
    EXPECT_FALSE(kept.belongs_to(kUrl, kDigest));
    EXPECT_EQ(support::names_in(dir.path()), std::vector<std::string>{"updater.log"});
}

}  // namespace
