// Writing and flushing files: each mode of WrittenFile takes only what it may at its name, and
// the flushes succeed on what exists and say what failed.
#include <gtest/gtest.h>

#include "files.h"
#include "support.h"
#include "text.h"

using namespace support;

namespace {

struct Flush : LoggedTest {};

TEST_F(Flush, WrittenFilesAndRenamesAreFlushedAndWhatIsMissingIsAnError) {
    const fs::path file = dir / "written";
    write_file(file, "data");
    EXPECT_TRUE(make_file_durable(file));
    EXPECT_TRUE(make_rename_durable(file));
    EXPECT_TRUE(make_durable(dir.path()));
    EXPECT_EQ(log(), Lines());

    const fs::path missing = dir / "gone" / "file";
    EXPECT_FALSE(make_file_durable(missing));
    EXPECT_FALSE(make_rename_durable(missing));
    const std::string line =
        "error Failed to flush " + path_text(missing) + ": " + error_text(errors::path_not_found);
    EXPECT_EQ(log(), Lines({line, line}));
}

// Opens path in the mode, writes text and closes it; the first failure.
NativeError write_in(const fs::path& path, WriteMode mode, const std::string& text) {
    WrittenFile file(path, mode);
    if (file.error().failed()) {
        return file.error();
    }
    const NativeError written = file.write(text.data(), text.size());
    const NativeError closed = file.close();
    return written.failed() ? written : closed;
}

TEST(WrittenFiles, AReplacedNameIsNeverWrittenThrough) {
    TempDir dir;
    write_file(dir / "file", "old");
    fs::create_hard_link(dir / "file", dir / "second name");
    EXPECT_TRUE(write_in(dir / "file", WriteMode::replace, "new").ok());
    EXPECT_EQ(read_file(dir / "file"), "new");
    EXPECT_EQ(read_file(dir / "second name"), "old");
    fs::create_directory(dir / "empty");
    EXPECT_TRUE(write_in(dir / "empty", WriteMode::replace, "file").ok());
    EXPECT_EQ(read_file(dir / "empty"), "file");
}

TEST(WrittenFiles, ContinuingWritesOnAtTheEndOfARegularFile) {
    TempDir dir;
    write_file(dir / "partial", "abc");
    EXPECT_TRUE(write_in(dir / "partial", WriteMode::continue_existing, "def").ok());
    EXPECT_EQ(read_file(dir / "partial"), "abcdef");
}

TEST(WrittenFiles, ContinuingRefusesAnythingButARegularFileWithOneName) {
    TempDir dir;
    const NativeError missing = write_in(dir / "missing", WriteMode::continue_existing, "x");
    EXPECT_EQ(missing.code(), errors::not_found.code());
    EXPECT_FALSE(fs::exists(dir / "missing"));
    fs::create_directory(dir / "folder");
    EXPECT_TRUE(write_in(dir / "folder", WriteMode::continue_existing, "x").failed());
    EXPECT_TRUE(fs::is_empty(dir / "folder"));

    write_file(dir / "target", "abc");
    fs::create_hard_link(dir / "target", dir / "second name");
    EXPECT_TRUE(write_in(dir / "second name", WriteMode::continue_existing, "x").failed());
    EXPECT_EQ(read_file(dir / "target"), "abc");
}

TEST(WrittenFiles, ContinuingNeverFollowsALink) {
    TempDir dir;
    write_file(dir / "target", "abc");
    std::error_code error;
    fs::create_symlink(dir / "target", dir / "link", error);
    if (error) {
        GTEST_SKIP() << "symbolic links cannot be made here: " << error.message();
    }
    EXPECT_TRUE(write_in(dir / "link", WriteMode::continue_existing, "x").failed());
    EXPECT_EQ(read_file(dir / "target"), "abc");
}

}  // namespace
