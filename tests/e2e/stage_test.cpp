// `stage` and the `apply` that swaps in what it staged, as their caller sees them: the root before
// and after, the log, the exit codes, and the application started at the end.
#include <gtest/gtest.h>

#include <algorithm>
#include <future>
#include <memory>
#include <string>

#include "app_root.h"
#include "support.h"
#include "text.h"
#include "zip_builder.h"

using namespace support;

namespace {

struct Stage : AppRoot {
    std::string version = "2.0";

    void install_old() const {
        install_testapp(current, "app.exe");
        write_file(current / "which.txt", "old");
        write_file(root / ".version", "1.0\r\n");
    }
    void write_package(const std::string& which, std::vector<ZipEntry> more = {}) const {
        std::vector<ZipEntry> entries = {unix_entry("app.exe", app_bytes, 0100755),
                                         {"which.txt", which}};
        entries.insert(entries.end(), more.begin(), more.end());
        write_zip(package, entries);
    }
    Files installation(const std::string& which) const {
        return {{"app.exe", summary(app_bytes)}, {"which.txt", which}};
    }

    Args stage_args() const { return stage_command(version); }
    RunResult stage() const { return run_updater(stage_args()); }
    RunResult apply(long pid = 0) const { return run_updater(apply_command(pid, version)); }

    Lines staging_lines(int files) const {
        return {"info Staging " + package.string() + " -> current.new/",
                counted_line(files, package.string()), completed_line(files),
                "info Staged version " + version};
    }
    Lines staged_apply_lines() const {
        const std::string exe = exe_text();
        return {"info Using staged installation of version " + version,
                "info Process 0 not found, proceeding",
                "info Renaming current/ -> current.bak/",
                "info Renaming current.new/ -> current/",
                "info Version written: " + version,
                "info Launching " + exe + " --after-update",
                launched("--after-update"),
                "info Cleaning up backup",
                "info Update complete, exiting"};
    }
};

// The application keeps running from current/ while its next version is staged beside it; the
// apply then needs two renames and no extraction.
TEST_F(Stage, StagesBesideTheRunningApplicationAndApplySwapsItIn) {
    install_old();
    write_package("new");
    const long app = start_testapp(current / "app.exe", {"--linger-ms", "120000"}, current);

    const RunResult staging = stage();
    EXPECT_EQ(staging.exit_code, 0);
    EXPECT_EQ(log(), staging_lines(2));
    EXPECT_TRUE(process_alive(app));
    EXPECT_EQ(installed(current), installation("old"));
    EXPECT_EQ(installed(staged), installation("new"));
    EXPECT_EQ(read_file(root / ".version"), "1.0\r\n");
    EXPECT_EQ(names_in(root),
              Args({".staged", ".version", "current", "current.new", "updater.log"}));
    EXPECT_EQ(app_starts(current).size(), 1u);

    kill_process(app);
    const RunResult applying = apply();
    EXPECT_EQ(applying.exit_code, 0);
    EXPECT_EQ(log(), staged_apply_lines());
    EXPECT_EQ(installed(current), installation("new"));
    EXPECT_EQ(read_file(root / ".version"), "2.0\r\n");
    EXPECT_EQ(names_in(root), Args({".version", "current", "updater.log"}));
    EXPECT_EQ(starts().at(0).args, Args({"--after-update"}));
}

TEST_F(Stage, SameStageIsKeptAndAnotherReplacesIt) {
    install_old();
    write_package("new");
    ASSERT_EQ(stage().exit_code, 0);
    // Shows whether the staged tree is written again.
    write_file(staged / "left.txt", "");

    EXPECT_EQ(stage().exit_code, 0);
    EXPECT_EQ(log(), Lines({"info Already staged: version 2.0"}));
    EXPECT_TRUE(fs::exists(staged / "left.txt"));

    // Another version, then another executable name, of the same package.
    version = "2.1";
    EXPECT_EQ(stage().exit_code, 0);
    Lines expected = staging_lines(2);
    expected.insert(expected.begin(), "info Removing previous staged installation");
    EXPECT_EQ(log(), expected);
    EXPECT_FALSE(fs::exists(staged / "left.txt"));
    write_file(staged / "left.txt", "");
    Args other_exe = stage_args();
    other_exe.insert(other_exe.end(), {"--exe", "which.txt"});
    EXPECT_EQ(run_updater(other_exe).exit_code, 0);
    EXPECT_EQ(log().at(0), "info Removing previous staged installation");
    EXPECT_FALSE(fs::exists(staged / "left.txt"));
    EXPECT_EQ(installed(current), installation("old"));
}

TEST_F(Stage, FailedStageLeavesNothingStaged) {
    install_old();
    write_package("new", {with_wrong_crc({"c.txt", "3"})});
    EXPECT_EQ(stage().exit_code, 1);
    Lines expected = staging_lines(3);
    expected.pop_back();
    expected.back() = "error Failed to extract: c.txt";
    expected.push_back("error Staging failed");
    EXPECT_EQ(log(), expected);

    // A package without the executable can never be applied.
    write_zip(package, {{"which.txt", "new"}});
    EXPECT_EQ(stage().exit_code, 1);
    EXPECT_EQ(log().back(), "error Staging failed");
    EXPECT_TRUE(contains(log(), "error Package has no app.exe: " + package.string()));
    EXPECT_EQ(names_in(root), Args({".version", "current", "updater.log"}));
    EXPECT_EQ(installed(current), installation("old"));
}

// A package refused before anything is staged leaves an earlier stage for its apply.
TEST_F(Stage, RefusedPackageKeepsTheEarlierStage) {
    install_old();
    write_package("new");
    ASSERT_EQ(stage().exit_code, 0);
    const fs::path staged_package = package;
    const fs::path other = dir / "other";
    fs::create_directories(other);
    struct Case {
        const char* name;
        fs::path package;
        Args extra;
        std::string line;
    };
    const std::vector<Case> cases = {
        {"malformed key",
         staged_package,
         {"--public-key", "RW"},
         "error Package signature check failed: malformed public key"},
        {"a directory at the package", other, {}, "error Failed to open zip: " + other.string()},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        package = c.package;
        Args args = stage_args();
        args.insert(args.end(), c.extra.begin(), c.extra.end());
        EXPECT_EQ(run_updater(args).exit_code, 1);
        EXPECT_EQ(log(), Lines({c.line}));
        EXPECT_EQ(installed(staged), installation("new"));
        EXPECT_TRUE(fs::exists(stamp));
    }
}

// Whatever else is staged is discarded, and the package is extracted as without a stage.
TEST_F(Stage, ApplyOfAnythingElseDiscardsTheStage) {
    struct Case {
        const char* name;
        std::function<void(Stage&)> change;
    };
    const std::vector<Case> cases = {
        {"another version", [](Stage& t) { t.version = "3.0"; }},
        {"another package", [](Stage& t) { t.write_package("newer"); }},
        {"no tree", [](Stage& t) { fs::remove_all(t.staged); }},
        {"no executable in the tree", [](Stage& t) { fs::remove(t.staged / "app.exe"); }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        use_root(c.name);
        version = "2.0";
        install_old();
        write_package("new");
        ASSERT_EQ(stage().exit_code, 0);
        c.change(*this);

        EXPECT_EQ(apply().exit_code, 0);
        const Lines lines = log();
        ASSERT_GE(lines.size(), 4u);
        EXPECT_EQ(lines[0],
                  "warning Staged installation does not match the package, extracting it instead");
        EXPECT_EQ(lines[1], "info Process 0 not found, proceeding");
        EXPECT_EQ(lines[2], "info Renaming current/ -> current.bak/");
        EXPECT_EQ(lines[3], "info Extracting " + package.string() + " -> current/");
        EXPECT_EQ(lines.back(), "info Update complete, exiting");
        EXPECT_EQ(names_in(root), Args({".version", "current", "updater.log"}));
        EXPECT_EQ(read_file(current / "which.txt"),
                  c.name == std::string("another package") ? "newer" : "new");
    }
}

// A tree without a complete stamp is a stage that was stopped or killed: it is removed only once
// the application runs again, whatever becomes of the package, so that it costs no downtime.
TEST_F(Stage, UnfinishedStageIsRemovedOnceTheApplicationRuns) {
    struct Case {
        const char* name;
        std::function<void(Stage&)> change;
        bool installs;
    };
    const std::vector<Case> cases = {
        {"no stamp", [](Stage& t) { fs::remove(t.stamp); }, true},
        {"an empty stamp", [](Stage& t) { write_file(t.stamp, ""); }, true},
        {"a stamp cut short",
         [](Stage& t) {
             const std::string text = read_file(t.stamp);
             write_file(t.stamp, text.substr(0, text.size() - 2));
         },
         true},
        // No package to hash: the run rolls back, and the stage still goes.
        {"a missing package",
         [](Stage& t) {
             fs::remove(t.stamp);
             t.package = t.dir / "missing.zip";
         },
         false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        use_root(c.name);
        package = dir / "package.zip";
        install_old();
        write_package("new");
        ASSERT_EQ(stage().exit_code, 0);
        c.change(*this);

        EXPECT_EQ(apply().exit_code, c.installs ? 0 : 1);
        const Lines lines = log();
        ASSERT_GE(lines.size(), 4u);
        EXPECT_EQ(lines[0], "info Process 0 not found, proceeding");
        if (c.installs) {
            EXPECT_EQ(Lines(lines.end() - 5, lines.end()),
                      Lines({"info Launching " + (current / "app.exe").string() + " --after-update",
                             launched("--after-update"), "info Cleaning up backup",
                             "info Removing unfinished staged installation",
                             "info Update complete, exiting"}));
        } else {
            EXPECT_EQ(Lines(lines.end() - 2, lines.end()),
                      Lines({launched("--update-failed"),
                             "info Removing unfinished staged installation"}));
        }
        EXPECT_EQ(names_in(root), Args({".version", "current", "updater.log"}));
        EXPECT_EQ(read_file(current / "which.txt"), c.installs ? "new" : "old");
    }
}

// A scanner holding the staged tree past the retries: the old installation comes back and the
// stage stays for the next apply.
TEST_F(Stage, SecondRenameThatFailsKeepsTheOldInstallationAndTheStage) {
    install_old();
    write_package("new");
    ASSERT_EQ(stage().exit_code, 0);
    RunResult r;
    {
        const Pin pin = pin_directory_itself(staged);
        if (!pin.refused.empty()) {
            GTEST_SKIP() << pin.refused;
        }
        r = apply();
    }
    EXPECT_EQ(r.exit_code, 1);
    const Lines lines = log();
    ASSERT_GE(lines.size(), 6u);
    const Lines swap = staged_apply_lines();
    EXPECT_EQ(Lines(lines.begin(), lines.begin() + 4), Lines(swap.begin(), swap.begin() + 4));
    EXPECT_EQ(lines[4], "error Failed to rename current.new: " + error_text(errors::pinned));
    EXPECT_EQ(lines.back(), launched("--update-failed"));
    EXPECT_EQ(installed(current), installation("old"));
    EXPECT_EQ(read_file(root / ".version"), "1.0\r\n");
    EXPECT_EQ(names_in(root),
              Args({".staged", ".version", "current", "current.new", "updater.log"}));
    EXPECT_EQ(starts().at(0).args, Args({"--update-failed"}));

    EXPECT_EQ(apply().exit_code, 0);
    EXPECT_EQ(log(), staged_apply_lines());
}

// A stage gives way to an apply: the apply asks it to stop and waits for the root, while a
// second stage is refused at once. A stage killed half way changes nothing installed.
TEST_F(Stage, ApplyStopsARunningStageAndAKilledStageChangesNothing) {
    install_old();
    std::vector<ZipEntry> many;
    for (int i = 0; i < 4000; ++i) {
        many.push_back({"data/" + std::to_string(i) + ".txt", std::string(512, 'x')});
    }
    write_package("new", many);
    const fs::path mark = root / ".staging";
    // Paused once it has begun to extract, the stage can't finish before the apply asks.
    const auto paused_stage = [&] {
        const long pid = spawn(updater_exe(), stage_args());
        EXPECT_TRUE(wait_until([&] { return fs::exists(staged / "data") || !process_alive(pid); }));
        pause_process(pid);
        EXPECT_FALSE(fs::exists(stamp));
        return pid;
    };

    long stager = paused_stage();
    EXPECT_EQ(stage().exit_code, 1);
    EXPECT_EQ(log().back(), "error Another update is in progress in " + root.string());
    std::future<RunResult> applying = std::async(std::launch::async, [this] { return apply(); });
    EXPECT_TRUE(wait_until([&] { return !fs::exists(mark); }));
    resume_process(stager);
    EXPECT_EQ(exit_code_of(stager), 1);
    const RunResult applied = applying.get();
    EXPECT_EQ(applied.exit_code, 0);
    // The stopped stage left its tree, which goes after the application was started.
    const Lines applied_lines = log();
    EXPECT_EQ(applied_lines.at(0), "info Process 0 not found, proceeding");
    EXPECT_EQ(
        Lines(applied_lines.end() - 2, applied_lines.end()),
        Lines({"info Removing unfinished staged installation", "info Update complete, exiting"}));
    EXPECT_EQ(names_in(root), Args({".version", "current", "updater.log"}));
    EXPECT_EQ(read_file(current / "which.txt"), "new");

    // Killed, a stage leaves its partial tree and its mark; neither holds up the next apply.
    version = "3.0";
    write_package("newer", many);
    stager = paused_stage();
    kill_process(stager);
    EXPECT_EQ(read_file(current / "which.txt"), "new");
    EXPECT_EQ(read_file(root / ".version"), "2.0\r\n");
    EXPECT_EQ(apply().exit_code, 0);
    const Lines lines = log();
    EXPECT_EQ(lines.at(0), "info Process 0 not found, proceeding");
    EXPECT_EQ(
        Lines(lines.end() - 2, lines.end()),
        Lines({"info Removing unfinished staged installation", "info Update complete, exiting"}));
    EXPECT_EQ(names_in(root), Args({".version", "current", "updater.log"}));
    EXPECT_EQ(read_file(current / "which.txt"), "newer");
}

// A previous stage far larger than the apply's wait could see removed: the stage stops removing it
// when asked, and the apply installs and starts the application, removing the rest only then. A
// stage that still holds the root after the wait leaves the application to the apply.
TEST_F(Stage, ApplyStartsTheApplicationHoweverLargeTheStageItStops) {
    install_old();
    write_package("new");
    // Directories cost the most to remove.
    for (int i = 0; i < 30; ++i) {
        for (int j = 0; j < 100; ++j) {
            fs::create_directories(staged / std::to_string(i) / std::to_string(j));
        }
    }
    const fs::path mark = root / ".staging";
    const std::string removing = "info Removing previous staged installation";
    // Paused while it removes the previous stage.
    const auto paused_stage = [&] {
        fs::remove(root / "updater.log");
        const long pid = spawn(updater_exe(), stage_args());
        EXPECT_TRUE(wait_until([&] { return contains(log(), removing) || !process_alive(pid); }));
        pause_process(pid);
        return pid;
    };

    long stager = 0;
    // Whatever fails, no paused stage outlives the test.
    const std::shared_ptr<void> end_stager(nullptr, [&](void*) { kill_if_running(stager); });

    // Held past the wait: the apply gives up, and the application it ended is started again.
    stager = paused_stage();
    EXPECT_EQ(apply().exit_code, 1);
    const Lines refused = log();
    ASSERT_GE(refused.size(), 2u);
    EXPECT_EQ(Lines(refused.end() - 2, refused.end()),
              Lines({"error Another update is in progress in " + root.string(),
                     launched("--update-failed")}));
    EXPECT_EQ(starts().at(0).args, Args({"--update-failed"}));
    EXPECT_EQ(read_file(current / "which.txt"), "old");
    resume_process(stager);
    EXPECT_EQ(exit_code_of(stager), 1);
    EXPECT_TRUE(fs::exists(staged));

    // Let go at once: the stage stops, and the apply installs and starts the application first.
    stager = paused_stage();
    std::future<RunResult> applying = std::async(std::launch::async, [this] { return apply(); });
    EXPECT_TRUE(wait_until([&] { return !fs::exists(mark); }));
    resume_process(stager);
    EXPECT_EQ(exit_code_of(stager), 1);
    EXPECT_EQ(applying.get().exit_code, 0);
    const Lines lines = log();
    ASSERT_GE(lines.size(), 5u);
    EXPECT_EQ(
        Lines(lines.end() - 5, lines.end()),
        Lines({"info Launching " + (current / "app.exe").string() + " --after-update",
               launched("--after-update"), "info Cleaning up backup",
               "info Removing unfinished staged installation", "info Update complete, exiting"}));
    EXPECT_EQ(starts().at(0).args, Args({"--after-update"}));
    EXPECT_EQ(names_in(root), Args({".version", "current", "updater.log"}));
    EXPECT_EQ(read_file(current / "which.txt"), "new");
}

TEST_F(Stage, MissingRequiredOptionIsAParseError) {
    for (const char* left_out : {"--package", "--app-dir", "--version"}) {
        Args args = stage_args();
        const auto at = std::find(args.begin(), args.end(), left_out);
        args.erase(at, at + 2);
        EXPECT_EQ(run_updater(args).exit_code, 106) << left_out;
    }
    const RunResult help = run_updater({"stage", "--help"});
    EXPECT_EQ(help.exit_code, 0);
    for (const char* option : {"--package", "--app-dir", "--version", "--exe", "--public-key"}) {
        EXPECT_NE(help.out.find(option), std::string::npos) << option;
    }
}

}  // namespace
