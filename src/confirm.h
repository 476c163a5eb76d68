#pragma once

#include <cstdint>
#include <filesystem>
#include <string>

// Confirmed updates. An apply with a confirmation time-out leaves the update pending: the new
// installation in current/, the old one in current.bak/, the old .version in place, and the
// record .update-pending holding the new .version's text. Confirming renames the record onto
// .version, in one step, and removes the backup; anything else ends with the old installation
// put back and the record removed. A killed or cut-off run thus leaves either the complete new
// installation (once confirmed) or the complete old one with its .version.

// The record of an update waiting for its confirmation.
std::filesystem::path pending_update_path(const std::filesystem::path& root);

// The file `confirm` leaves for the apply that waits, which holds the root.
std::filesystem::path confirm_request_path(const std::filesystem::path& root);

// Settles an update still pending though no apply waits for it any more (killed, or the power
// lost): it never confirmed, so the old installation goes back. True when nothing was pending or
// the old installation is back; false when it could not be put back (logged).
[[nodiscard]] bool settle_unconfirmed_update(const std::filesystem::path& root);

struct AwaitedLaunch {
    std::filesystem::path root;
    std::filesystem::path exe;  // the executable, relative to current/
    std::string version;
    std::string args;  // --args, appended after the updater's own arguments
    std::int64_t timeout_ms = 0;
};

// With the pending record in place and durable: starts the new application with
// `--after-update --confirm-update` and waits for the confirmation. Confirmed, the update is
// completed (exit code 0); not confirmed in time, the application ended with a non-zero code
// or it could not be started, the old installation is put back and started with
// `--update-failed` (exit code 1).
int launch_and_await_confirmation(const AwaitedLaunch& launch);

// The pending record could not be made durable: the old installation goes back before the new
// one ever runs, and is started with `--update-failed`. Returns the exit code, 1.
int roll_back_pending_update(const std::filesystem::path& root, const std::filesystem::path& exe);

// Handler of `confirm`: tells the apply that waits for a confirmation, or completes an update
// left pending by one that no longer waits, or logs "Nothing to confirm". Returns the exit code.
int run_confirm(const std::filesystem::path& root);
