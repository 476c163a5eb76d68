#include "files.h"

#include <spdlog/spdlog.h>

#include <chrono>
#include <system_error>
#include <thread>

#include "text.h"

unsigned long make_directories(const std::filesystem::path& dir) {
    unsigned long error = make_directory(dir);
    if (!is_missing_parent(error)) {
        return error;
    }
    const std::filesystem::path parent = dir.parent_path();
    if (parent.empty() || parent == dir) {
        return error;
    }
    error = make_directories(parent);
    return error == 0 ? make_directory(dir) : error;
}

unsigned long rename_when_free(const std::filesystem::path& from, const std::filesystem::path& to) {
    constexpr int attempts = 50;
    constexpr auto pause = std::chrono::milliseconds(100);
    unsigned long error = rename_path(from, to);
    for (int i = 1; i < attempts && is_in_use(error); ++i) {
        std::this_thread::sleep_for(pause);
        error = rename_path(from, to);
    }
    return error;
}

void remove_file(const std::filesystem::path& path) {
    std::error_code ignored;
    std::filesystem::remove(path, ignored);
}

std::string path_text(const std::filesystem::path& path) {
    try {
        return to_narrow(path);
    } catch (const std::exception&) {
        const auto utf8 = path.u8string();
        return std::string(utf8.begin(), utf8.end());
    }
}

bool create_directory_logged(const std::filesystem::path& dir) {
    const unsigned long error = make_directories(dir);
    if (error != 0) {
        spdlog::error("Failed to create directory {}: {}", path_text(dir), error_text(error));
    }
    return error == 0;
}
