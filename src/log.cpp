#include "log.h"

#include <spdlog/pattern_formatter.h>
#include <spdlog/sinks/basic_file_sink.h>
#include <spdlog/sinks/stdout_sinks.h>
#include <spdlog/spdlog.h>

#include <filesystem>
#include <memory>
#include <system_error>

#include "progress.h"
#include "text.h"

namespace fs = std::filesystem;

namespace {

// Opening a link for writing would write to its target, and a hard link shares its data with a
// file elsewhere; either is removed (as itself) so that the log is made anew.
void unlink_shared_log(const fs::path& log) {
    std::error_code error;
    const fs::file_status status = fs::symlink_status(log, error);
    if (error) {
        return;
    }
    if (fs::is_symlink(status) ||
        (fs::is_regular_file(status) && fs::hard_link_count(log, error) > 1 && !error)) {
        fs::remove(log, error);
    }
}

}  // namespace

fs::path log_path(const fs::path& root) {
    return root / "updater.log";
}

void init_logging(const fs::path& root, LogStart start) {
    const fs::path log = log_path(root);
    unlink_shared_log(log);

    auto logger = spdlog::basic_logger_mt("updater", to_narrow(log), start == LogStart::fresh);
    // The log is read on Windows: lines end in CR LF on every platform.
    logger->set_formatter(
        std::make_unique<spdlog::pattern_formatter>(spdlog::pattern_time_type::local, "\r\n"));
    spdlog::set_default_logger(logger);
    spdlog::set_level(spdlog::level::info);
    spdlog::flush_on(spdlog::level::info);
    attach_progress_to_log(*logger);
}

void init_stderr_logging() {
    auto logger = spdlog::stderr_logger_mt("updater");
    logger->set_formatter(std::make_unique<spdlog::pattern_formatter>());
    spdlog::set_default_logger(logger);
    spdlog::set_level(spdlog::level::info);
    spdlog::flush_on(spdlog::level::info);
}
