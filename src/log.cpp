#include "log.h"

#include <spdlog/pattern_formatter.h>
#include <spdlog/sinks/basic_file_sink.h>
#include <spdlog/spdlog.h>

#include <memory>

#include "text.h"

void init_logging(const std::string& app_dir) {
    const std::filesystem::path root =
        app_dir.empty() ? std::filesystem::current_path() : to_path(app_dir);
    const std::string log_path = to_narrow(root / "updater.log");

    auto logger = spdlog::basic_logger_mt("updater", log_path, true);
    // The log is read on Windows: lines end in CR LF on every platform.
    logger->set_formatter(
        std::make_unique<spdlog::pattern_formatter>(spdlog::pattern_time_type::local, "\r\n"));
    spdlog::set_default_logger(logger);
    spdlog::set_level(spdlog::level::info);
    spdlog::flush_on(spdlog::level::info);
}
