#include "process.h"

#include <spdlog/spdlog.h>

std::string normalize_exe_path(const std::string& path_text) {
    return path_text;
}

int run_close_app(const std::string&, std::int32_t) {
    spdlog::error("close-app is not available in this build");
    return 1;
}
