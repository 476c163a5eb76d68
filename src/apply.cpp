#include "apply.h"

#include <spdlog/spdlog.h>

#include <optional>
#include <system_error>
#include <utility>
#include <vector>

#include "confirm.h"
#include "delta_build.h"
#include "extract.h"
#include "files.h"
#include "held_package.h"
#include "install.h"
#include "launch.h"
#include "processes.h"
#include "progress.h"
#include "root_lock.h"
#include "run_start.h"
#include "stage.h"
#include "staged_stamp.h"
#include "text.h"
#include "version_order.h"

namespace {

namespace fs = std::filesystem;

constexpr int exit_wait_ms = 30000;
constexpr int after_terminate_wait_ms = 5000;

// Every path of the run, formed (and converted to narrow text) before anything is touched, so
// that a conversion failure can't stop the run half way.
struct Layout {
    fs::path root;
    fs::path current;
    fs::path backup;
    fs::path version_file;
    fs::path marker;
    fs::path executable;
    std::string executable_text;
    StagedPaths staged;
    // Known once the root is held: a stage that was stopped or killed, removed after the
    // application was started.
    bool unfinished_stage = false;
};

Layout make_layout(const fs::path& root, const fs::path& exe) {
    Layout layout;
    layout.root = root;
    layout.current = layout.root / "current";
    layout.backup = layout.root / "current.bak";
    layout.version_file = layout.root / ".version";
    // Present while current/ may be incomplete: from before current/ is moved aside until the
    // new contents are complete or the backup is back in place.
    layout.marker = layout.root / ".apply-in-progress";
    layout.executable = layout.current / exe;
    layout.executable_text = to_narrow(layout.executable);
    layout.staged = staged_paths(layout.root);
    return layout;
}

// Settles what an interrupted earlier run left behind. False when a backup had to be restored
// and could not be.
[[nodiscard]] bool settle_stale_backup(const Layout& layout) {
    const bool interrupted = path_exists(layout.marker);
    if (path_exists(layout.backup)) {
        // After an interrupted run current/ may hold a partial extraction, however full it looks.
        if (!interrupted && path_exists(layout.current) && !is_empty_directory(layout.current)) {
            spdlog::info("Removing leftover current.bak from previous update");
            remove_tree(layout.backup);
        } else {
            spdlog::warn("Found stale backup, restoring current from current.bak");
            if (path_exists(layout.current)) {
                remove_tree(layout.current);
            }
            if (const NativeError error = rename_path(layout.backup, layout.current);
                error.failed()) {
                spdlog::error("Failed to restore from backup: {}", error_text(error));
                return false;
            }
        }
    }
    if (interrupted) {
        remove_file(layout.marker);
    }
    return true;
}

// True while the application the caller named still runs: it would be started a second time.
[[nodiscard]] bool application_still_running(std::int32_t pid, const Layout& layout) {
    const ProcessHandle process(pid);
    return process.is_open() && is_the_application(pid, process, layout.current) &&
           !process.wait_for_exit(0);
}

// Starts the installed application to learn of a failure, unless it never stopped.
void start_unless_still_running(std::int32_t pid, const Layout& layout) {
    if (application_still_running(pid, layout)) {
        spdlog::info("Process {} is still running, not starting the application", pid);
    } else {
        launch_process(layout.executable, "--update-failed");
    }
}

// A stage that never finished is removed only once the application runs (or never stopped), so
// that its removal, however large, costs no time without the application.
void remove_unfinished_stage(const Layout& layout) {
    if (layout.unfinished_stage) {
        spdlog::info("Removing unfinished staged installation");
        remove_staged_material(layout.staged);
    }
}

// Ends a run that refused the package before anything moved. The application is started to learn
// of the failure, as after a rollback, unless it never stopped.
int restart_application_after_refusal(std::int32_t pid, const Layout& layout) {
    start_unless_still_running(pid, layout);
    remove_unfinished_stage(layout);
    return 1;
}

// Ends a run that could not take the root: held by a stage past the wait, or not to be locked at
// all. No stage ever starts the application, so this run does, unless it never stopped. Another
// apply holding the root starts it itself and is left to do so.
int give_up_the_root(std::int32_t pid, const Layout& layout, bool stage_kept_it,
                     const FileLock& lock) {
    if (stage_kept_it || !lock.busy()) {
        start_unless_still_running(pid, layout);
    }
    return 1;
}

void wait_for_old_process(std::int32_t pid, const Layout& layout) {
    const ProcessHandle process(pid);
    if (!process.is_open()) {
        spdlog::info("Process {} not found, proceeding", pid);
        return;
    }
    if (!is_the_application(pid, process, layout.current)) {
        spdlog::info("Process {} is not the application, proceeding", pid);
        return;
    }
    spdlog::info("Waiting for process {} to exit (timeout {}ms)", pid, exit_wait_ms);
    if (!process.wait_for_exit(exit_wait_ms)) {
        spdlog::warn("Process {} did not exit in time, terminating", pid);
        process.terminate();
        // The run goes on whether or not the process is gone by then.
        static_cast<void>(process.wait_for_exit(after_terminate_wait_ms));
    }
}

[[nodiscard]] bool rename_current_to_backup(const Layout& layout) {
    spdlog::info("Renaming current/ -> current.bak/");
    // The application has just ended; the system or a scanner may still hold its files.
    if (const NativeError error = rename_when_free(layout.current, layout.backup); error.failed()) {
        spdlog::error("Failed to rename current: {}", error_text(error));
        log_holders(layout.current);
        return false;
    }
    progress_add(1);
    return true;
}

// Before current/ moves, the marker must be on the disk, and so must be everything the new
// installation holds before it is committed. A staged tree is on the disk already: then only the
// marker's name and its content are new.
[[nodiscard]] bool make_marker_durable(const Layout& layout, bool staged) {
    return staged ? make_name_durable(layout.marker) : make_durable(layout.root);
}
[[nodiscard]] bool make_commit_durable(const Layout& layout, bool staged) {
    return staged ? make_file_durable(layout.marker) : make_durable(layout.root);
}

[[nodiscard]] bool move_current_aside(const Layout& layout, WrittenFile& marker, bool staged) {
    if (marker.error().failed()) {
        spdlog::error("Failed to create {}: {}", path_text(layout.marker),
                      error_text(marker.error()));
        return false;
    }
    // The marker must outlast a power cut before current/ moves: without it, a partial
    // extraction would pass for a complete installation.
    if (make_marker_durable(layout, staged) && rename_current_to_backup(layout)) {
        return true;
    }
    static_cast<void>(marker.close());
    remove_file(layout.marker);
    return false;
}

// The version text goes into the marker, which is later renamed onto .version, so that the
// marker's removal and the new .version happen in one step. Written in binary: the line end is
// CR LF on every platform.
[[nodiscard]] bool write_version_text(WrittenFile& marker, const std::string& version) {
    const std::string text = version + "\r\n";
    const bool written = marker.write(text.data(), text.size()).ok();
    return marker.close().ok() && written;
}

// Ends the transaction. A run cut off before the rename restores the old installation with its
// .version; one cut off after it finds the new installation with the new .version.
[[nodiscard]] bool commit_version(const Layout& layout, bool version_text_written) {
    if (version_text_written && rename_when_free(layout.marker, layout.version_file).ok()) {
        return true;
    }
    // The new installation is complete either way; without the marker no later run takes it
    // for an interrupted one.
    remove_file(layout.marker);
    return false;
}

// Puts the backup back in place of current/ and starts the old application to learn of the
// failure.
int restore_backup(const Layout& layout, WrittenFile& marker) {
    static_cast<void>(marker.close());
    if (const NativeError error = rename_when_free(layout.backup, layout.current); error.failed()) {
        // The marker stays, so that the next run restores the backup it finds.
        spdlog::error("Failed to restore from backup: {}", error_text(error));
        log_holders(layout.backup);
    } else {
        remove_file(layout.marker);
    }
    launch_process(layout.executable, "--update-failed");
    remove_unfinished_stage(layout);
    return 1;
}

int roll_back(const Layout& layout, WrittenFile& marker) {
    spdlog::error("Extraction failed, rolling back");
    remove_tree(layout.current);
    return restore_backup(layout, marker);
}

// The end of an update that waits for the new application's confirmation: the version text goes
// into the pending record instead of .version, and the backup stays until the confirmation.
int finish_confirmed_update(const Layout& layout, WrittenFile& marker, const std::string& version,
                            const std::string& args, bool staged, std::int64_t timeout_ms) {
    const bool version_text_written = write_version_text(marker, version);
    if (!make_commit_durable(layout, staged)) {
        return roll_back(layout, marker);
    }
    const fs::path pending = pending_update_path(layout.root);
    // A request left by an earlier confirm must not count for this update.
    remove_file(confirm_request_path(layout.root));
    if (!version_text_written) {
        spdlog::error("Failed to write {}", path_text(pending));
        remove_tree(layout.current);
        return restore_backup(layout, marker);
    }
    if (const NativeError error = rename_when_free(layout.marker, pending); error.failed()) {
        spdlog::error("Failed to write {}: {}", path_text(pending), error_text(error));
        remove_tree(layout.current);
        return restore_backup(layout, marker);
    }
    const fs::path exe = layout.executable.lexically_relative(layout.current);
    // The record must outlast a power cut before the new application runs.
    const int code =
        make_rename_durable(pending)
            ? launch_and_await_confirmation({layout.root, exe, version, args, timeout_ms})
            : roll_back_pending_update(layout.root, exe);
    // Whichever version runs now, it was started first.
    remove_unfinished_stage(layout);
    return code;
}

int finish_update(const Layout& layout, WrittenFile& marker, const std::string& version,
                  const std::string& args, bool staged,
                  std::optional<std::int64_t> confirm_timeout_ms) {
    if (confirm_timeout_ms) {
        return finish_confirmed_update(layout, marker, version, args, staged, *confirm_timeout_ms);
    }
    const bool version_text_written = write_version_text(marker, version);
    // Everything extracted, and the version text, must be on the disk before the commit: after a
    // power cut a committed .version must never come with files that were only cached.
    if (!make_commit_durable(layout, staged)) {
        return roll_back(layout, marker);
    }
    if (commit_version(layout, version_text_written)) {
        spdlog::info("Version written: {}", version);
    } else {
        spdlog::error("Failed to write version file: {}", path_text(layout.version_file));
    }
    // Until the commit is on the disk, a power cut can bring the marker back, and with it the
    // need for the backup.
    const bool committed_durably = make_rename_durable(layout.version_file);
    const std::string launch_args = args.empty() ? "--after-update" : "--after-update " + args;
    spdlog::info("Launching {} {}", layout.executable_text, launch_args);
    launch_process(layout.executable, launch_args);
    if (committed_durably) {
        spdlog::info("Cleaning up backup");
        remove_tree(layout.backup);
    } else {
        spdlog::warn("Keeping current.bak until the next update");
    }
    remove_unfinished_stage(layout);
    spdlog::info("Update complete, exiting");
    return 0;
}

// What the stage in the root, if any, means for this run: true when it is a complete stage of this
// package, version and executable, to be swapped in. Anything else staged is removed, unless the
// package could not be read: then nothing is known against it. An unfinished stage is left for
// its removal after the application was started.
[[nodiscard]] bool take_matching_stage_or_remove_it(
    const Layout& layout, const std::optional<std::string>& package_sha256,
    const std::string& version, const fs::path& exe) {
    const StagedPaths& staged = layout.staged;
    if (!package_sha256 || layout.unfinished_stage || !has_staged_material(staged)) {
        return false;
    }
    if (is_complete_stage(staged, {*package_sha256, version, path_text(exe)}, exe)) {
        spdlog::info("Using staged installation of version {}", version);
        return true;
    }
    spdlog::warn("Staged installation does not match the package, extracting it instead");
    remove_staged_material(staged);
    return false;
}

// The second rename of a staged apply failed: the old installation goes back, and the stage stays
// for a later apply.
int put_back_after_staged_rename(const Layout& layout, WrittenFile& marker,
                                 const StagedPaths& staged, NativeError error) {
    spdlog::error("Failed to rename current.new: {}", error_text(error));
    log_holders(staged.tree);
    return restore_backup(layout, marker);
}

int swap_in_staged_tree(const Layout& layout, WrittenFile& marker, const StagedPaths& staged,
                        const std::string& version, const std::string& args,
                        std::optional<std::int64_t> confirm_timeout_ms) {
    spdlog::info("Renaming current.new/ -> current/");
    if (const NativeError error = rename_when_free(staged.tree, layout.current); error.failed()) {
        return put_back_after_staged_rename(layout, marker, staged, error);
    }
    progress_add(1);
    // The stamp must not outlive the tree it vouched for.
    remove_staged_material(staged);
    return finish_update(layout, marker, version, args, true, confirm_timeout_ms);
}

// A delta without a stage of its own is staged now, before the wait: it only reads current/, while
// the application still runs. The apply then goes on as a staged one. 0, or the exit code of the
// failure (logged), with nothing moved.
int stage_delta_before_wait(Layout& layout, const HeldPackage& package,
                            const std::optional<std::string>& package_sha256,
                            const std::string& version, const fs::path& exe) {
    if (!package_sha256) {
        report_unopenable_package(package.text);
        return 1;
    }
    // Its place is needed now.
    remove_unfinished_stage(layout);
    layout.unfinished_stage = false;
    return stage_held_package(layout.root, package, {*package_sha256, version, path_text(exe)},
                              exe);
}

// A confirmation time-out must be a positive number of milliseconds.
[[nodiscard]] bool confirm_timeout_valid(std::optional<std::int64_t> timeout_ms) {
    if (timeout_ms && *timeout_ms <= 0) {
        spdlog::error("Invalid --confirm-timeout-ms {}: must be a positive number of milliseconds",
                      *timeout_ms);
        return false;
    }
    return true;
}

}  // namespace

int run_apply(std::int32_t pid, const std::string& package, const fs::path& root,
              const fs::path& exe, const std::string& version, const std::string& args,
              const std::vector<std::string>& public_keys, const UpdateChecks& checks) {
    Layout layout = make_layout(root, exe);
    bool stage_kept_root = false;
    const FileLock lock = start_root_run(layout.root, [&layout, &stage_kept_root] {
        RootClaim claim = lock_root_stopping_stage(layout.root);
        stage_kept_root = claim.stage_kept_it;
        return std::move(claim.lock);
    });
    if (!lock.held()) {
        return give_up_the_root(pid, layout, stage_kept_root, lock);
    }
    if (!confirm_timeout_valid(checks.confirm_timeout_ms)) {
        return 1;
    }
    remove_stale_stage_mark(layout.root);
    if (!settle_unconfirmed_update(layout.root) || !settle_stale_backup(layout)) {
        return 1;
    }
    layout.unfinished_stage = has_unfinished_stage(layout.staged);
    // Held from before the signature check to the end of the extraction.
    std::optional<HeldPackage> held(std::in_place, package);
    // A directory, FIFO, device or socket at the package's name is refused before anything moves:
    // it can never be installed, and a FIFO would keep the run waiting for a writer. A missing or
    // unreadable package goes on to fail where extraction opens it, after current/ was moved
    // aside.
    if (held->other_than_a_file) {
        report_unopenable_package(held->text);
        return restart_application_after_refusal(pid, layout);
    }
    // A delta is staged before the wait, with its SHA-256 in the stamp.
    const bool delta = is_delta_package(*held);
    const bool want_sha256 =
        delta || (!layout.unfinished_stage && has_staged_material(layout.staged));
    const PackageRead read = read_package(*held, version, public_keys, want_sha256);
    if (!read.accepted || !version_may_install(layout.root, version, checks.allow_downgrade)) {
        return restart_application_after_refusal(pid, layout);
    }
    bool use_stage = take_matching_stage_or_remove_it(layout, read.sha256, version, exe);
    if (!use_stage && delta) {
        if (const int staged = stage_delta_before_wait(layout, *held, read.sha256, version, exe);
            staged != 0) {
            start_unless_still_running(pid, layout);
            return staged;
        }
        use_stage = true;
    }
    progress_phase(phase::wait, 0);
    wait_for_old_process(pid, layout);
    // The renames of current/ aside and, with a stage, of current.new/ into its place.
    progress_phase(phase::swap, use_stage ? 2 : 1);
    // Made only now, after the wait, so that nothing planted at its name meanwhile is used.
    WrittenFile marker(layout.marker, WriteMode::replace);
    if (!move_current_aside(layout, marker, use_stage)) {
        return 1;
    }
    if (use_stage) {
        // The staged tree was checked when it was made; the package is not read again.
        held.reset();
        return swap_in_staged_tree(layout, marker, layout.staged, version, args,
                                   checks.confirm_timeout_ms);
    }
    spdlog::info("Extracting {} -> current/", held->text);
    // The backup is aside: whatever goes wrong now must end in the rollback.
    const bool installed = install_package(*held, layout.current, exe);
    // Free for others again before the application starts: it may remove or fetch the package.
    held.reset();
    if (!installed) {
        return roll_back(layout, marker);
    }
    return finish_update(layout, marker, version, args, false, checks.confirm_timeout_ms);
}
