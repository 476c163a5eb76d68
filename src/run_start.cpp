#include "run_start.h"

#include <spdlog/spdlog.h>

#include "log.h"
#include "text.h"

FileLock start_locked_run(const std::filesystem::path& root,
                          const std::function<FileLock()>& take_lock,
                          const std::filesystem::path& locked, const std::string& busy_line) {
    // Without the gate (it timed out, or the log's name can't be opened) the run goes on as it
    // would have: the gate only orders the lines.
    const FileLock gate = wait_for_gate(log_path(root));
    FileLock lock = take_lock();
    if (lock.held()) {
        init_logging(root);
    } else if (lock.busy()) {
        init_logging(root, LogStart::append);
        spdlog::error("{}", busy_line);
    } else {
        init_logging(root);
        spdlog::error("Failed to lock {}: {}", path_text(locked), error_text(lock.error()));
    }
    return lock;
}

FileLock start_root_run(const std::filesystem::path& root,
                        const std::function<FileLock()>& take_lock) {
    static_cast<void>(make_directories(root));
    return start_locked_run(root, take_lock, root,
                            "Another update is in progress in " + path_text(root));
}
