// close-app against the test application: the quit request it sends, how long it waits, and
// the executable path exactly as received in every log line.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <thread>

#include "support.h"

using namespace support;

namespace {

std::string launched(const std::string& exe) {
    return "info Quit request launched: \"" + exe + "\" --quit-for-update";
}
std::string exited(const std::string& exe) {
    return "info App process exited: " + exe;
}
std::string timed_out(const std::string& exe) {
    return "error Timed out waiting for app process to exit: " + exe;
}

struct CloseApp : ::testing::Test {
    TempDir root;
    fs::path app_dir = root / "current";
    fs::path app = install_testapp(app_dir, "app.exe");
    // Instances that may still run. An id is forgotten once its process is known to be gone,
    // so that a later process given the same id is never killed.
    std::vector<long> pids;

    void TearDown() override {
        for (long pid : pids) {
            kill_process(pid);
        }
    }
    void forget(long pid) { pids.erase(std::remove(pids.begin(), pids.end(), pid), pids.end()); }
    void stop(long pid) {
        kill_process(pid);
        forget(pid);
    }
    bool alive(long pid) {
        const bool running = process_alive(pid);
        if (!running) {
            forget(pid);
        }
        return running;
    }
    // Starts an instance that runs until it is asked to quit, once it has recorded its start.
    long start_app(const fs::path& exe) {
        write_file(exe.parent_path() / "stay", "");
        fs::remove(exe.parent_path() / "quit-request");
        pids.push_back(start_testapp(exe));
        return pids.back();
    }
    RunResult close_app(const std::string& exe, const std::string& timeout_ms,
                        const fs::path& cwd = {}) {
        return run_updater({"close-app", "--exe", exe, "--timeout-ms", timeout_ms, "--app-dir",
                            root.path().string()},
                           cwd);
    }
    Lines log() { return log_lines(root / "updater.log"); }
};

TEST_F(CloseApp, NothingRunningFromThatFile) {
    // The same program running from another directory is not the application.
    const fs::path other = install_testapp(root / "other", "app.exe");
    const long other_pid = start_app(other);

    const RunResult result = close_app(app.string(), "5000");
    EXPECT_EQ(result.exit_code, 0);
    EXPECT_EQ(log(), Lines({"info No running app process found: " + app.string()}));
    EXPECT_TRUE(app_starts(app_dir).empty());
    EXPECT_FALSE(fs::exists(other.parent_path() / "quit-request"));
    EXPECT_TRUE(alive(other_pid));
}

TEST_F(CloseApp, RunningAppQuitsOnRequest) {
    const long pid = start_app(app);
    // A time-out of 0 stands for the default, so the wait is not over before it starts.
    const RunResult result = close_app(app.string(), "0");
    EXPECT_EQ(result.exit_code, 0);
    EXPECT_EQ(log(), Lines({launched(app.string()), exited(app.string())}));
    const std::vector<AppStart> starts = app_starts(app_dir);
    ASSERT_EQ(starts.size(), 2u);
    EXPECT_EQ(starts[1].args, std::vector<std::string>({"--quit-for-update"}));
    EXPECT_EQ(fs::path(starts[1].cwd), app_dir);
    EXPECT_FALSE(alive(pid));
}

TEST_F(CloseApp, WaitsForTheLastInstance) {
    write_file(app_dir / "ignore-quit", "");
    const long first = start_app(app);
    const long second = start_app(app);

    std::atomic<bool> done{false};
    RunResult result;
    std::thread updater([&] {
        result = close_app(app.string(), "60000");
        done = true;
    });
    EXPECT_TRUE(wait_until([&] { return fs::exists(app_dir / "quit-request"); }));
    stop(first);
    // Several polls find the second instance still running.
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    EXPECT_FALSE(done);
    fs::remove(app_dir / "ignore-quit");
    updater.join();

    EXPECT_EQ(result.exit_code, 0);
    EXPECT_EQ(log(), Lines({launched(app.string()), exited(app.string())}));
    EXPECT_FALSE(alive(second));
}

TEST_F(CloseApp, GivesUpAtTheTimeOutAndLeavesTheAppRunning) {
    write_file(app_dir / "ignore-quit", "");
    const long pid = start_app(app);
    const RunResult result = close_app(app.string(), "1000");
    EXPECT_EQ(result.exit_code, 1);
    EXPECT_EQ(log(), Lines({launched(app.string()), timed_out(app.string())}));
    EXPECT_TRUE(fs::exists(app_dir / "quit-request"));
    EXPECT_TRUE(alive(pid));
}

TEST_F(CloseApp, PathIsUsedExactlyAsReceived) {
    struct Spelling {
        std::string exe;
        fs::path cwd;
    };
    fs::create_directories(app_dir / "sub");
    std::vector<Spelling> spellings = {
        {app_dir.generic_string() + "/sub/../app.exe", {}},
        {"current/app.exe", root.path()},
        // No directory part: the request runs in the updater's current directory.
        {"app.exe", app_dir},
    };
    if (is_windows()) {
        spellings.push_back({upper(app.generic_string()), {}});
    } else {
        fs::create_directory_symlink(app_dir, root / "link");
        spellings.push_back({(root / "link" / "app.exe").string(), {}});
    }
    for (const Spelling& spelling : spellings) {
        SCOPED_TRACE(spelling.exe);
        const long pid = start_app(app);
        const RunResult result = close_app(spelling.exe, "-1", spelling.cwd);
        EXPECT_EQ(result.exit_code, 0);
        EXPECT_EQ(log(), Lines({launched(spelling.exe), exited(spelling.exe)}));
        const AppStart request = app_starts(app_dir).back();
        EXPECT_EQ(request.args, std::vector<std::string>({"--quit-for-update"}));
        EXPECT_TRUE(fs::equivalent(request.cwd, app_dir)) << request.cwd;
        EXPECT_FALSE(alive(pid));
    }
}

TEST_F(CloseApp, FailedRequestIsLoggedAndTheWaitGoesOn) {
    if (is_windows()) {
        GTEST_SKIP() << "a running executable cannot be removed on Windows";
    }
    start_app(app);
    fs::remove(app);
    const RunResult result = close_app(app.string(), "1000");
    EXPECT_EQ(result.exit_code, 1);
    const std::string command_line = "\"" + app.string() + "\" --quit-for-update";
    EXPECT_EQ(log(), Lines({"error Failed to launch quit request (err=2): " + command_line,
                            timed_out(app.string())}));
}

}  // namespace
