// Starting programs detached: the command line as logged, the argv and working directory the
// started program really gets, and the failure line.
#include <gtest/gtest.h>

#include "launch.h"
#include "progress.h"
#include "support.h"

using namespace support;

namespace {

TEST(SplitCommandLine, FollowsTheWindowsRuntimeRules) {
    using Args = std::vector<std::string>;
    EXPECT_EQ(split_command_line(R"("C:\dir with space\app.exe")"),
              Args({R"(C:\dir with space\app.exe)"}));
    EXPECT_EQ(split_command_line(R"("C:\a\app.exe" --after-update  one	two)"),
              Args({R"(C:\a\app.exe)", "--after-update", "one", "two"}));
    EXPECT_EQ(split_command_line(R"("x" "a b" c" d"e)"), Args({"x", "a b", "c de"}));
    EXPECT_EQ(split_command_line(R"("x" a\\b a\"b a\\"b c" "d\\)"),
              Args({"x", R"(a\\b)", R"(a"b)", R"(a\b c)", R"(d\\)"}));
    EXPECT_EQ(split_command_line(R"("x" "a""b" "")"), Args({"x", R"(a"b)", ""}));
    EXPECT_EQ(split_command_line(R"(plain.exe arg)"), Args({"plain.exe", "arg"}));
}

struct Launch : LoggedTest {};

TEST_F(Launch, StartsInItsOwnDirectoryWithTheGivenArguments) {
    const fs::path app = install_testapp(dir / "app dir", "app name.exe");
    launch_process(app, R"(--after-update one "two words" C:\path\ "q\"uote")");
    ASSERT_TRUE(wait_until([&] { return app_starts(dir / "app dir").size() == 1; }));
    const AppStart start = app_starts(dir / "app dir")[0];
    EXPECT_EQ(fs::path(start.cwd), dir / "app dir");
    EXPECT_EQ(start.args, std::vector<std::string>(
                              {"--after-update", "one", "two words", R"(C:\path\)", "q\"uote"}));
    EXPECT_EQ(log(), Lines({"info Launched: \"" + app.string() +
                            R"(" --after-update one "two words" )"
                            R"(C:\path\ "q\"uote")"}));
}

TEST_F(Launch, RelativeProgramsAreFoundAsWindowsFindsThem) {
    // A bare name in the starting program's own directory first (these tests' directory, which
    // holds the test application), whatever the current directory.
    const CurrentDirectory inside(dir.path());
    const fs::path relative = fs::path("sub") / "app.exe";
    install_testapp(dir / "sub", "app.exe");
    const NativeError bare = start_detached(
        "\"" + testapp_exe().filename().string() + "\" --linger-ms 0", dir.path().string());
    // A name with a directory part from the current directory, not the working directory.
    const NativeError with_dir =
        start_detached("\"" + relative.string() + "\" --x", (dir / "sub").string());
    EXPECT_TRUE(bare.ok()) << bare.code();
    EXPECT_TRUE(with_dir.ok()) << with_dir.code();
    ASSERT_TRUE(wait_until([&] { return app_starts(dir / "sub").size() == 1; }));
    EXPECT_EQ(app_starts(dir / "sub")[0].args, std::vector<std::string>({"--x"}));
}

TEST_F(Launch, StartedProgramGetsTheDefaultBrokenPipeSignalBack) {
    if (is_windows()) {
        GTEST_SKIP() << "Windows has no SIGPIPE";
    }
    // As a run with --progress does; the signals a program finds ignored stay so across exec.
    survive_closed_pipes();
    const fs::path status = dir / "status.txt";
    ASSERT_TRUE(start_detached("\"/bin/sh\" -c \"grep SigIgn /proc/self/status > " +
                                   status.string() + ".tmp && mv " + status.string() + ".tmp " +
                                   status.string() + "\"",
                               std::nullopt)
                    .ok());
    ASSERT_TRUE(wait_until([&] { return fs::exists(status); }));
    const std::string line = read_file(status);
    ASSERT_EQ(line.rfind("SigIgn:", 0), 0u) << line;
    // SIGPIPE is signal 13: bit 12 of the mask.
    EXPECT_EQ(std::stoull(line.substr(7), nullptr, 16) & (1ull << 12), 0u) << line;
}

TEST_F(Launch, FailureIsLoggedWithTheSystemCode) {
    launch_process(dir / "missing" / "app.exe", "--update-failed");
    const Lines lines = log();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].rfind("error Failed to launch process, error code: ", 0), 0u) << lines[0];
    EXPECT_NE(lines[0], "error Failed to launch process, error code: 0");
}

}  // namespace
