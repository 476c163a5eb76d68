// The stamp that binds a staged tree to its package: only a complete stamp counts.
#include <gtest/gtest.h>

#include "staged_stamp.h"

namespace {

const StagedStamp stamp{std::string(64, 'a'), "2.0 with\nlines", "bin/app.exe"};

TEST(StagedStamp, ReadsBackWhatWasWritten) {
    const std::optional<StagedStamp> read = parse_stamp(stamp_text(stamp));
    ASSERT_TRUE(read.has_value());
    EXPECT_EQ(*read, stamp);
    const StagedStamp empty_texts{std::string(64, '0'), "", ""};
    EXPECT_EQ(parse_stamp(stamp_text(empty_texts)), empty_texts);
}

// What a power cut or a stray writer may leave: every shorter prefix, zeros, more after the end.
TEST(StagedStamp, AnythingButACompleteStampIsNone) {
    const std::string text = stamp_text(stamp);
    for (std::size_t length = 0; length < text.size(); ++length) {
        EXPECT_FALSE(parse_stamp(text.substr(0, length)).has_value()) << length;
    }
    EXPECT_FALSE(parse_stamp(std::string(text.size(), '\0')).has_value());
    EXPECT_FALSE(parse_stamp(text + "x").has_value());
    std::string zeroed_tail = text;
    zeroed_tail.replace(text.size() - 8, 8, 8, '\0');
    EXPECT_FALSE(parse_stamp(zeroed_tail).has_value());
    EXPECT_FALSE(parse_stamp(stamp_text({std::string(64, 'A'), "2.0", "app.exe"})).has_value());
    EXPECT_FALSE(parse_stamp(stamp_text({std::string(63, 'a'), "2.0", "app.exe"})).has_value());
}

}  // namespace
