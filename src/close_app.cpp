#include "close_app.h"

#include <spdlog/spdlog.h>

#include <chrono>
#include <filesystem>
#include <optional>
#include <thread>

#include "launch.h"
#include "processes.h"
#include "text.h"

namespace fs = std::filesystem;

namespace {

constexpr std::int32_t default_timeout_ms = 30000;
constexpr auto poll_interval = std::chrono::milliseconds(250);

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
