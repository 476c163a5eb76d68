// Flushing what the updater wrote: the calls succeed on what exists and say what failed.
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

}  // namespace
