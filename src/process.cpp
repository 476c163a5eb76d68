#include "process.h"

#include <spdlog/spdlog.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <thread>

#include "launch.h"
#include "text.h"

namespace fs = std::filesystem;

namespace {

constexpr std::int32_t default_timeout_ms = 30000;
constexpr auto poll_interval = std::chrono::milliseconds(250);

// The path as the file system resolves it where it exists, else made absolute, else as given.
std::string resolved_text(const std::string& path_text) {
    try {
        const fs::path path = to_path(path_text);
        std::error_code ec;
        fs::path resolved = final_path(path, ec);
        if (ec) {
            resolved = fs::absolute(path, ec);
        }
        if (ec) {
            resolved = path;
        }
        return to_narrow(resolved);
    } catch (const fs::filesystem_error&) {
        // Text without an exact path form (or a resolved path without a narrow form) can only
        // be compared as it stands.
        return path_text;
    }
}

[[nodiscard]] bool is_separator(char c) {
    return c == '\\' || c == '/';
}

// The last element of a path in either separator.
std::string file_name(const std::string& path_text) {
    const auto separator = std::find_if(path_text.rbegin(), path_text.rend(), is_separator);
    return std::string(separator.base(), path_text.end());
}

// The quit request runs in the executable's directory; with none, in the updater's own.
std::optional<std::string> quit_request_directory(const std::string& exe) {
    try {
        std::string directory = to_narrow(to_path(exe).parent_path());
        if (!directory.empty()) {
            return directory;
        }
    } catch (const fs::filesystem_error&) {
        // Text without a path form names no directory; the start itself then reports whatever
        // goes wrong with such a path.
    }
    return std::nullopt;
}

void send_quit_request(const std::string& exe) {
    const std::string command_line = quoted_command_line(exe, "--quit-for-update");
    const NativeError error = start_detached(command_line, quit_request_directory(exe));
    if (error.ok()) {
        spdlog::info("Quit request launched: {}", command_line);
    } else {
        spdlog::error("Failed to launch quit request (err={}): {}", error.code(), command_line);
    }
}

// Polls until no process runs from the executable. The deadline is tested before each lookup,
// so none starts after it.
[[nodiscard]] bool wait_for_exit(const std::string& normalized, std::int32_t timeout_ms) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    while (std::chrono::steady_clock::now() < deadline) {
        if (!is_process_running(normalized)) {
            return true;
        }
        std::this_thread::sleep_for(poll_interval);
    }
    return false;
}

}  // namespace

std::string normalize_exe_path(const std::string& path_text) {
    if (path_text.empty()) {
        return {};
    }
    std::string text = ascii_lower(resolved_text(path_text));
    std::replace(text.begin(), text.end(), '/', '\\');
    return text;
}

[[nodiscard]] bool lies_inside(const std::string& image_path, const std::string& dir_text) {
    std::string dir = normalize_exe_path(dir_text);
    while (!dir.empty() && is_separator(dir.back())) {
        dir.pop_back();
    }
    const std::string image = normalize_exe_path(image_path);
    return image.size() > dir.size() && image.compare(0, dir.size(), dir) == 0 &&
           is_separator(image[dir.size()]);
}

bool is_the_application(long pid, const ProcessHandle& process, const std::string& dir_text) {
    if (pid == current_process_id() || !process.may_terminate()) {
        return false;
    }
    const std::optional<std::string> image = process_image_path(pid);
    return image && lies_inside(*image, dir_text);
}

std::vector<std::string> processes_holding(const fs::path& dir) {
    std::vector<std::string> holders = restart_manager_holders(dir);
    const std::string dir_text = path_text(dir);
    static_cast<void>(any_process([&](long pid) {
        const std::optional<std::string> image = process_image_path(pid);
        if (image && lies_inside(*image, dir_text)) {
            const std::string holder = file_name(*image) + " (" + std::to_string(pid) + ")";
            if (std::find(holders.begin(), holders.end(), holder) == holders.end()) {
                holders.push_back(holder);
            }
        }
        return false;  // every process is looked at
    }));
    return holders;
}

bool is_process_running(const std::string& normalized) {
    return any_process([&](long pid) {
        const std::optional<std::string> image = process_image_path(pid);
        return image && normalize_exe_path(*image) == normalized;
    });
}

int run_close_app(const std::string& exe, std::int32_t timeout_ms) {
    const std::string normalized = normalize_exe_path(exe);
    if (!is_process_running(normalized)) {
        spdlog::info("No running app process found: {}", exe);
        return 0;
    }
    send_quit_request(exe);
    if (wait_for_exit(normalized, timeout_ms > 0 ? timeout_ms : default_timeout_ms)) {
        spdlog::info("App process exited: {}", exe);
        return 0;
    }
    spdlog::error("Timed out waiting for app process to exit: {}", exe);
    return 1;
}
