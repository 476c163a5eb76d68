// The extraction fuzzer's hand-made seeds, replayed: whatever an archive holds, extraction writes
// inside its destination only, creates no links, and stops with false on what it can't trust.
#include <gtest/gtest.h>

#include "extract.h"
#include "hostile_zips.h"
#include "support.h"

using namespace support;

namespace {

constexpr std::size_t bomb_size = 32u << 20;

// Extracts bytes in a sandbox of its own.
struct Sandbox {
    TempDir dir;
    fs::path dest = sandbox_dest(dir.path());

    bool extract(const std::string& bytes) {
        fs::create_directories(dest);
        write_file(dir / "in.zip", bytes);
        return extract_zip((dir / "in.zip").string(), dest.string());
    }
};

// The log goes to a directory of its own, away from the sandboxes.
struct HostileArchives : LoggedTest {};

// Made once, not per lookup: compressing the bomb takes a while.
const std::vector<hostile::Archive>& all_archives() {
    static const std::vector<hostile::Archive> all = hostile::archives(bomb_size);
    return all;
}

TEST_F(HostileArchives, NothingLeavesTheDestination) {
    for (const hostile::Archive& archive : all_archives()) {
        SCOPED_TRACE(archive.name);
        Sandbox sandbox;
        const bool extracted = sandbox.extract(archive.bytes);
        if (archive.extracts) {
            EXPECT_EQ(extracted, *archive.extracts);
        }
        EXPECT_EQ(sandbox_breach(sandbox.dir.path()), "");
    }
}

const hostile::Archive& named(const std::string& name) {
    for (const hostile::Archive& archive : all_archives()) {
        if (archive.name == name) {
            return archive;
        }
    }
    throw std::runtime_error("no archive " + name);
}

TEST_F(HostileArchives, LinkEntryBecomesAFileHoldingItsText) {
    Sandbox sandbox;
    ASSERT_TRUE(sandbox.extract(named("symlink-absolute").bytes));
    EXPECT_EQ(tree(sandbox.dest), (Files{{"abs", "/tmp"}}));
}

TEST_F(HostileArchives, EntriesBeforeAnUnsafeNameStayAndItIsNotWritten) {
    Sandbox sandbox;
    EXPECT_FALSE(sandbox.extract(named("traversal ../evil.txt").bytes));
    EXPECT_EQ(tree(sandbox.dest), (Files{{"ok.txt", "fine"}}));
}

TEST_F(HostileArchives, BombIsInflatedWhole) {
    Sandbox sandbox;
    ASSERT_TRUE(sandbox.extract(named("bomb").bytes));
    EXPECT_EQ(fs::file_size(sandbox.dest / "bomb.bin"), bomb_size);
}

}  // namespace
