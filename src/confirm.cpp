#include "confirm.h"

#include <spdlog/spdlog.h>

#include <algorithm>
#include <chrono>
#include <optional>
#include <thread>
#include <vector>

#include "files.h"
#include "launch.h"
#include "log.h"
#include "processes.h"
#include "progress.h"
#include "root_lock.h"
#include "text.h"
#include "version_order.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

// How often the waiting apply looks for a confirmation.
constexpr int confirm_poll_ms = 20;
constexpr int after_terminate_wait_ms = 5000;
constexpr std::size_t shown_line_limit = 256;

struct ConfirmPaths {
    fs::path root;
    fs::path current;
    fs::path backup;
    // Where a new installation that never confirmed is moved before it is removed, so that a
    // removal cut short never leaves a partial current/.
    fs::path aside;
    fs::path pending;
    fs::path request;
    fs::path version_file;
};

ConfirmPaths confirm_paths(const fs::path& root) {
    return {root,
            root / "current",
            root / "current.bak",
            root / "current.failed",
            pending_update_path(root),
            confirm_request_path(root),
            root / ".version"};
}

// The first line of a small file of ours, as the log shows it; empty when it can't be read.
std::string first_line(const fs::path& path) {
    std::string text;
    if (read_file_start_unfollowed(path, shown_line_limit + 1, text).failed()) {
        return {};
    }
    std::size_t end = std::min(text.find('\n'), text.size());
    if (end > 0 && text[end - 1] == '\r') {
        --end;
    }
    text.resize(std::min(end, shown_line_limit));
    return text;
}

// Ends every process that runs an executable from inside dir (the launched application's own
// children included), each waited for as the process --pid is.
void terminate_processes_inside(const fs::path& dir) {
    std::vector<long> found;
    static_cast<void>(any_process([&](long pid) {
        const std::optional<std::string> image = process_image_path(pid);
        if (image && lies_inside(*image, dir)) {
            found.push_back(pid);
        }
        return false;  // every process is looked at
    }));
    for (const long pid : found) {
        const ProcessHandle process(pid);
        if (process.is_open() && is_the_application(pid, process, dir)) {
            spdlog::warn("Terminating process {}", pid);
            process.terminate();
            static_cast<void>(process.wait_for_exit(after_terminate_wait_ms));
        }
    }
}

// Puts the old installation back in place of one that never confirmed: current/ aside and
// removed, current.bak/ renamed to current/, then the record removed, which leaves .version as
// the old one. Each step is safe to repeat after a cut-off run: a pending record without a
// backup means the backup is current/ again.
[[nodiscard]] bool restore_old_installation(const ConfirmPaths& paths) {
    remove_tree(paths.aside);
    if (path_exists(paths.backup)) {
        if (path_exists(paths.current)) {
            if (const NativeError error = rename_when_free(paths.current, paths.aside);
                error.failed()) {
                spdlog::error("Failed to rename current: {}", error_text(error));
                log_holders(paths.current);
                return false;
            }
            remove_tree(paths.aside);
        }
        if (const NativeError error = rename_when_free(paths.backup, paths.current);
            error.failed()) {
            spdlog::error("Failed to restore from backup: {}", error_text(error));
            log_holders(paths.backup);
            return false;
        }
        // current/ is a directory: the root that holds its new name is what is flushed.
        static_cast<void>(make_name_durable(paths.current));
    }
    remove_file(paths.pending);
    static_cast<void>(make_name_durable(paths.pending));
    remove_file(paths.request);
    return true;
}

// The pending record becomes .version in one rename; the backup is then no longer needed.
int complete_pending_update(const ConfirmPaths& paths) {
    const std::string version = first_line(paths.pending);
    remove_file(paths.request);
    if (const NativeError error = rename_when_free(paths.pending, paths.version_file);
        error.failed()) {
        spdlog::error("Failed to write version file: {}", path_text(paths.version_file));
        return 1;
    }
    spdlog::info("Version written: {}", version);
    if (make_rename_durable(paths.version_file)) {
        spdlog::info("Cleaning up backup");
        remove_tree(paths.backup);
    } else {
        spdlog::warn("Keeping current.bak until the next update");
    }
    return 0;
}

enum class Outcome { confirmed, timed_out, failed_exit };

// Waits for the confirmation until the time-out, or until the launched program ends with a
// non-zero code. One that ends with 0 may have started the real program: the wait goes on.
Outcome await_confirmation(WatchedProcess& process, const ConfirmPaths& paths,
                           std::int64_t timeout_ms, std::int64_t& exit_code) {
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
    bool running = true;
    for (;;) {
        if (path_exists(paths.request)) {
            return Outcome::confirmed;
        }
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        if (left.count() <= 0) {
            return Outcome::timed_out;
        }
        const int slice = static_cast<int>(std::min<std::int64_t>(confirm_poll_ms, left.count()));
        if (!running) {
            std::this_thread::sleep_for(std::chrono::milliseconds(slice));
        } else if (const std::optional<std::int64_t> code = process.exit_code_within(slice)) {
            running = false;
            if (*code != 0) {
                exit_code = *code;
                // A confirmation made just before the end still counts.
                return path_exists(paths.request) ? Outcome::confirmed : Outcome::failed_exit;
            }
        }
    }
}

// Ends what runs of the new installation, puts the old one back and starts it to learn of the
// failure.
int roll_back_unconfirmed(const ConfirmPaths& paths, const fs::path& exe, WatchedProcess& process) {
    // A program that was never started has no id.
    if (process.pid() > 0 && !process.exit_code_within(0)) {
        spdlog::warn("Terminating process {}", process.pid());
        process.terminate();
        static_cast<void>(process.exit_code_within(after_terminate_wait_ms));
    }
    terminate_processes_inside(paths.current);
    static_cast<void>(restore_old_installation(paths));
    launch_process(paths.current / exe, "--update-failed");
    return 1;
}

// The start of a `confirm` run: its log and the root's lock, taken inside the gate on the log as
// every run's start is. Nothing happens to the log while the root is busy: the run that holds
// it writes it.
FileLock lock_for_confirm(const fs::path& root) {
    const FileLock gate = wait_for_gate(log_path(root));
    FileLock lock = lock_root(root);
    if (!lock.busy()) {
        init_logging(root);
    }
    return lock;
}

// Tells the apply that holds the root and waits: it looks for the request and logs the
// confirmation itself.
int signal_waiting_apply(const ConfirmPaths& paths) {
    WrittenFile request(paths.request, WriteMode::replace);
    if (request.error().ok() && request.close().ok()) {
        return 0;
    }
    init_logging(paths.root, LogStart::append);
    spdlog::error("Failed to create {}: {}", path_text(paths.request), error_text(request.error()));
    return 1;
}

// A rollback moves current/ aside first and puts the backup in its place next: once either has
// happened, the update that was pending is gone and only the rollback can be finished.
[[nodiscard]] bool rollback_begun(const ConfirmPaths& paths) {
    return !path_exists(paths.current) || !path_exists(paths.backup);
}

}  // namespace

fs::path pending_update_path(const fs::path& root) {
    return root / ".update-pending";
}

fs::path confirm_request_path(const fs::path& root) {
    return root / ".confirm-request";
}

bool settle_unconfirmed_update(const fs::path& root) {
    const ConfirmPaths paths = confirm_paths(root);
    if (!path_exists(paths.pending)) {
        return true;
    }
    spdlog::warn("Found unconfirmed update to {}, restoring {}", first_line(paths.pending),
                 first_line(paths.version_file));
    if (path_exists(paths.backup)) {
        terminate_processes_inside(paths.current);
    }
    return restore_old_installation(paths);
}

int launch_and_await_confirmation(const AwaitedLaunch& launch) {
    const ConfirmPaths paths = confirm_paths(launch.root);
    const fs::path executable = paths.current / launch.exe;
    const std::string args =
        "--after-update --confirm-update" + (launch.args.empty() ? "" : " " + launch.args);
    spdlog::info("Launching {} {}", to_narrow(executable), args);
    WatchedProcess process;
    if (!launch_watched_process(executable, args, process)) {
        spdlog::error("Updated application could not be started, rolling back");
        return roll_back_unconfirmed(paths, launch.exe, process);
    }
    spdlog::info("Waiting up to {} ms for the update to be confirmed", launch.timeout_ms);
    progress_phase(phase::confirm, 0);
    std::int64_t exit_code = 0;
    switch (await_confirmation(process, paths, launch.timeout_ms, exit_code)) {
        case Outcome::confirmed:
            spdlog::info("Update confirmed");
            if (complete_pending_update(paths) != 0) {
                return 1;
            }
            spdlog::info("Update complete, exiting");
            return 0;
        case Outcome::timed_out:
            spdlog::error("Update to {} was not confirmed within {} ms, rolling back",
                          launch.version, launch.timeout_ms);
            break;
        case Outcome::failed_exit:
            spdlog::error("Updated application exited with code {} before confirming, rolling back",
                          exit_code);
            break;
    }
    return roll_back_unconfirmed(paths, launch.exe, process);
}

int roll_back_pending_update(const fs::path& root, const fs::path& exe) {
    const ConfirmPaths paths = confirm_paths(root);
    static_cast<void>(restore_old_installation(paths));
    launch_process(paths.current / exe, "--update-failed");
    return 1;
}

int run_confirm(const fs::path& root) {
    const ConfirmPaths paths = confirm_paths(root);
    const FileLock lock = lock_for_confirm(root);
    if (lock.busy()) {
        if (path_exists(paths.pending)) {
            return signal_waiting_apply(paths);
        }
        init_logging(root, LogStart::append);
        spdlog::info("Nothing to confirm");
        return 0;
    }
    if (!lock.held()) {
        spdlog::error("Failed to lock {}: {}", path_text(root), error_text(lock.error()));
        return 1;
    }
    if (!path_exists(paths.pending)) {
        // A request that no apply waits for any more has nothing to tell.
        remove_file(paths.request);
        spdlog::info("Nothing to confirm");
        return 0;
    }
    if (rollback_begun(paths)) {
        // Confirming now would write the new .version over the old installation, or remove the
        // backup that is the only complete installation left.
        const std::string version = first_line(paths.pending);
        static_cast<void>(settle_unconfirmed_update(root));
        spdlog::error("Update to {} was rolled back before it was confirmed", version);
        return 1;
    }
    spdlog::info("Update confirmed");
    return complete_pending_update(paths);
}
