// Recognising the application's processes: the comparison form of an executable path, and the
// image paths of running processes.
#include <gtest/gtest.h>

#include <memory>

#include "launch.h"
#include "processes.h"
#include "support.h"
#include "text.h"

using namespace support;

namespace {

TEST(NormalizeExePath, FoldsSlashesAndAsciiLetters) {
    TempDir dir;
    const std::string upper = dir.path().generic_string() + "/Missing/Dir/App.EXE";
    const std::string lower = dir.path().string() + "\\missing\\dir\\app.exe";
    const std::string normalized = normalize_exe_path(upper);
    EXPECT_EQ(normalized, normalize_exe_path(lower));
    EXPECT_EQ(normalized.find('/'), std::string::npos) << normalized;
    EXPECT_EQ(normalized.substr(normalized.size() - 20), "\\missing\\dir\\app.exe");

    // Letters outside ASCII keep their bytes: \u00C4 is not folded, while P and EXE are.
    std::string spelled;
    std::string expected;
    try {
        spelled = to_narrow(fs::u8path(u8"\u00C4PP\u00E9.EXE"));
        expected = to_narrow(fs::u8path(u8"\u00C4pp\u00E9.exe"));
    } catch (const fs::filesystem_error&) {
        GTEST_SKIP() << "the narrow code page cannot write these letters";
    }
    const std::string folded = normalize_exe_path((dir / "Missing").string() + "/" + spelled);
    EXPECT_EQ(folded.substr(folded.size() - expected.size() - 1), "\\" + expected) << folded;
}

TEST(NormalizeExePath, RemovesDotPartsWhetherOrNotTheyExist) {
    TempDir dir;
    fs::create_directories(dir / "a");
    EXPECT_EQ(normalize_exe_path((dir / "a/./b/../app.exe").string()),
              normalize_exe_path((dir / "a/app.exe").string()));
    const std::string missing = normalize_exe_path((dir / "no/such/./x/../app.exe").string());
    EXPECT_EQ(missing, normalize_exe_path((dir / "no/such/app.exe").string()));
    EXPECT_EQ(missing.substr(missing.size() - 16), "\\no\\such\\app.exe") << missing;
}

TEST(NormalizeExePath, ResolvesRelativePathsAgainstTheCurrentDirectory) {
    TempDir dir;
    fs::create_directories(dir / "sub");
    write_file(dir / "sub" / "app.exe", "");
    const std::string absolute = normalize_exe_path((dir / "sub" / "app.exe").string());
    const std::string partly = normalize_exe_path((dir / "sub" / "new" / "app.exe").string());
    const CurrentDirectory inside(dir.path());
    EXPECT_EQ(normalize_exe_path("sub/app.exe"), absolute);
    EXPECT_EQ(normalize_exe_path("sub/new/app.exe"), partly);
}

TEST(NormalizeExePath, LinksAndShortNamesLeadToTheRealLocation) {
    TempDir dir;
    write_file(dir / "Parvel Test Directory" / "application.exe", "");
    const fs::path real = dir / "Parvel Test Directory";
    const std::string short_form = short_path(real / "application.exe");
    if (!short_form.empty()) {
        EXPECT_EQ(normalize_exe_path(short_form),
                  normalize_exe_path((real / "application.exe").string()))
            << short_form;
        EXPECT_TRUE(lies_inside((real / "application.exe").string(), short_path(real)));
    }
    const std::string refused = make_directory_link(real, dir / "link");
    if (!refused.empty()) {
        GTEST_SKIP() << refused;
    }
    EXPECT_EQ(normalize_exe_path((dir / "link" / "application.exe").string()),
              normalize_exe_path((real / "application.exe").string()));
    EXPECT_EQ(normalize_exe_path((dir / "link" / "gone" / "app.exe").string()),
              normalize_exe_path((real / "gone" / "app.exe").string()));
}

struct ProcessLookup : ::testing::Test {
    TempDir dir;
    long pid = 0;
    void TearDown() override {
        if (pid != 0) {
            kill_process(pid);
        }
    }
    fs::path start_app(const std::string& name) {
        const fs::path app = install_testapp(dir / "App Dir", name);
        write_file(dir / "App Dir" / "stay", "");
        pid = start_testapp(app);
        return app;
    }
};

TEST_F(ProcessLookup, FindsARunningProcessByItsImagePath) {
    const fs::path app = start_app("app.exe");
    const std::optional<std::string> image = process_image_path(pid);
    ASSERT_TRUE(image);
    EXPECT_EQ(normalize_exe_path(*image), normalize_exe_path(app.string()));
    EXPECT_TRUE(is_process_running(normalize_exe_path(app.generic_string())));
    // Another file with the same name, or no path at all, matches nothing.
    EXPECT_FALSE(is_process_running(normalize_exe_path((dir / "app.exe").string())));
    EXPECT_FALSE(is_process_running(""));

    kill_process(pid);
    EXPECT_FALSE(is_process_running(normalize_exe_path(app.string())));
    // Windows may keep the object of an ended process a moment longer (and may give its id to
    // another process); what counts is that the id no longer leads to the application.
    EXPECT_TRUE(wait_until([&] {
        const std::optional<std::string> image = process_image_path(pid);
        return !image || normalize_exe_path(*image) != normalize_exe_path(app.string());
    }));
    pid = 0;
}

TEST_F(ProcessLookup, ARemovedExecutableKeepsItsPath) {
    if (is_windows()) {
        GTEST_SKIP() << "a running executable cannot be removed on Windows";
    }
    const fs::path app = start_app("app.exe");
    fs::remove(app);
    EXPECT_EQ(process_image_path(pid), app.string());
    EXPECT_TRUE(is_process_running(normalize_exe_path(app.string())));
}

TEST_F(ProcessLookup, OnlyTheApplicationIsTheApplicationAndHoldsItsDirectory) {
    const fs::path app = start_app("app.exe");
    const std::string app_dir = (dir / "App Dir").string();
    const ProcessHandle process(pid);
    ASSERT_TRUE(process.is_open());
    EXPECT_TRUE(process.may_terminate());
    EXPECT_TRUE(is_the_application(pid, process, app_dir));
    EXPECT_FALSE(is_the_application(pid, process, dir.path().string() + "/elsewhere"));
    EXPECT_EQ(processes_holding(dir / "App Dir"),
              std::vector<std::string>({"app.exe (" + std::to_string(pid) + ")"}));
    EXPECT_TRUE(processes_holding(dir / "elsewhere").empty());

    // The updater itself is never the application, even running from its directory.
    const long self = current_process_id();
    const ProcessHandle own(self);
    const std::string own_dir = path_text(fs::path(*process_image_path(self)).parent_path());
    EXPECT_FALSE(is_the_application(self, own, own_dir));
}

// The tests' own helpers: once a process a test started has ended, its id leads them nowhere,
// even after Windows has given it to another program (which might be the test that CTest runs
// beside this one), so that no late clean-up ends that program.
struct ProcessIdSlow : LoggedTest {};

TEST_F(ProcessIdSlow, AnEndedProcessesIdNoLongerReachesTheProgramGivenItNext) {
    if (!is_windows()) {
        GTEST_SKIP() << "Linux gives an id to another process only after pid_max others";
    }
    const fs::path app_dir = dir / "app";
    const fs::path app = install_testapp(app_dir, "app.exe");
    const long ended = spawn(app, {}, app_dir);
    ASSERT_EQ(exit_code_of(ended), 0);

    // Programs started past the helpers, each ended in turn, until one gets the ended one's id
    // (Wine gives an id again once a few hundred others are free).
    std::unique_ptr<ProcessHandle> holder;
    for (std::size_t started = 1; started <= 1000 && !holder; ++started) {
        launch_process(app, "--linger-ms 600000");
        ASSERT_TRUE(wait_until([&] { return app_starts(app_dir).size() == started + 1; }));
        const long pid = app_starts(app_dir).back().pid;
        auto process = std::make_unique<ProcessHandle>(pid);
        if (pid == ended) {
            holder = std::move(process);
        } else {
            process->terminate();
            static_cast<void>(process->wait_for_exit(5000));
        }
    }
    if (!holder) {
        GTEST_SKIP() << "no id was given again within 1000 processes";
    }
    kill_process(ended);
    EXPECT_FALSE(process_alive(ended));
    EXPECT_FALSE(holder->wait_for_exit(0));
    holder->terminate();
}

TEST(ProcessImagePath, NoProcessNoPath) {
    EXPECT_FALSE(process_image_path(0));
    EXPECT_FALSE(process_image_path(-1));
}

}  // namespace
