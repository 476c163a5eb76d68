#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "native_error.h"

// The command line a program is started with: the executable in double quotes, then, when there
// are arguments, one space and the argument text exactly as given.
std::string quoted_command_line(const std::string& exe_text, const std::string& args);

// Starts `exe` detached, in its own directory, with `args` appended to its command line.
// The outcome is logged; the caller is told nothing.
void launch_process(const std::filesystem::path& exe, const std::string& args);

// A program the updater started and watches for a while, to learn how it ends. It never becomes
// a zombie of the updater, and it outlives the updater when it still runs then.
class WatchedProcess {
  public:
    WatchedProcess();
    ~WatchedProcess();
    WatchedProcess(const WatchedProcess&) = delete;
    WatchedProcess& operator=(const WatchedProcess&) = delete;

    // Starts the command line in working_dir, as start_detached does; fails when the program
    // could not be started (the system refused it, or exec failed).
    NativeError start(const std::string& command_line,
                      const std::optional<std::string>& working_dir);
    // The exit code once the program has ended, waited for up to timeout_ms; nothing while it
    // still runs (or when it was never started). Linux gives a program ended by a signal the
    // code 128 + the signal's number.
    std::optional<std::int64_t> exit_code_within(int timeout_ms);
    // Ends the program (Windows: exit code 1, Linux: SIGKILL) when it still runs.
    void terminate();
    // The started program's id; 0 or less before a start succeeded.
    long pid() const;

  private:
    struct Native;  // the platform's hold on the started process
    std::unique_ptr<Native> native_;
};

// launch_process for a program the caller watches: false when it could not be started.
[[nodiscard]] bool launch_watched_process(const std::filesystem::path& exe, const std::string& args,
                                          WatchedProcess& process);

// Starts a command line as an independent process that the updater never waits for, in
// working_dir (nothing: the updater's own).
NativeError start_detached(const std::string& command_line,
                           const std::optional<std::string>& working_dir);

// The path as the system's process start takes it: on Windows a path past the start's length
// limit is given in its short (8.3) form where the volume has one; elsewhere, and for short
// paths, the path itself.
std::filesystem::path startable_path(const std::filesystem::path& path);

// Splits a command line into arguments the way the Windows C runtime does, so that a program
// started by the POSIX layer sees what it would see on Windows.
std::vector<std::string> split_command_line(const std::string& command_line);
