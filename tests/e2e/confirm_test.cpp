// The installed version only moves forward, and an update can wait for the new application to
// confirm that it works: what `stage`, `apply` and `confirm` leave in the application root, log
// and start.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "app_root.h"
#include "support.h"
#include "zip_builder.h"

using namespace support;

namespace {

// Lines that mention a downgrade in any way.
bool mentions_downgrade(const Lines& lines) {
    return std::any_of(lines.begin(), lines.end(), [](const std::string& line) {
        return line.find("owngrad") != std::string::npos;
    });
}

struct Update : AppRoot {
    void SetUp() override {
        install_testapp(current, "app.exe");
        write_file(current / "which.txt", "old");
        write_file(version_file, "1.0\r\n");
        write_zip(package, {unix_entry("app.exe", app_bytes, 0100755), {"which.txt", "new"}});
    }

    Args apply_args(const std::string& version, const Args& extra = {}) const {
        Args args = apply_command(0, version);
        args.insert(args.end(), extra.begin(), extra.end());
        return args;
    }
    RunResult apply(const std::string& version, const Args& extra = {}) const {
        return run_updater(apply_args(version, extra));
    }
    RunResult stage(const std::string& version, const Args& extra = {}) const {
        Args args = stage_command(version);
        args.insert(args.end(), extra.begin(), extra.end());
        return run_updater(args);
    }
    RunResult confirm() const { return run_updater({"confirm", "--app-dir", root.string()}); }
    // An apply that waits up to timeout_ms for a confirmation, the application given `app_args`.
    Args confirmed_apply_args(const std::string& app_args, long timeout_ms = 60000) const {
        return apply_args("2.0",
                          {"--confirm-timeout-ms", std::to_string(timeout_ms), "--args", app_args});
    }
    // The test application's arguments that make it confirm the update.
    std::string confirming() const {
        return "--confirm \"" + updater_exe().string() + "\" \"" + root.string() + "\"";
    }

    std::string which() const { return read_file(current / "which.txt"); }

    void expect_updated() const {
        EXPECT_EQ(which(), "new");
        EXPECT_EQ(read_file(version_file), "2.0\r\n");
        EXPECT_FALSE(fs::exists(backup));
        EXPECT_FALSE(fs::exists(pending));
    }
    // The old installation is back with its .version, and was started to learn of the failure.
    void expect_rolled_back() const {
        EXPECT_EQ(which(), "old");
        EXPECT_EQ(read_file(version_file), "1.0\r\n");
        EXPECT_FALSE(fs::exists(backup));
        EXPECT_FALSE(fs::exists(pending));
        EXPECT_FALSE(fs::exists(root / "current.failed"));
        const std::vector<AppStart> started = starts();
        ASSERT_EQ(started.size(), 1u);
        EXPECT_EQ(started[0].args, Args({"--update-failed"}));
    }
};

using VersionOrder = Update;

TEST_F(VersionOrder, DowngradeIsRefusedUnlessAllowed) {
    write_file(version_file, "2.1.0\r\n");
    const RunResult refused = apply("2.0.9");
    EXPECT_EQ(refused.exit_code, 1);
    EXPECT_TRUE(contains(log(), "error Refusing to downgrade from 2.1.0 to 2.0.9"));
    EXPECT_EQ(which(), "old");
    EXPECT_EQ(read_file(version_file), "2.1.0\r\n");
    EXPECT_FALSE(fs::exists(backup));
    EXPECT_EQ(starts().at(0).args, Args({"--update-failed"}));

    const RunResult allowed = apply("2.0.9", {"--allow-downgrade"});
    EXPECT_EQ(allowed.exit_code, 0);
    EXPECT_TRUE(contains(log(), "warning Downgrading from 2.1.0 to 2.0.9"));
    EXPECT_EQ(which(), "new");
    EXPECT_EQ(read_file(version_file), "2.0.9\r\n");
}

TEST_F(VersionOrder, SameVersionInstallsWithoutALine) {
    write_file(version_file, "2.0\r\n");
    EXPECT_EQ(apply("2.0.0+rebuilt").exit_code, 0);
    EXPECT_FALSE(mentions_downgrade(log()));
    EXPECT_EQ(which(), "new");
}

// Texts that can't be compared, and a .version that can't be trusted, leave the run as it was.
TEST_F(VersionOrder, NoComparisonRunsAsBefore) {
    fs::remove(version_file);
    ASSERT_EQ(apply("0.1").exit_code, 0);
    const Lines without_version = log();
    for (const std::string& installed :
         {std::string("9.0 beta\r\n"), std::string("9.0\x01\r\n"), std::string(300, '9')}) {
        write_file(version_file, installed);
        ASSERT_EQ(apply("0.1").exit_code, 0) << installed;
        EXPECT_EQ(log(), without_version) << installed;
    }
    write_file(version_file, "1.0\r\n");
    ASSERT_EQ(apply("0.1 nightly").exit_code, 0);
    EXPECT_FALSE(mentions_downgrade(log()));
}

TEST_F(VersionOrder, StageRefusesADowngradeAndKeepsTheEarlierStage) {
    write_file(version_file, "3.0\r\n");
    ASSERT_EQ(stage("3.1").exit_code, 0);
    const std::string stamp = read_file(root / ".staged");

    EXPECT_EQ(stage("2.9").exit_code, 1);
    EXPECT_TRUE(contains(log(), "error Refusing to downgrade from 3.0 to 2.9"));
    EXPECT_EQ(read_file(root / ".staged"), stamp);
    EXPECT_TRUE(fs::exists(root / "current.new" / "app.exe"));

    EXPECT_EQ(stage("2.9", {"--allow-downgrade"}).exit_code, 0);
    EXPECT_TRUE(contains(log(), "warning Downgrading from 3.0 to 2.9"));
    // The flag given to stage does not carry over to the apply.
    EXPECT_EQ(apply("2.9").exit_code, 1);
    EXPECT_TRUE(contains(log(), "error Refusing to downgrade from 3.0 to 2.9"));
}

using Confirm = Update;

TEST_F(Confirm, ConfirmedUpdateCompletes) {
    const RunResult r = run_updater(confirmed_apply_args(confirming()));
    EXPECT_EQ(r.exit_code, 0);
    const Lines lines = log();
    EXPECT_TRUE(contains(lines, "info Update confirmed"));
    EXPECT_TRUE(contains(lines, "info Version written: 2.0"));
    expect_updated();
    const std::vector<AppStart> started = starts();
    ASSERT_EQ(started.size(), 1u);
    EXPECT_EQ(started[0].args, Args({"--after-update", "--confirm-update", "--confirm",
                                     updater_exe().string(), root.string()}));
}

TEST_F(Confirm, UpdateNotConfirmedInTimeIsRolledBack) {
    const RunResult r = run_updater(confirmed_apply_args("--linger-ms 600000", 1500));
    EXPECT_EQ(r.exit_code, 1);
    const Lines lines = log();
    EXPECT_TRUE(
        contains(lines, "error Update to 2.0 was not confirmed within 1500 ms, rolling back"));
    expect_rolled_back();
    // The new application was ended.
    const auto terminated = std::find_if(lines.begin(), lines.end(), [](const std::string& line) {
        return line.rfind("warning Terminating process ", 0) == 0;
    });
    ASSERT_NE(terminated, lines.end());
    EXPECT_FALSE(process_alive(std::stol(terminated->substr(28))));
}

TEST_F(Confirm, UpdatedApplicationThatFailsIsRolledBack) {
    EXPECT_EQ(run_updater(confirmed_apply_args("--exit-code 3")).exit_code, 1);
    EXPECT_TRUE(contains(
        log(), "error Updated application exited with code 3 before confirming, rolling back"));
    expect_rolled_back();
}

TEST_F(Confirm, UpdatedApplicationThatCannotStartIsRolledBack) {
    write_zip(package, {{"app.exe", "not a program"}, {"which.txt", "new"}});
    EXPECT_EQ(run_updater(confirmed_apply_args(confirming())).exit_code, 1);
    const Lines lines = log();
    EXPECT_TRUE(contains(lines, "error Updated application could not be started, rolling back"));
    // Nothing ran, so nothing is terminated.
    EXPECT_TRUE(std::none_of(lines.begin(), lines.end(), [](const std::string& line) {
        return line.find("Terminating") != std::string::npos;
    }));
    expect_rolled_back();
}

TEST_F(Confirm, LauncherThatExitsAndConfirmsFromItsChild) {
    EXPECT_EQ(run_updater(confirmed_apply_args("--launch-child " + confirming())).exit_code, 0);
    EXPECT_TRUE(contains(log(), "info Update confirmed"));
    expect_updated();
}

TEST_F(Confirm, NothingToConfirm) {
    const RunResult r = confirm();
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(log(), Lines({"info Nothing to confirm"}));
    EXPECT_EQ(which(), "old");
}

// A rollback cut short, after current/ was moved aside or after the backup was put back: confirm
// finishes the rollback instead of writing the new .version over what is left.
TEST_F(Confirm, RollbackCutShortIsFinishedNotConfirmed) {
    for (const bool moved_aside : {true, false}) {
        SCOPED_TRACE(moved_aside ? "current/ moved aside" : "backup put back");
        if (moved_aside) {
            fs::rename(current, backup);
            write_file(root / "current.failed" / "which.txt", "new");
        }
        write_file(pending, "2.0\r\n");
        EXPECT_EQ(confirm().exit_code, 1);
        const Lines lines = log();
        ASSERT_FALSE(lines.empty());
        for (const std::string& line : lines) {
            EXPECT_EQ(line.find("Failed to flush"), std::string::npos) << line;
        }
        EXPECT_EQ(lines.front(), "warning Found unconfirmed update to 2.0, restoring 1.0");
        EXPECT_EQ(lines.back(), "error Update to 2.0 was rolled back before it was confirmed");
        EXPECT_FALSE(contains(lines, "info Update confirmed"));
        EXPECT_EQ(which(), "old");
        EXPECT_EQ(read_file(version_file), "1.0\r\n");
        EXPECT_FALSE(fs::exists(backup));
        EXPECT_FALSE(fs::exists(pending));
        EXPECT_FALSE(fs::exists(root / "current.failed"));
    }
}

TEST_F(Confirm, AppDirIsRequired) {
    EXPECT_EQ(run_updater({"confirm"}).exit_code, 106);
}

TEST_F(Confirm, TimeOutMustBePositive) {
    for (const std::string timeout : {"0", "-5"}) {
        const RunResult r = apply("2.0", {"--confirm-timeout-ms", timeout});
        EXPECT_EQ(r.exit_code, 1);
        const Lines lines = log();
        ASSERT_EQ(lines.size(), 1u);
        EXPECT_EQ(lines[0].rfind("error ", 0), 0u) << lines[0];
        EXPECT_EQ(which(), "old");
        EXPECT_TRUE(app_starts(current).empty());
    }
}

// An apply killed while it waits leaves the update pending: the application keeps running,
// and what comes next settles it.
struct KilledWhileWaiting : Update {
    long app = 0;

    void SetUp() override {
        Update::SetUp();
        const long updater = spawn(updater_exe(), confirmed_apply_args("--linger-ms 600000"));
        ASSERT_TRUE(wait_until([&] { return !app_starts(current).empty(); }));
        ASSERT_TRUE(wait_until([&] {
            return contains(log(), "info Waiting up to 60000 ms for the update to be confirmed");
        }));
        kill_process(updater);
        app = app_starts(current).at(0).pid;
        ASSERT_TRUE(process_alive(app));
        ASSERT_TRUE(fs::exists(pending));
    }
    void TearDown() override { kill_if_running(app); }
};

TEST_F(KilledWhileWaiting, ConfirmCompletesTheUpdate) {
    EXPECT_EQ(confirm().exit_code, 0);
    EXPECT_EQ(log(), Lines({"info Update confirmed", "info Version written: 2.0",
                            "info Cleaning up backup"}));
    expect_updated();
    EXPECT_TRUE(process_alive(app));
}

TEST_F(KilledWhileWaiting, NextApplyRollsBackFirst) {
    EXPECT_EQ(apply("2.0").exit_code, 0);
    const Lines lines = log();
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines[0], "warning Found unconfirmed update to 2.0, restoring 1.0");
    // The unconfirmed application was ended before its installation was removed.
    EXPECT_TRUE(contains(lines, "warning Terminating process " + std::to_string(app)));
    EXPECT_TRUE(contains(lines, "info Renaming current/ -> current.bak/"));
    expect_updated();
}

}  // namespace
