#include "download.h"

#include <spdlog/spdlog.h>

int run_download(const std::string&, const std::string&, const std::string&, std::int64_t) {
    spdlog::error("download is not available in this build");
    return 1;
}

bool verify_package(const std::filesystem::path&, const std::string&, std::int64_t) {
    return false;
}
