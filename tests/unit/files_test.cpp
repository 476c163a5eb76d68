// File-system operations: the native codes they report, paths of any length, each mode of
// WrittenFile taking only what it may at its name, and flushing what the updater wrote.
#include <gtest/gtest.h>

#include "files.h"
#include "support.h"
#include "text.h"

using namespace support;

namespace {

TEST(Files, RenameReportsTheNativeCode) {
    TempDir dir;
    EXPECT_EQ(rename_path(dir / "missing", dir / "other"), errors::not_found);
    write_file(dir / "a", "1");
    write_file(dir / "b", "2");
    EXPECT_TRUE(rename_path(dir / "a", dir / "b").ok());
    EXPECT_EQ(read_file(dir / "b"), "1");
    EXPECT_FALSE(fs::exists(dir / "a"));
}

TEST(Files, ADirectoryThatExistsIsNeverAnError) {
    // A volume root answers "access denied" when asked to create it on Windows.
    TempDir dir;
    EXPECT_TRUE(make_directories(dir.path().root_path()).ok());
    EXPECT_TRUE(make_directories(dir.path()).ok());
}

TEST(Files, OnlyWhatExistsAndIsNoRegularFileIsTold) {
    TempDir dir;
    write_file(dir / "file", "x");
    fs::create_directory(dir / "folder");
    EXPECT_FALSE(is_existing_non_regular_file(dir / "missing"));
    EXPECT_FALSE(is_existing_non_regular_file(dir / "file"));
    EXPECT_TRUE(is_existing_non_regular_file(dir / "folder"));
    if (make_fifo(dir / "fifo").empty()) {
        EXPECT_TRUE(is_existing_non_regular_file(dir / "fifo"));
        ReadOnlyFile fifo;
        EXPECT_TRUE(fifo.open(dir / "fifo").failed());
    }
}

TEST(Files, RelativeAndDottedPathsWorkPastTheOldLengthLimit) {
    // Windows takes such paths only in a form it no longer cleans up: `..`, `.` and the current
    // directory are resolved by the updater first.
    TempDir dir;
    const CurrentDirectory inside(dir.path());
    const std::string name(120, 'c');
    const fs::path deep = fs::path(std::string(120, 'a')) / std::string(120, 'b') / name;
    ASSERT_TRUE(make_directories(deep).ok());
    EXPECT_TRUE(is_existing_directory(dir.path() / deep));
    write_file(dir / "file", "1");
    EXPECT_TRUE(rename_path("file", deep / ".." / name / "." / "file").ok());
    EXPECT_EQ(regular_file_size(dir.path() / deep / "file"), 1u);
}

// A chain of directories past the length of any path the system takes whole (Linux: 4096
// bytes), with files and a link to a directory outside on the way: removing it removes all of it
// and nothing the link leads to.
TEST(Files, TreesOfAnyDepthAreMadeAndRemovedWhole) {
    if (is_windows()) {
        GTEST_SKIP() << "Windows paths end at 32767 characters, and Wine resolves each path "
                        "element by element: a chain this deep takes it minutes";
    }
    TempDir dir;
    const std::vector<fs::path> levels(3000, "d");
    fs::create_directory(dir / "tree");
    ASSERT_TRUE(make_directory_levels(dir / "tree", levels, 0, levels.size()).ok());
    fs::path shallow = dir / "tree";
    for (int level = 0; level < 10; ++level) {
        shallow /= "d";
        write_file(shallow / "file", "x");
    }
    write_file(dir / "outside" / "keep", "keep");
    const std::string refused = make_directory_link(dir / "outside", shallow / "link");
    ASSERT_EQ(refused, "");
    // Made already: the levels known to exist are only entered.
    EXPECT_TRUE(make_directory_levels(dir / "tree", levels, levels.size(), levels.size()).ok());
    remove_tree(dir / "tree");
    EXPECT_FALSE(path_exists(dir / "tree"));
    EXPECT_EQ(read_file(dir / "outside" / "keep"), "keep");
}

// A tree far deeper than a recursive walk could take on a small stack is removed whole on a
// thread whose stack holds 64 KiB: the walk keeps its levels on the heap, one directory at a time.
// The levels are made one in the other, held open, which Wine does quickly.
TEST(Files, DeepTreesAreRemovedWithoutRecursion) {
    TempDir dir;
    constexpr int depth = 1000;
    {
        HeldDirectory level;
        ASSERT_TRUE(open_directory(dir.path(), level).ok());
        for (int i = 0; i < depth; ++i) {
            HeldDirectory below;
            ASSERT_TRUE(open_subdirectory(level, "d", true, below).ok()) << i;
            level = std::move(below);
            if (i % 100 == 0) {
                WrittenFile file(level, "f");
                ASSERT_TRUE(file.error().ok());
                ASSERT_TRUE(file.write("x", 1).ok());
                ASSERT_TRUE(file.close().ok());
            }
        }
    }
    fs::path deepest = dir / "d";
    for (int i = 1; i < depth; ++i) {
        deepest /= "d";
    }
    ASSERT_TRUE(is_existing_directory(deepest));
    ASSERT_TRUE(run_with_stack(64 * 1024, [&] { remove_tree(dir / "d"); }));
    EXPECT_FALSE(path_exists(dir / "d"));
}

// A level whose name holds a link or a file is never entered, whether it was known to exist or
// not: made by the system, it is refused as a file there would be.
// A removal that is asked to stop leaves the rest as it is; asked on, it removes everything.
TEST(Files, RemovalEndsWhereItIsStopped) {
    const TempDir dir;
    const fs::path tree = dir / "tree";
    for (const char* sub : {"a", "b/c", "d"}) {
        for (const char* file : {"1", "2", "3"}) {
            write_file(tree / sub / file, "x");
        }
    }
    int asked = 0;
    remove_tree(tree, [&asked] { return ++asked > 4; });
    EXPECT_GE(asked, 5);
    EXPECT_TRUE(fs::exists(tree));
    EXPECT_FALSE(support::tree(tree).empty());

    remove_tree(tree, [] { return false; });
    EXPECT_FALSE(fs::exists(tree));
}

TEST(Files, DirectoryLevelsNeverFollowALink) {
    TempDir dir;
    fs::create_directories(dir / "tree");
    fs::create_directories(dir / "outside");
    write_file(dir / "tree" / "file", "x");
    const std::string refused = make_directory_link(dir / "outside", dir / "tree" / "link");
    if (!refused.empty()) {
        GTEST_SKIP() << "directory links cannot be made here: " << refused;
    }
    for (const char* name : {"file", "link"}) {
        for (const std::size_t existing : {0, 1}) {
            const std::vector<fs::path> levels = {name, "below"};
            EXPECT_TRUE(make_directory_levels(dir / "tree", levels, existing, 2).failed())
                << name << existing;
        }
        EXPECT_EQ(make_directory_levels(dir / "tree", {name, "below"}, 0, 2),
                  errors::already_exists);
    }
    EXPECT_TRUE(fs::is_empty(dir / "outside"));
}

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
