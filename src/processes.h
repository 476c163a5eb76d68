#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <system_error>
#include <vector>

#include <filesystem>

#include "native_error.h"

// Comparison form of an executable path: resolved through the file system where it exists,
// `/` turned into `\`, ASCII letters folded to lower case. Never fails.
std::string normalize_exe_path(const std::string& path_text);

// True when a running process has an image path whose normalised form equals `normalized`.
[[nodiscard]] bool is_process_running(const std::string& normalized);

// True when the executable image_path lies inside the directory dir, compared as
// normalised paths, so that a process is recognised however either path was spelled.
[[nodiscard]] bool lies_inside(const std::string& image_path, const std::filesystem::path& dir);

// The processes that keep files in dir busy, as "name (pid)": those running an executable from
// inside it and, on Windows, whatever the Restart Manager reports.
std::vector<std::string> processes_holding(const std::filesystem::path& dir);

// After a rename of dir failed: who keeps it busy, logged where that can be found out.
void log_holders(const std::filesystem::path& dir);

// The image path of process `pid` as narrow text, when it can be read.
std::optional<std::string> process_image_path(long pid);

// The path in its final form as the file system resolves the part of it that exists: links
// followed and, on Windows, junctions and 8.3 short names expanded; the rest is appended as
// given, normalised. Sets ec when nothing could be resolved.
std::filesystem::path final_path(const std::filesystem::path& path, std::error_code& ec);

// The updater's own process id.
long current_process_id();

// Holders of files in dir as the system's Restart Manager reports them, as "name (pid)"
// (Windows; nothing elsewhere).
std::vector<std::string> restart_manager_holders(const std::filesystem::path& dir);

// Offers the id of every process on the machine to `matches`, stopping at the first it accepts.
// False when none was accepted, or when the process list cannot be read (logged as a warning).
[[nodiscard]] bool any_process(const std::function<bool(long pid)>& matches);

// Offers the id of every process on the machine to `visit` until it returns true. Fails when
// the process list cannot be read.
NativeError visit_processes(const std::function<bool(long pid)>& visit);

// Another process, opened for waiting on and terminating it; closed when it goes.
class ProcessHandle {
  public:
    explicit ProcessHandle(long pid);
    ~ProcessHandle();
    ProcessHandle(const ProcessHandle&) = delete;
    ProcessHandle& operator=(const ProcessHandle&) = delete;

    // False when the process could not be opened (gone, never there, not ours to touch).
    [[nodiscard]] bool is_open() const;
    // False when the updater may not end the process (another user's, on Linux).
    [[nodiscard]] bool may_terminate() const;
    // False when the process still runs after timeout_ms; true when it ended or the wait failed.
    [[nodiscard]] bool wait_for_exit(int timeout_ms) const;
    // Ends the process with exit code 1 (Linux: SIGKILL); the result is not examined.
    void terminate() const;

  private:
    struct Native;  // the platform's process handle
    std::unique_ptr<Native> native_;
};

// True when the process may be waited for and ended as the application installed in dir.
// The id may have been given to another program since the application ended, or name a process
// that is not ours to touch (the updater itself, a kernel thread, another user's process, one
// whose image can't be read): such a process is neither waited for nor terminated.
[[nodiscard]] bool is_the_application(long pid, const ProcessHandle& process,
                                      const std::filesystem::path& dir);
