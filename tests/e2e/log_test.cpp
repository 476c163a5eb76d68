// updater.log: where it goes, its exact line layout, and its life across runs. close-app with an
// executable that is not running gives a short, predictable log of one info line.
#include <gtest/gtest.h>

#include <regex>

#include "support.h"

using namespace support;

namespace {

struct Log : ::testing::Test {
    TempDir dir;
    std::string missing_exe() const { return (dir / "no-such-app.exe").string(); }
    RunResult close_app(const std::vector<std::string>& extra, const fs::path& cwd) {
        std::vector<std::string> args = {"close-app", "--exe", missing_exe()};
        args.insert(args.end(), extra.begin(), extra.end());
        return run_updater(args, cwd);
    }
};

TEST_F(Log, LineLayoutIsExact) {
    ASSERT_EQ(close_app({"--app-dir", dir.path().string()}, dir.path()).exit_code, 0);
    const std::string bytes = read_file(dir / "updater.log");
    const std::regex line(R"(\[\d{4}-\d{2}-\d{2} \d{2}:\d{2}:\d{2}\.\d{3}\] \[updater\] \[info\] )"
                          R"(No running app process found: [^\r\n]*no-such-app\.exe\r\n)");
    EXPECT_TRUE(std::regex_match(bytes, line)) << bytes;
}

TEST_F(Log, WarningLevelIsSpelledOut) {
    // A digest mismatch on an existing package is a warning followed by an error.
    write_file(dir / "pkg.zip", "not the package");
    run_updater({"download", "--url", "http://127.0.0.1:9/none", "--output",
                 (dir / "pkg.zip").string(), "--size", "3", "--app-dir", dir.path().string()});
    const std::string bytes = read_file(dir / "updater.log");
    EXPECT_NE(bytes.find("] [updater] [warning] Package size mismatch: "), std::string::npos)
        << bytes;
    EXPECT_EQ(bytes.find("[warn]"), std::string::npos);
}

TEST_F(Log, DefaultsToTheCurrentDirectory) {
    fs::create_directories(dir / "cwd");
    ASSERT_EQ(close_app({}, dir / "cwd").exit_code, 0);
    EXPECT_TRUE(fs::exists(dir / "cwd" / "updater.log"));
}

TEST_F(Log, TrailingSeparatorGivesTheSameFile) {
    const std::string with_separator = (dir.path() / "").string();
    ASSERT_EQ(close_app({"--app-dir", with_separator}, dir.path()).exit_code, 0);
    EXPECT_EQ(log_lines(dir / "updater.log").size(), 1u);
}

TEST_F(Log, MissingDirectoriesAreCreated) {
    const fs::path root = dir / "a" / "b" / "c";
    ASSERT_EQ(close_app({"--app-dir", root.string()}, dir.path()).exit_code, 0);
    EXPECT_TRUE(fs::is_regular_file(root / "updater.log"));
}

TEST_F(Log, EachRunEmptiesTheLogFirst) {
    write_file(dir / "updater.log", std::string(10000, 'x'));
    ASSERT_EQ(close_app({"--app-dir", dir.path().string()}, dir.path()).exit_code, 0);
    ASSERT_EQ(close_app({"--app-dir", dir.path().string()}, dir.path()).exit_code, 0);
    const Lines lines = log_lines(dir / "updater.log");
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0], "info No running app process found: " + missing_exe());
}

}  // namespace
