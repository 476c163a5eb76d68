// The fixed entry time pack records, and the UTF-8 rule its names are held to.
#include <gtest/gtest.h>

#include "entry_rules.h"
#include "zip_writer.h"

namespace {

// Date and time fields as zip records them, from their parts.
DosTime fields(unsigned year, unsigned month, unsigned day, unsigned hour, unsigned minute,
               unsigned second) {
    return {static_cast<std::uint16_t>((hour << 11) | (minute << 5) | (second / 2)),
            static_cast<std::uint16_t>(((year - 1980) << 9) | (month << 5) | day)};
}

void expect_time(DosTime actual, DosTime expected) {
    EXPECT_EQ(actual.date, expected.date);
    EXPECT_EQ(actual.time, expected.time);
}

TEST(DosTime, IsTheUtcTimeRoundedDownToTwoSecondsWithinTheFormatsRange) {
    expect_time(dos_time(1733500001), fields(2024, 12, 6, 15, 46, 40));
    expect_time(dos_time(951782400 + 86399), fields(2000, 2, 29, 23, 59, 58));
    expect_time(dos_time(0), fields(1980, 1, 1, 0, 0, 0));
    expect_time(earliest_dos_time(), fields(1980, 1, 1, 0, 0, 0));
    expect_time(dos_time(4354819200LL + 86400 * 400), fields(2107, 12, 31, 23, 59, 58));
}

TEST(Utf8, RefusesWhatIsNoValidUtf8) {
    EXPECT_TRUE(is_valid_utf8("plain/\xC3\xA4rger \xF0\x9F\x98\x80.txt"));
    EXPECT_FALSE(is_valid_utf8("caf\xE9"));           // Latin-1
    EXPECT_FALSE(is_valid_utf8("\xC0\xAF"));          // overlong
    EXPECT_FALSE(is_valid_utf8("\xED\xA0\x80"));      // surrogate
    EXPECT_FALSE(is_valid_utf8("\xF4\x90\x80\x80"));  // past U+10FFFF
    EXPECT_FALSE(is_valid_utf8("\xE2\x82"));          // cut short
}

}  // namespace
