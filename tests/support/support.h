#pragma once

// Helpers shared by the tests: running the built programs, temporary application roots,
// reading what the updater left behind, capturing its log, and what differs between the
// platforms. Zip packages are made by zip_builder.h.

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "native_error.h"

namespace support {

namespace fs = std::filesystem;

// The built programs, which sit beside the test executables' build root.
fs::path updater_exe();
fs::path testapp_exe();
// The updater built with small transfer limits: no disk clears its free-space floor, and a
// transfer stalls after 3 s under 1 KiB/s.
fs::path small_limits_updater_exe();

// A host path handed in from outside (environment, CTest); under Wine a Unix path is mapped to
// its drive letter.
fs::path host_path(const std::string& text);

// The keys, package and signatures that tests/signed_packages.py made for this test run (CTest
// runs it first), in the directory UPDATER_TEST_SIGNED names.
fs::path signed_packages();
// The public key <name>.pub there, as --public-key takes it.
std::string public_key(const std::string& name);

struct RunResult {
    int exit_code = -1;
    std::string out;
    std::string err;
};

// Runs a program to its end, capturing both standard streams.
RunResult run(const fs::path& exe, const std::vector<std::string>& args, const fs::path& cwd = {});
RunResult run_updater(const std::vector<std::string>& args, const fs::path& cwd = {});
// Runs a program to its end as run does, but closes the reading end of its standard output as
// soon as what it wrote there satisfies close_when; `out` holds what was read until then.
RunResult run_closing_output(const fs::path& exe, const std::vector<std::string>& args,
                             const std::function<bool(const std::string&)>& close_when);
// Runs a program to its end without a standard output: on Linux descriptor 1 is closed, on
// Windows it is started without an output handle.
RunResult run_without_output(const fs::path& exe, const std::vector<std::string>& args);

// Linux: runs a program as an unprivileged user (nobody) when the tests run as root, and, with
// extra_processes given, lets that user start no more than that many processes besides it. The
// files it needs must be that user's (give_to_unprivileged). Not available on Windows.
RunResult run_unprivileged(const fs::path& exe, const std::vector<std::string>& args,
                           long extra_processes = -1);
void give_to_unprivileged(const fs::path& path);
// Linux: the id of a kernel thread (a process without an executable image); 0 elsewhere.
long kernel_thread_pid();

// Starts a program in the background; returns its process id.
long spawn(const fs::path& exe, const std::vector<std::string>& args, const fs::path& cwd = {});
bool process_alive(long pid);
void kill_process(long pid);
// Whether the process was still running; if so it is killed now.
bool kill_if_running(long pid);
// Stops every thread of a process started by spawn until it is resumed.
void pause_process(long pid);
void resume_process(long pid);
// Waits for a process started by spawn to end; its exit code (-1 when it can't be learnt).
int exit_code_of(long pid);

// Waits for the condition, giving up after the deadline. Returns the condition's last value.
bool wait_until(const std::function<bool()>& condition,
                std::chrono::milliseconds deadline = std::chrono::seconds(20));

// Makes `to` the current directory until the object goes.
class CurrentDirectory {
  public:
    explicit CurrentDirectory(const fs::path& to) { fs::current_path(to); }
    ~CurrentDirectory() { fs::current_path(saved_); }
    CurrentDirectory(const CurrentDirectory&) = delete;
    CurrentDirectory& operator=(const CurrentDirectory&) = delete;

  private:
    const fs::path saved_ = fs::current_path();
};

// A fresh directory removed with everything in it when the object goes.
class TempDir {
  public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const fs::path& path() const { return path_; }
    fs::path operator/(const std::string& name) const { return path_ / name; }

  private:
    fs::path path_;
};

using Lines = std::vector<std::string>;
using Files = std::vector<std::pair<std::string, std::string>>;

std::string read_file(const fs::path& path);
void write_file(const fs::path& path, const std::string& bytes);
// The text with its ASCII letters in upper case.
std::string upper(std::string text);
// The names of the entries of dir, sorted.
std::vector<std::string> names_in(const fs::path& dir);

// The messages of updater.log as "level message", time stamp and logger name removed.
Lines log_lines(const fs::path& log_file);

// A test that calls the updater's functions, with their log set up by the updater's own
// init_logging in updater.log of the test's temporary directory, and dropped when the test ends.
// A logger an earlier test left behind is dropped first, so that tests pass in any order.
struct LoggedTest : ::testing::Test {
    LoggedTest();
    ~LoggedTest() override;
    // Starts an emptied log, as the next run of the updater would.
    void restart_log() const;
    Lines log() const { return log_lines(dir / "updater.log"); }

    TempDir dir;
};

// One start of the test application, as it recorded it in starts.txt beside itself.
struct AppStart {
    long pid = 0;
    std::string cwd;
    std::vector<std::string> args;
};
std::vector<AppStart> app_starts(const fs::path& app_dir);

// Starts the test application at exe and waits until it has recorded this start, so that it is
// known to run; returns its process id. Throws (the process killed) when no record comes.
long start_testapp(const fs::path& exe, const std::vector<std::string>& args = {},
                   const fs::path& cwd = {});

// Installs the test application as `name` in dir (created if needed).
fs::path install_testapp(const fs::path& dir, const std::string& name);

// What differs between the platforms, for the tests that have to know: the definitions are in
// support_win.cpp and support_posix.cpp, so that test files hold no platform conditions.
bool is_windows();
// Windows: the user's URL cache (INetCache), where the system's download calls keep a copy of
// what they fetch. Elsewhere: empty.
fs::path url_cache_directory();

// Native error codes of common failures (GetLastError values on Windows, errno values elsewhere),
// as the updater passes them to error_text.
namespace errors {
extern const NativeError not_found;       // the file itself is missing
extern const NativeError path_not_found;  // a directory on the way is missing
extern const NativeError already_exists;
extern const NativeError access_denied;
extern const NativeError pinned;          // renaming a directory that pin_directory holds
extern const NativeError is_a_directory;  // opening a directory as a file to write
extern const NativeError name_too_long;   // a path longer than the system takes
}  // namespace errors

// Whether narrow text can spell every character: always on Linux, on Windows only when the ANSI
// code page is UTF-8.
bool narrow_text_holds_every_character();

// Windows: the 8.3 short form of an existing path (the system makes one for long names); empty
// where there is none, and on Linux.
std::string short_path(const fs::path& path);

// Makes `link` a directory link to `target`; returns why it could not, or nothing.
std::string make_directory_link(const fs::path& target, const fs::path& link);

// Linux: makes a FIFO at path; returns why it could not, or nothing. Windows has no FIFOs in the
// file system.
std::string make_fifo(const fs::path& path);
// Lets a reader that waits in opening the FIFO at path go on, the FIFO then read as empty.
void release_fifo_reader(const fs::path& path);

// Undoes a change to the system when its last copy goes.
using Undo = std::shared_ptr<void>;

// Keeps a directory from being renamed until `unpin` goes: on Windows it is held open without
// sharing its deletion; on Linux (where root may rename anything) its parent is made immutable.
struct Pin {
    std::string refused;  // why the directory could not be pinned; empty when it is
    Undo unpin;
};
Pin pin_directory(const fs::path& dir);
// Keeps the directory itself from being renamed, while its parent's other entries may still
// be renamed: on Linux the directory is made immutable; on Windows as pin_directory.
Pin pin_directory_itself(const fs::path& dir);

// Sets the Unix file-creation mask until the result goes. Windows files carry no Unix permission
// bits, so there it does nothing.
Undo set_creation_mask(unsigned mask);

// Runs `work` on a thread of its own whose stack holds `stack_size` bytes, and waits for it;
// false when no such thread could be started. Windows: a thread from CreateThread, since
// MinGW's std::thread can't set a stack size. A stack overflow ends the process.
bool run_with_stack(std::size_t stack_size, const std::function<void()>& work);

// Sets an environment variable of this process, which the programs it starts inherit, until the
// result goes (the variable is then removed).
Undo set_environment(const std::string& name, const std::string& value);

// Linux: the file's permission bits; Windows: 0.
unsigned permissions_of(const fs::path& path);

// Every regular file below dir, by relative generic path, with its content.
Files tree(const fs::path& dir);

// Extraction sandboxes: a package at sandbox/in.zip is extracted into sandbox/a/b/dest, so that
// anything escaping the destination lands in a directory on the way up that holds nothing else.
fs::path sandbox_dest(const fs::path& sandbox);

// The path in a form the system takes at any length: on Windows with the \\?\ prefix.
fs::path any_length(const fs::path& path);
// What an extraction left outside the destination, or a link below it; empty when nothing.
std::string sandbox_breach(const fs::path& sandbox);

}  // namespace support
