// `apply` as its caller sees it: the application root before and after, the log, the exit code,
// and the application it starts (argv and working directory as the test application records
// them).
#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <functional>
#include <future>
#include <string>
#include <thread>

#include "app_root.h"
#include "files.h"
#include "hostile_zips.h"
#include "native_error.h"
#include "processes.h"
#include "support.h"
#include "text.h"
#include "zip_builder.h"

using namespace support;

namespace {

struct Apply : AppRoot {
    // The version apply is told to install.
    std::string version = "2.0";

    // An installation: the test application as app.exe and a file telling which one it is.
    void install(const fs::path& at, const std::string& which) const {
        install_testapp(at, "app.exe");
        write_file(at / "data" / "which.txt", which);
    }
    Files new_version_files() const {
        return {{"app.exe", summary(app_bytes)}, {"data/which.txt", "new"}, {"readme.txt", "2.0"}};
    }
    // The application with Unix execute permission, as zip tools on Unix record it for programs.
    ZipEntry app_entry() const { return unix_entry("app.exe", app_bytes, 0100755); }
    void write_new_version() const {
        write_zip(package, {app_entry(), {"data/which.txt", "new"}, {"readme.txt", "2.0"}});
    }

    Args apply_args(long pid, const std::string& args = "") const {
        Args all = apply_command(pid, version);
        if (!args.empty()) {
            all.insert(all.end(), {"--args", args});
        }
        return all;
    }
    RunResult apply(long pid, const std::string& args = "") const {
        return run_updater(apply_args(pid, args));
    }

    std::string extracting() const {
        return "info Extracting " + package.string() + " -> current/";
    }
    std::string counted(int n) const { return counted_line(n, package.string()); }

    // The old installation is back, untouched, and was started to report the failure.
    void expect_rolled_back(const Files& old) const {
        const std::vector<AppStart> started = starts();
        ASSERT_EQ(started.size(), 1u);
        EXPECT_EQ(started[0].args, Args({"--update-failed"}));
        EXPECT_EQ(fs::path(started[0].cwd), current);
        EXPECT_EQ(installed(current), old);
        EXPECT_FALSE(fs::exists(backup));
        EXPECT_FALSE(fs::exists(marker));
    }
};

TEST_F(Apply, ReplacesCurrentAndStartsTheNewApplication) {
    install(current, "old");
    write_file(root / ".version", "1.0, a longer and older version text\r\n");
    write_new_version();
    // The running application ends on its own, well within the wait.
    const long pid = start_testapp(current / "app.exe", {"--linger-ms", "1500"}, current);

    const RunResult r = apply(pid);
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_FALSE(process_alive(pid));
    EXPECT_EQ(
        log(),
        Lines({"info Waiting for process " + std::to_string(pid) + " to exit (timeout 30000ms)",
               "info Renaming current/ -> current.bak/", extracting(), counted(3),
               "info Extraction complete: 3 files", "info Version written: 2.0",
               "info Launching " + exe_text() + " --after-update", launched("--after-update"),
               "info Cleaning up backup", "info Update complete, exiting"}));

    const std::vector<AppStart> started = starts();
    ASSERT_EQ(started.size(), 1u);
    EXPECT_EQ(started[0].args, Args({"--after-update"}));
    EXPECT_EQ(fs::path(started[0].cwd), current);
    EXPECT_EQ(installed(current), new_version_files());
    EXPECT_EQ(read_file(root / ".version"), "2.0\r\n");
    EXPECT_EQ(names_in(root), Args({".version", "current", "updater.log"}));
}

TEST_F(Apply, PassesTheArgumentsTextUnchanged) {
    struct Case {
        std::string args;
        Args argv;
    };
    const std::vector<Case> cases = {
        {"", {"--after-update"}},
        {"one two three", {"--after-update", "one", "two", "three"}},
        {R"(first "two words" last)", {"--after-update", "first", "two words", "last"}},
    };
    int n = 0;
    for (const Case& c : cases) {
        use_root("root " + std::to_string(++n));
        install(current, "old");
        write_new_version();
        const RunResult r = apply(0, c.args);
        EXPECT_EQ(r.exit_code, 0) << c.args;
        const std::string launch_args =
            c.args.empty() ? "--after-update" : "--after-update " + c.args;
        const Lines lines = log();
        EXPECT_EQ(lines.at(0), "info Process 0 not found, proceeding");
        EXPECT_TRUE(contains(lines, "info Launching " + exe_text() + " " + launch_args)) << c.args;
        EXPECT_TRUE(contains(lines, launched(launch_args))) << c.args;
        EXPECT_EQ(starts().at(0).args, c.argv);
    }
}

TEST_F(Apply, RollsBackWhenTheThirdOfFiveEntriesFailsItsCrc) {
    install(current, "old");
    write_file(root / ".version", "1.0\r\n");
    const Files old = installed(current);
    write_zip(package, {{"a.txt", "1"},
                        {"b.txt", "2"},
                        with_wrong_crc({"c.txt", "3"}),
                        {"d.txt", "4"},
                        {"e.txt", "5"}});

    const RunResult r = apply(0);
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(log(), Lines({"info Process 0 not found, proceeding",
                            "info Renaming current/ -> current.bak/", extracting(), counted(5),
                            "error Failed to extract: c.txt",
                            "error Extraction failed, rolling back", launched("--update-failed")}));
    expect_rolled_back(old);
    EXPECT_EQ(read_file(root / ".version"), "1.0\r\n");
}

TEST_F(Apply, RollsBackWhenThePackageIsNotAZip) {
    install(current, "old");
    write_file(root / ".version", "1.0\r\n");
    const Files old = installed(current);
    write_file(package, "<html>404 Not Found</html>\n");

    const RunResult r = apply(0, "ignored after a rollback");
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(log(),
              Lines({"info Process 0 not found, proceeding",
                     "info Renaming current/ -> current.bak/", extracting(),
                     "error Not a zip archive", "error Failed to open zip: " + package.string(),
                     "error Extraction failed, rolling back", launched("--update-failed")}));
    expect_rolled_back(old);
    EXPECT_EQ(read_file(root / ".version"), "1.0\r\n");
}

TEST_F(Apply, RefusesEntryNamesThatLeaveCurrent) {
    const fs::path drive_x = fs::absolute(dir.path()).root_path() / "x";
    const bool drive_x_existed = fs::exists(drive_x);
    int n = 0;
    for (const char* name : {"../x", "/x", "a/../../x", "c:/x", "..\\x"}) {
        use_root("root " + std::to_string(++n));
        install(current, "old");
        const Files old = installed(current);
        write_zip(package, {app_entry(), {name, "escaped"}, {"readme.txt", "2.0"}});

        const RunResult r = apply(0);
        EXPECT_EQ(r.exit_code, 1) << name;
        const Lines lines = log();
        EXPECT_TRUE(contains(lines, std::string("error Unsafe path in zip: ") + name)) << name;
        EXPECT_TRUE(contains(lines, "error Extraction failed, rolling back")) << name;
        expect_rolled_back(old);
        EXPECT_FALSE(fs::exists(root / "x")) << name;
        EXPECT_FALSE(fs::exists(dir / "x")) << name;
        EXPECT_EQ(fs::exists(drive_x), drive_x_existed) << name;
    }
}

TEST_F(Apply, FirstRunWithoutCurrentFailsToRename) {
    write_new_version();
    const RunResult r = apply(0);
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(log(), Lines({"info Process 0 not found, proceeding",
                            "info Renaming current/ -> current.bak/",
                            "error Failed to rename current: " + error_text(errors::not_found)}));
    EXPECT_EQ(tree(root), Files({{"updater.log", read_file(root / "updater.log")}}));
    EXPECT_FALSE(fs::exists(current));
    EXPECT_FALSE(fs::exists(backup));
}

// Each state an interrupted run can leave. The package fails, so the installation that the
// settlement kept is the one rolled back to and started.
TEST_F(Apply, SettlesWhatAnInterruptedRunLeftBehind) {
    const std::string removing = "info Removing leftover current.bak from previous update";
    const std::string restoring = "warning Found stale backup, restoring current from current.bak";
    const std::string proceeding = "info Process 0 not found, proceeding";
    struct Case {
        const char* name;
        bool backup;
        const char* current;  // nullptr: absent; "": an empty directory; else an installation
        bool marker;
        std::string first_line;
        std::string kept;
    };
    const std::vector<Case> cases = {
        {"backup beside a full current", true, "current", false, removing, "current"},
        {"backup beside an empty current", true, "", false, restoring, "backup"},
        {"backup without current", true, nullptr, false, restoring, "backup"},
        {"marker, backup and a full current", true, "partial", true, restoring, "backup"},
        {"marker without backup", false, "current", true, proceeding, "current"},
    };
    for (const Case& c : cases) {
        use_root(c.name);
        if (c.backup) {
            install(backup, "backup");
        }
        if (c.current != nullptr) {
            fs::create_directories(current);
            if (*c.current != '\0') {
                install(current, c.current);
            }
        }
        if (c.marker) {
            write_file(marker, "");
        }
        const Files kept = installed(c.kept == "backup" ? backup : current);
        write_file(package, "not a zip");

        const RunResult r = apply(0);
        EXPECT_EQ(r.exit_code, 1) << c.name;
        const Lines lines = log();
        EXPECT_EQ(lines.at(0), c.first_line) << c.name;
        EXPECT_EQ(lines.at(c.first_line == proceeding ? 0 : 1), proceeding) << c.name;
        EXPECT_EQ(lines.back(), launched("--update-failed")) << c.name;
        expect_rolled_back(kept);
    }
}

TEST_F(Apply, StaleBackupThatCannotBeRestoredEndsTheRun) {
    install(backup, "backup");
    write_file(root / "updater.log", "");
    write_new_version();
    const long app = spawn(testapp_exe(), {"--linger-ms", "120000"}, dir.path());
    RunResult r;
    {
        const Pin pin = pin_directory(backup);
        if (!pin.refused.empty()) {
            kill_process(app);
            GTEST_SKIP() << pin.refused;
        }
        r = apply(app);
    }
    const bool survived = kill_if_running(app);
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(log(), Lines({"warning Found stale backup, restoring current from current.bak",
                            "error Failed to restore from backup: " + error_text(errors::pinned)}));
    EXPECT_TRUE(survived);  // never waited for nor terminated
    EXPECT_EQ(installed(backup).size(), 2u);
    EXPECT_FALSE(fs::exists(current));
}

TEST_F(Apply, RestoredBackupIsThenReplacedByThePackage) {
    install(backup, "backup");
    write_new_version();
    const RunResult r = apply(0);
    EXPECT_EQ(r.exit_code, 0);
    const Lines lines = log();
    EXPECT_EQ(lines.at(0), "warning Found stale backup, restoring current from current.bak");
    EXPECT_EQ(lines.back(), "info Update complete, exiting");
    EXPECT_EQ(installed(current), new_version_files());
    EXPECT_FALSE(fs::exists(backup));
}

TEST_F(Apply, VersionFileThatCannotBeWrittenIsReported) {
    install(current, "old");
    fs::create_directories(root / ".version");  // a directory can't be opened as a file
    write_new_version();
    const RunResult r = apply(0);
    EXPECT_EQ(r.exit_code, 0);
    const Lines lines = log();
    EXPECT_TRUE(
        contains(lines, "error Failed to write version file: " + (root / ".version").string()));
    EXPECT_FALSE(contains(lines, "info Version written: 2.0"));
    EXPECT_EQ(installed(current), new_version_files());
    EXPECT_EQ(starts().at(0).args, Args({"--after-update"}));
}

TEST_F(Apply, ProcessThatIsNotTheApplicationIsLeftAlone) {
    install(current, "old");
    write_new_version();
    // A program started from elsewhere, holding the id the caller passed.
    const long other = spawn(testapp_exe(), {"--linger-ms", "120000"}, dir.path());
    const auto started = [&] {
        const std::optional<std::string> image = process_image_path(other);
        return image && fs::path(*image).filename() == testapp_exe().filename();
    };
    if (!wait_until(started)) {
        kill_process(other);
        GTEST_SKIP() << "this build cannot read a process's image path yet";
    }

    const RunResult r = apply(other);
    const bool survived = kill_if_running(other);
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_TRUE(survived);
    const Lines lines = log();
    EXPECT_EQ(lines.at(0),
              "info Process " + std::to_string(other) + " is not the application, proceeding");
    EXPECT_EQ(lines.at(1), "info Renaming current/ -> current.bak/");
    EXPECT_EQ(installed(current), new_version_files());
}

TEST_F(Apply, SecondApplyOnTheSameRootIsRefused) {
    install(current, "old");
    write_file(current / "stay", "");
    write_new_version();
    const long app = start_testapp(current / "app.exe", {}, current);
    const long first = spawn(updater_exe(), apply_args(app));
    const std::string waiting =
        "info Waiting for process " + std::to_string(app) + " to exit (timeout 30000ms)";
    ASSERT_TRUE(wait_until([&] { return contains(log(), waiting); }));

    // The refusal is added to the running apply's log, which is otherwise left alone.
    Lines expected = log();
    const RunResult second = apply(0);
    EXPECT_EQ(second.exit_code, 1);
    expected.push_back("error Another update is in progress in " + root.string());
    EXPECT_EQ(log(), expected);
    // The first apply starts the application; the refused one leaves that to it.
    EXPECT_EQ(app_starts(current).size(), 1u);
    EXPECT_EQ(installed(current).size(), 3u);  // app.exe, data/which.txt, stay: untouched

    // The application quits; the first apply carries on to the end, after the refusal.
    write_file(current / "quit-request", "");
    EXPECT_TRUE(wait_until([&] { return !process_alive(first); }, std::chrono::seconds(60)));
    EXPECT_EQ(installed(current), new_version_files()) << testing::PrintToString(log());
    EXPECT_FALSE(fs::exists(backup));
    const Lines final_log = log();
    ASSERT_GT(final_log.size(), expected.size());
    EXPECT_TRUE(std::equal(expected.begin(), expected.end(), final_log.begin()));
    EXPECT_EQ(final_log.back(), "info Update complete, exiting");
}

// An apply that can't lock the root at all is the last run the ended application hears of, so it
// starts the installed application itself.
TEST_F(Apply, RootThatCannotBeLockedStartsTheApplicationAgain) {
    install(current, "old");
    write_new_version();
    RunResult r;
    if (is_windows()) {
        // A directory where the root's lock file goes.
        fs::create_directory(root / ".apply.lock");
        r = apply(0);
    } else {
        // The root is locked as itself: without read permission it can't be opened, while its
        // files can still be reached and its log written.
        give_to_unprivileged(root);
        fs::permissions(root, fs::perms::owner_all | fs::perms::group_all | fs::perms::others_all);
        fs::permissions(root,
                        fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read,
                        fs::perm_options::remove);
        r = run_unprivileged(updater_exe(), apply_args(0));
        fs::permissions(root, fs::perms::owner_read, fs::perm_options::add);
    }
    EXPECT_EQ(r.exit_code, 1);
    const Lines lines = log();
    ASSERT_EQ(lines.size(), 2u) << testing::PrintToString(lines);
    EXPECT_EQ(lines[0].rfind("error Failed to lock " + root.string() + ": ", 0), 0u) << lines[0];
    EXPECT_EQ(lines[1], launched("--update-failed"));
    expect_rolled_back({{"app.exe", summary(app_bytes)}, {"data/which.txt", "old"}});
}

TEST_F(Apply, BackupWithReadOnlyFilesIsRemoved) {
    install(current, "old");
    fs::permissions(current / "data" / "which.txt",
                    fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read);
    write_new_version();
    const RunResult r = apply(0);
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_FALSE(fs::exists(backup));
}

TEST_F(Apply, RemovingTheBackupNeverFollowsLinks) {
    install(current, "old");
    write_file(dir / "outside" / "keep.txt", "keep");
    const std::string refused = make_directory_link(dir / "outside", current / "linked");
    if (!refused.empty()) {
        GTEST_SKIP() << "directory links cannot be made here: " << refused;
    }
    ASSERT_EQ(read_file(current / "linked" / "keep.txt"), "keep");
    write_new_version();
    const RunResult r = apply(0);
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_FALSE(fs::exists(backup));
    EXPECT_EQ(read_file(dir / "outside" / "keep.txt"), "keep");
}

// The updater is killed outright (SIGKILL; TerminateProcess on Windows) half way through the
// extraction.
TEST_F(Apply, InterruptedRunNeverCostsTheOldInstallation) {
    install(current, "old");
    const Files old = installed(current);
    // Enough files that the extraction can be caught half way.
    std::vector<ZipEntry> entries;
    for (int i = 0; i < 4000; ++i) {
        entries.push_back(
            {"files/" + std::to_string(100000 + i) + ".dat",
             std::string(16384, static_cast<char>('a' + i % 26)) + std::to_string(i)});
    }
    write_zip(package, entries);
    const fs::path early = current / "files" / "100010.dat";
    const fs::path last = current / "files" / "103999.dat";

    const long updater = spawn(updater_exe(), apply_args(0));
    while (!fs::exists(early) && process_alive(updater)) {
        std::this_thread::yield();
    }
    kill_if_running(updater);
    ASSERT_TRUE(fs::exists(backup)) << "the extraction ended before it could be interrupted";
    ASSERT_FALSE(fs::exists(last)) << "the extraction ended before it could be interrupted";
    EXPECT_TRUE(fs::exists(marker));

    // current/ now looks like a full installation; only the marker tells it is not one.
    write_file(package, "not a zip");
    const RunResult r = apply(0);
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(log().at(0), "warning Found stale backup, restoring current from current.bak");
    expect_rolled_back(old);
}

struct ApplySlow : Apply {};

TEST_F(ApplySlow, TerminatesAnApplicationThatOutlivesTheWait) {
    install(current, "old");
    write_file(current / "stay", "");
    write_file(current / "ignore-quit", "");
    write_new_version();
    const long app = start_testapp(current / "app.exe", {}, current);

    const RunResult r = apply(app);
    const bool survived = kill_if_running(app);
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_FALSE(survived);
    const Lines lines = log();
    ASSERT_GE(lines.size(), 3u);
    EXPECT_EQ(lines[0],
              "info Waiting for process " + std::to_string(app) + " to exit (timeout 30000ms)");
    EXPECT_EQ(lines[1],
              "warning Process " + std::to_string(app) + " did not exit in time, terminating");
    EXPECT_EQ(lines[2], "info Renaming current/ -> current.bak/");
    EXPECT_EQ(installed(current), new_version_files());
}

TEST_F(Apply, LinksAtTheNamesItWritesAreReplacedNeverFollowed) {
    if (is_windows()) {
        GTEST_SKIP() << "Wine cannot make links from Windows code";
    }
    const fs::path outside = dir / "outside";
    write_file(outside, "outside");
    install(current, "old");
    write_new_version();
    fs::create_symlink(outside, root / "updater.log");
    fs::create_symlink(outside, marker);
    EXPECT_EQ(apply(0).exit_code, 0);
    EXPECT_EQ(read_file(outside), "outside");

    // A log with a second name outside, and a link planted at the marker during the wait.
    fs::remove(root / "updater.log");
    fs::create_hard_link(outside, root / "updater.log");
    const long app = start_testapp(current / "app.exe", {}, current);
    const long updater = spawn(updater_exe(), apply_args(app));
    ASSERT_TRUE(wait_until([&] { return fs::exists(root / "updater.log") && !log().empty(); }));
    fs::create_symlink(outside, marker);
    write_file(current / "quit-request", "");
    EXPECT_TRUE(wait_until([&] { return !process_alive(updater); }, std::chrono::seconds(60)));

    EXPECT_EQ(read_file(outside), "outside");
    for (const fs::path& written : {root / "updater.log", root / ".version"}) {
        EXPECT_TRUE(fs::is_regular_file(fs::symlink_status(written))) << written;
    }
    EXPECT_EQ(read_file(root / ".version"), "2.0\r\n");
    EXPECT_FALSE(fs::exists(fs::symlink_status(marker)));
}

TEST_F(Apply, PackageWithoutTheExecutableIsRolledBack) {
    const std::vector<std::vector<ZipEntry>> packages = {
        {},
        {{"Parvel-2.0.0/app.exe", app_bytes}, {"Parvel-2.0.0/readme.txt", "2.0"}},
    };
    for (const std::vector<ZipEntry>& entries : packages) {
        use_root("root " + std::to_string(entries.size()));
        install(current, "old");
        const Files old = installed(current);
        write_zip(package, entries);
        EXPECT_EQ(apply(0).exit_code, 1);
        EXPECT_TRUE(contains(log(), "error Package has no app.exe: " + package.string()))
            << testing::PrintToString(log());
        EXPECT_TRUE(contains(log(), "error Extraction failed, rolling back"));
        expect_rolled_back(old);
    }
}

TEST_F(Apply, ProcessesThatAreNotOursAreNeitherWaitedForNorEnded) {
    if (is_windows()) {
        GTEST_SKIP() << "Windows can't open such processes at all; Linux can";
    }
    const long kernel_thread = kernel_thread_pid();
    ASSERT_NE(kernel_thread, 0);
    for (const long pid : {kernel_thread, 1L}) {
        use_root("root " + std::to_string(pid));
        install(current, "old");
        write_new_version();
        give_to_unprivileged(root);
        // pid 1 is another user's process for an unprivileged updater.
        const RunResult r =
            pid == 1 ? run_unprivileged(updater_exe(), apply_args(pid)) : apply(pid);
        EXPECT_EQ(r.exit_code, 0) << r.err;
        ASSERT_FALSE(log().empty());
        EXPECT_EQ(log()[0],
                  "info Process " + std::to_string(pid) + " is not the application, proceeding");
    }
}

TEST_F(Apply, UnprivilegedRunsKeepWorking) {
    if (is_windows()) {
        GTEST_SKIP() << "Unix permissions and process limits";
    }
    // A directory its owner may not write, shipped so or made so by `chmod -R a-w`.
    install(current, "old");
    write_file(current / "locked" / "deep" / "file", "x");
    write_new_version();
    give_to_unprivileged(root);
    for (const fs::path& locked : {current / "locked" / "deep", current / "locked"}) {
        fs::permissions(locked,
                        fs::perms::owner_write | fs::perms::group_write | fs::perms::others_write,
                        fs::perm_options::remove);
    }
    EXPECT_EQ(run_unprivileged(updater_exe(), apply_args(0)).exit_code, 0);
    EXPECT_FALSE(fs::exists(backup)) << testing::PrintToString(log());
    EXPECT_EQ(run_unprivileged(updater_exe(), apply_args(0)).exit_code, 0);
    EXPECT_EQ(installed(current), new_version_files());

    // With room for one process besides the updater, the start of the application fails: the
    // detached start needs two.
    EXPECT_EQ(run_unprivileged(updater_exe(), apply_args(0), 1).exit_code, 0);
    EXPECT_TRUE(
        contains(log(), "error Failed to launch process, error code: " + std::to_string(EAGAIN)))
        << testing::PrintToString(log());
}

TEST_F(Apply, PackagesWindowsCannotHoldAreRolledBack) {
    ZipEntry bzip2{"data/which.txt", "new"};
    bzip2.method = 12;
    ZipEntry lying{"data/which.txt", std::string(100000, 'n')};
    lying.size = 10;
    const std::vector<std::pair<std::string, std::vector<ZipEntry>>> packages = {
        {"Unsafe path in zip: data/con.txt", {app_entry(), {"data/con.txt", "device"}}},
        {"Unsafe path in zip: data/name.", {app_entry(), {"data/name.", "dot"}}},
        {"Unsafe path in zip: data/a|b", {app_entry(), {"data/a|b", "bar"}}},
        {"Unsafe path in zip: DATA/y", {app_entry(), {"data/x", "x"}, {"DATA/y", "y"}}},
        {"Failed to extract: data/which.txt", {app_entry(), bzip2}},
        {"Failed to extract: data/which.txt", {app_entry(), lying}},
    };
    int round = 0;
    for (const auto& [error, entries] : packages) {
        SCOPED_TRACE(error);
        use_root("root " + std::to_string(++round));
        install(current, "old");
        const Files old = installed(current);
        write_zip(package, entries);
        EXPECT_EQ(apply(0).exit_code, 1);
        EXPECT_TRUE(contains(log(), "error " + error)) << testing::PrintToString(log());
        expect_rolled_back(old);
    }
}

// Thirty central records pointing at one record of 20 MiB of deflated zeros, a package of about
// 20 KB, would write 600 MiB. It is refused as it is opened, before anything is written.
TEST_F(Apply, EntriesSharingOneRecordAreRefusedBeforeAnythingIsWritten) {
    install(current, "old");
    write_file(root / ".version", "1.0\r\n");
    const Files old = installed(current);
    std::vector<ZipEntry> entries = hostile::entries_sharing_one_record(20u << 20, 30);
    entries.push_back(app_entry());
    write_zip(package, entries);
    ASSERT_LT(fs::file_size(package), 200u * 1024 + app_bytes.size());

    EXPECT_EQ(apply(0).exit_code, 1);
    EXPECT_EQ(log(), Lines({"info Process 0 not found, proceeding",
                            "info Renaming current/ -> current.bak/", extracting(),
                            "error Zip entries overlap: zeros-0.bin and zeros-1.bin",
                            "error Failed to open zip: " + package.string(),
                            "error Extraction failed, rolling back", launched("--update-failed")}));
    expect_rolled_back(old);
    EXPECT_EQ(read_file(root / ".version"), "1.0\r\n");
}

// An entry described one way by its local header and another by its central record would show
// a reviewer's tool one thing and install another.
TEST_F(Apply, LocalHeadersThatDisagreeWithTheirCentralRecordsAreRefused) {
    for (const auto& [field, entry] : hostile::local_header_mismatches()) {
        SCOPED_TRACE(field);
        use_root(field);
        install(current, "old");
        const Files old = installed(current);
        write_zip(package, {app_entry(), entry});
        EXPECT_EQ(apply(0).exit_code, 1);
        EXPECT_EQ(
            log(),
            Lines({"info Process 0 not found, proceeding", "info Renaming current/ -> current.bak/",
                   extracting(), "error Zip entry does not match its local header: data.txt",
                   "error Failed to open zip: " + package.string(),
                   "error Extraction failed, rolling back", launched("--update-failed")}));
        expect_rolled_back(old);
    }
}

// Extraction keeps the disk above the free-space floor a download keeps: the updater built with
// a floor no disk clears refuses the first data it would write.
TEST_F(Apply, ExtractionStopsAtTheFreeSpaceFloor) {
    install(current, "old");
    const Files old = installed(current);
    write_new_version();
    EXPECT_EQ(run(small_limits_updater_exe(), apply_args(0)).exit_code, 1);
    EXPECT_EQ(log(), Lines({"info Process 0 not found, proceeding",
                            "info Renaming current/ -> current.bak/", extracting(), counted(3),
                            "error Not enough free space to extract app.exe",
                            "error Failed to extract: app.exe",
                            "error Extraction failed, rolling back", launched("--update-failed")}));
    expect_rolled_back(old);
}

TEST_F(Apply, PathsPastTheOldLengthLimitWork) {
    // A root deep in a profile and entries nested below it: paths past 300 characters.
    use_root(std::string(90, 'r') + "/" + std::string(90, 'o') + "/" + std::string(90, 't'));
    const std::string deep = std::string(80, 'd') + "/" + std::string(80, 'e') + "/file.txt";
    ASSERT_GT(current.string().size(), 260u);
    // An earlier run that stopped with current/ made but still empty: the backup is restored.
    install(backup, "old");
    write_file(backup / deep, "old deep");
    fs::create_directories(current);
    write_zip(package, {app_entry(), {deep, "new deep"}, {"data/which.txt", "new"}});
    EXPECT_EQ(apply(0).exit_code, 0);
    EXPECT_EQ(log()[0], "warning Found stale backup, restoring current from current.bak");
    EXPECT_EQ(read_file(current / deep), "new deep");
    EXPECT_FALSE(fs::exists(backup));
    ASSERT_EQ(starts().size(), 1u);
    EXPECT_EQ(starts()[0].args, Args({"--after-update"}));

    write_zip(package, {app_entry(), with_wrong_crc({deep, "broken"})});
    EXPECT_EQ(apply(0).exit_code, 1);
    EXPECT_EQ(read_file(current / deep), "new deep");
    EXPECT_FALSE(fs::exists(backup));
    ASSERT_EQ(starts(2).size(), 2u);
    EXPECT_EQ(starts(2)[1].args, Args({"--update-failed"}));
}

// Packages signed with the publisher's tool (tests/signed_packages.py): package.zip holds the
// new version; the key "second" signed it as version 2.0 and, in old-version.minisig, as 1.0.
TEST_F(Apply, SignedPackageIsVerifiedBeforeTheWait) {
    const fs::path signed_dir = signed_packages();
    fs::copy_file(signed_dir / "package.zip", package);
    const std::string signature = read_file(signed_dir / "package.zip.minisig");
    // Empty lines after the signature, as an editor or `echo >>` leaves them, change nothing.
    const std::pair<const char*, std::string> signatures[] = {
        {"as signed", signature},
        {"one empty line", signature + "\n"},
        {"empty lines with CR LF", signature + "\r\n\r\n"},
    };
    for (const auto& [name, text] : signatures) {
        SCOPED_TRACE(name);
        use_root(name);
        install(current, "old");
        write_file(package.string() + ".minisig", text);
        Args args = apply_args(0);
        args.insert(args.end(), {"--public-key", public_key("second")});
        const RunResult r = run_updater(args);
        EXPECT_EQ(r.exit_code, 0);
        const Lines lines = log();
        ASSERT_GE(lines.size(), 2u);
        EXPECT_EQ(lines[0], "info Signature verified: timestamp:1733500000 version:2.0");
        EXPECT_EQ(lines[1], "info Process 0 not found, proceeding");
        EXPECT_EQ(installed(current), new_version_files());
    }
}

TEST_F(Apply, RefusedSignatureMovesNothing) {
    const fs::path signed_dir = signed_packages();
    const std::string signed_package = read_file(signed_dir / "package.zip");
    std::string tampered = signed_package;
    tampered[tampered.size() / 2] ^= 1;
    struct Case {
        std::string name;
        std::string package;
        std::string signature;
        std::string key;
        bool application_running;
        std::string reason;
        std::string version = "2.0";
    };
    const std::vector<Case> cases = {
        {"tampered", tampered, "package.zip.minisig", public_key("second"), true,
         "signature does not match the package"},
        {"older version", signed_package, "old-version.minisig", public_key("second"), true,
         "version mismatch"},
        {"malformed key", signed_package, "package.zip.minisig", "RW", false,
         "malformed public key"},
        // An empty version is a version like any other: the package signed for 2.0 is not it.
        {"empty version", signed_package, "package.zip.minisig", public_key("second"), true,
         "version mismatch", ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        use_root(c.name);
        version = c.version;
        install(current, "old");
        write_file(root / ".version", "1.0\r\n");
        const Files old = installed(current);
        write_file(package, c.package);
        fs::copy_file(signed_dir / c.signature, package.string() + ".minisig",
                      fs::copy_options::overwrite_existing);
        long app = 0;
        if (c.application_running) {
            app = start_testapp(current / "app.exe", {"--linger-ms", "120000"}, current);
        }
        Args args = apply_args(app);
        args.insert(args.end(), {"--public-key", c.key});

        EXPECT_EQ(run_updater(args).exit_code, 1);
        const std::string refused = "error Package signature check failed: " + c.reason;
        if (c.application_running) {
            // Neither waited for nor started a second time.
            EXPECT_TRUE(kill_if_running(app));
            EXPECT_EQ(log(),
                      Lines({refused, "info Process " + std::to_string(app) +
                                          " is still running, not starting the application"}));
            EXPECT_EQ(app_starts(current).size(), 1u);
        } else {
            EXPECT_EQ(log(), Lines({refused, launched("--update-failed")}));
            EXPECT_EQ(starts().at(0).args, Args({"--update-failed"}));
        }
        EXPECT_EQ(installed(current), old);
        EXPECT_EQ(read_file(root / ".version"), "1.0\r\n");
        EXPECT_EQ(names_in(root), Args({".version", "current", "updater.log"}));
    }
}

// A package changed after its signature was checked, while the application is waited for: the
// signed package is replaced by an unsigned one of the same size, by a rename over its name or
// by a write in place. Windows lets no one do either while the updater holds the package; on
// Linux the change is seen and refused, and the old installation stays.
TEST_F(Apply, PackageChangedAfterItsCheckIsNeverInstalledAsSigned) {
    const fs::path signed_dir = signed_packages();
    const std::string signed_package = read_file(signed_dir / "package.zip");
    // Unsigned, with other contents, padded to the signed package's size.
    const auto unsigned_package = [&](std::size_t pad) {
        ZipEntry readme{"readme.txt", std::string(pad, ' ')};
        readme.method = method_stored;
        return build_zip({app_entry(), {"data/which.txt", "unsigned"}, readme});
    };
    const std::size_t unpadded = unsigned_package(0).size();
    ASSERT_LE(unpadded, signed_package.size());
    const std::string replacement = unsigned_package(signed_package.size() - unpadded);
    ASSERT_EQ(replacement.size(), signed_package.size());
    const fs::path elsewhere = dir / "unsigned.zip";
    const std::pair<const char*, std::function<NativeError()>> changes[] = {
        {"renamed over", [&] { return rename_path(elsewhere, package); }},
        {"rewritten in place",
         [&] {
             WrittenFile file(package, WriteMode::overwrite);
             const NativeError written = file.error().failed()
                                             ? file.error()
                                             : file.write(replacement.data(), replacement.size());
             return written.failed() ? written : file.close();
         }},
    };
    for (const auto& [name, change] : changes) {
        SCOPED_TRACE(name);
        use_root(name);
        install(current, "old");
        write_file(root / ".version", "1.0\r\n");
        write_file(package, signed_package);
        // Long before the change, so that the change shows in the modification time, whatever
        // the clock's granularity.
        fs::last_write_time(package, fs::last_write_time(package) - std::chrono::hours(1));
        fs::copy_file(signed_dir / "package.zip.minisig", package.string() + ".minisig",
                      fs::copy_options::overwrite_existing);
        write_file(elsewhere, replacement);
        const long app = start_testapp(current / "app.exe", {"--linger-ms", "120000"}, current);
        Args args = apply_args(app);
        args.insert(args.end(), {"--public-key", public_key("second")});
        const long updater = spawn(updater_exe(), args);
        const std::string waiting =
            "info Waiting for process " + std::to_string(app) + " to exit (timeout 30000ms)";
        ASSERT_TRUE(wait_until([&] { return contains(log(), waiting); }));

        const NativeError changed = change();
        write_file(current / "quit-request", "");
        EXPECT_TRUE(wait_until([&] { return !process_alive(updater); }, std::chrono::seconds(60)));
        const Lines lines = log();
        EXPECT_EQ(lines.at(0), "info Signature verified: timestamp:1733500000 version:2.0");
        if (is_windows()) {
            EXPECT_TRUE(changed.failed());
            EXPECT_EQ(installed(current), new_version_files());
            EXPECT_EQ(read_file(root / ".version"), "2.0\r\n");
            EXPECT_EQ(lines.back(), "info Update complete, exiting");
            continue;
        }
        EXPECT_TRUE(changed.ok()) << error_text(changed);
        EXPECT_EQ(lines,
                  Lines({lines.at(0), waiting, "info Renaming current/ -> current.bak/",
                         extracting(), counted(3), "info Extraction complete: 3 files",
                         "error Package changed while it was being installed: " + package.string(),
                         "error Extraction failed, rolling back", launched("--update-failed")}));
        EXPECT_EQ(read_file(current / "data" / "which.txt"), "old");
        EXPECT_EQ(read_file(root / ".version"), "1.0\r\n");
        EXPECT_FALSE(fs::exists(backup));
        EXPECT_FALSE(fs::exists(marker));
        ASSERT_EQ(starts(2).size(), 2u);
        EXPECT_EQ(starts(2)[1].args, Args({"--update-failed"}));
    }
}

// Nothing but a regular file is taken for the package or its signature. A FIFO there would keep
// the run waiting for a writer, the root locked, and (without a key) current/ moved aside.
TEST_F(Apply, PackageOrSignatureThatIsNotARegularFileMovesNothing) {
    const fs::path signed_dir = signed_packages();
    const fs::path signature = package.string() + ".minisig";
    struct Case {
        std::string name;
        fs::path fifo;  // empty: a directory at the package's name
        std::string key;
        std::string refused;
    };
    const std::vector<Case> cases = {
        {"directory package", {}, "", "error Failed to open zip: " + package.string()},
        {"FIFO package", package, "", "error Failed to open zip: " + package.string()},
        {"FIFO signature", signature, public_key("second"),
         "error Package signature check failed: no signature file"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        use_root(c.name);
        install(current, "old");
        write_file(root / ".version", "1.0\r\n");
        const Files old = installed(current);
        fs::remove_all(package);
        fs::remove(signature);
        if (c.fifo.empty()) {
            fs::create_directory(package);
        } else {
            if (c.fifo != package) {
                fs::copy_file(signed_dir / "package.zip", package);
            }
            // Windows has none to make; its directory case covers the type check.
            if (!make_fifo(c.fifo).empty()) {
                continue;
            }
        }
        Args args = apply_args(0);
        if (!c.key.empty()) {
            args.insert(args.end(), {"--public-key", c.key});
        }

        // A run still going after a minute is stuck: its reader is let go so that it ends.
        std::future<RunResult> run =
            std::async(std::launch::async, [&] { return run_updater(args); });
        if (run.wait_for(std::chrono::minutes(1)) == std::future_status::timeout) {
            ADD_FAILURE() << "the run waits for a writer";
            while (run.wait_for(std::chrono::milliseconds(100)) == std::future_status::timeout) {
                release_fifo_reader(c.fifo);
            }
        }
        EXPECT_EQ(run.get().exit_code, 1);
        EXPECT_EQ(log(), Lines({c.refused, launched("--update-failed")}));
        EXPECT_EQ(starts().at(0).args, Args({"--update-failed"}));
        EXPECT_EQ(installed(current), old);
        EXPECT_EQ(read_file(root / ".version"), "1.0\r\n");
        EXPECT_EQ(names_in(root), Args({".version", "current", "updater.log"}));
    }
}

}  // namespace
