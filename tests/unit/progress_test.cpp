// The lines progress calls make (ProgressLines, driven with a clock of the test's own), and the
// JSON text of a string.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "progress.h"

namespace {

using Lines = std::vector<std::string>;

void append(Lines& to, const Lines& lines) {
    to.insert(to.end(), lines.begin(), lines.end());
}

// The ms field of a line.
std::int64_t ms_of(const std::string& line) {
    const std::size_t at = line.find("\"ms\":");
    return std::stoll(line.substr(at + 5));
}

TEST(ProgressLines, WritesAtMostFourLinesInAnySecondAndOneEverySecondWhileBytesFlow) {
    ProgressLines progress;
    Lines lines = progress.enter(phase::extract, 100000, 0);
    // A piece every 10 ms for 5 s.
    for (std::int64_t ms = 10; ms <= 5000; ms += 10) {
        append(lines, progress.add_done(200, ms));
    }
    append(lines, progress.finish(0, std::nullopt, 5003));
    ASSERT_GE(lines.size(), 3u);
    EXPECT_EQ(lines.front(), "{\"phase\":\"extract\",\"done\":0,\"total\":100000,\"ms\":0}\n");
    EXPECT_EQ(lines[lines.size() - 2],
              "{\"phase\":\"extract\",\"done\":100000,\"total\":100000,\"ms\":5003}\n");
    EXPECT_EQ(lines.back(), "{\"phase\":\"done\",\"exit\":0,\"done\":0,\"total\":0,\"ms\":5003}\n");
    const Lines phase_lines(lines.begin(), lines.end() - 1);
    for (std::size_t i = 0; i < phase_lines.size(); ++i) {
        std::size_t in_second = 0;
        for (const std::string& other : phase_lines) {
            const std::int64_t from = ms_of(phase_lines[i]);
            in_second += ms_of(other) >= from && ms_of(other) < from + 1000 ? 1 : 0;
        }
        EXPECT_LE(in_second, 4u) << phase_lines[i];
        if (i > 0) {
            EXPECT_LE(ms_of(phase_lines[i]) - ms_of(phase_lines[i - 1]), 1000) << phase_lines[i];
        }
    }
}

TEST(ProgressLines, NothingChangedWritesNothing) {
    ProgressLines progress;
    EXPECT_EQ(progress.enter(phase::download, -1, 0).size(), 1u);
    Lines later;
    for (std::int64_t ms = 500; ms <= 5000; ms += 500) {
        append(later, progress.set_done(0, ms));
        append(later, progress.add_done(0, ms));
        append(later, progress.set_total(-1, ms));
    }
    EXPECT_EQ(later, Lines());
    // No unwritten figures: the end is the last line alone.
    EXPECT_EQ(progress.finish(0, std::nullopt, 6000).size(), 1u);
}

TEST(ProgressLines, PhasesOnlyMoveForwardAndCountsOnlyGrowWithinAnAttempt) {
    ProgressLines progress;
    Lines lines = progress.enter(phase::wait, 0, 0);
    append(lines, progress.enter(phase::swap, 2, 10));
    append(lines, progress.add_done(1, 20));
    append(lines, progress.add_done(1, 30));
    // Back to a phase already left: nothing, and its figures are not shown.
    append(lines, progress.enter(phase::wait, 0, 40));
    append(lines, progress.add_done(5, 500));
    append(lines, progress.enter(phase::launch, 0, 600));
    append(lines, progress.finish(1, std::string("Failed \"x\"\\y"), 700));
    EXPECT_EQ(lines, Lines({
                         "{\"phase\":\"wait\",\"done\":0,\"total\":0,\"ms\":0}\n",
                         "{\"phase\":\"swap\",\"done\":0,\"total\":2,\"ms\":10}\n",
                         // the closing line of swap, written as it is left
                         "{\"phase\":\"swap\",\"done\":2,\"total\":2,\"ms\":40}\n",
                         "{\"phase\":\"launch\",\"done\":0,\"total\":0,\"ms\":600}\n",
                         "{\"phase\":\"done\",\"exit\":1,\"done\":0,\"total\":0,\"ms\":700,"
                         "\"error\":\"Failed \\\"x\\\"\\\\y\"}\n",
                     }));
}

TEST(ProgressLines, ATransferThatStartsOverIsTheNextAttempt) {
    ProgressLines progress;
    Lines lines = progress.begin_attempt(phase::download, 300, 1000, 0);
    append(lines, progress.set_done(200, 400));  // less than before: not shown
    append(lines, progress.set_done(600, 500));
    append(lines, progress.begin_attempt(phase::download, 0, 1000, 900));
    append(lines, progress.set_total(2000, 1300));
    append(lines, progress.set_done(2500, 1700));  // never past a known total
    EXPECT_EQ(
        lines,
        Lines({
            "{\"phase\":\"download\",\"attempt\":1,\"done\":300,\"total\":1000,\"ms\":0}\n",
            "{\"phase\":\"download\",\"attempt\":1,\"done\":600,\"total\":1000,\"ms\":500}\n",
            "{\"phase\":\"download\",\"attempt\":2,\"done\":0,\"total\":1000,\"ms\":900}\n",
            "{\"phase\":\"download\",\"attempt\":2,\"done\":0,\"total\":2000,\"ms\":1300}\n",
            "{\"phase\":\"download\",\"attempt\":2,\"done\":2000,\"total\":2000,\"ms\":1700}\n",
        }));
}

TEST(JsonString, EscapesWhatJsonRequiresAndReplacesWhatIsNotUtf8) {
    EXPECT_EQ(json_string("plain C:\\dir \"q\""), "\"plain C:\\\\dir \\\"q\\\"\"");
    EXPECT_EQ(json_string(std::string("a\r\nb\x01", 5)), "\"a\\u000d\\u000ab\\u0001\"");
    // Two- and four-byte characters stay; a lone continuation byte, a cut sequence, an overlong
    // form and a surrogate do not.
    EXPECT_EQ(json_string("\xc3\xa9\xf0\x9f\x98\x80"), "\"\xc3\xa9\xf0\x9f\x98\x80\"");
    EXPECT_EQ(json_string("\x80|\xc3|\xc0\xaf|\xed\xa0\x80"),
              "\"\\ufffd|\\ufffd|\\ufffd\\ufffd|\\ufffd\\ufffd\\ufffd\"");
}

}  // namespace
