#include "processes.h"

#include <spdlog/spdlog.h>

#include <algorithm>
#include <filesystem>

#include "text.h"

namespace fs = std::filesystem;

namespace {

// The path as the file system resolves it where it exists, else made absolute, else as given;
// nothing when the result has no narrow form.
std::optional<std::string> resolved_text(const fs::path& path) {
    std::error_code ec;
    fs::path resolved = final_path(path, ec);
    if (ec) {
        resolved = fs::absolute(path, ec);
    }
    if (ec) {
        resolved = path;
    }
    try {
        return to_narrow(resolved);
    } catch (const fs::filesystem_error&) {
        return std::nullopt;
    }
}

// The comparison form of text that names a path.
std::string comparison_form(std::string text) {
    text = ascii_lower(std::move(text));
    std::replace(text.begin(), text.end(), '/', '\\');
    return text;
}

[[nodiscard]] bool is_separator(char c) {
    return c == '\\' || c == '/';
}

// The last element of a path in either separator.
std::string file_name(const std::string& path_text) {
    const auto separator = std::find_if(path_text.rbegin(), path_text.rend(), is_separator);
    return std::string(separator.base(), path_text.end());
}

}  // namespace

std::string normalize_exe_path(const std::string& path_text) {
    if (path_text.empty()) {
        return {};
    }
    std::optional<std::string> resolved;
    try {
        resolved = resolved_text(to_path(path_text));
    } catch (const fs::filesystem_error&) {
        // Text without an exact path form can only be compared as it stands.
    }
    return comparison_form(resolved.value_or(path_text));
}

[[nodiscard]] bool lies_inside(const std::string& image_path, const fs::path& dir_path) {
    std::string dir = comparison_form(resolved_text(dir_path).value_or(path_text(dir_path)));
    while (!dir.empty() && is_separator(dir.back())) {
        dir.pop_back();
    }
    const std::string image = normalize_exe_path(image_path);
    return image.size() > dir.size() && image.compare(0, dir.size(), dir) == 0 &&
           is_separator(image[dir.size()]);
}

bool is_the_application(long pid, const ProcessHandle& process, const fs::path& dir) {
    if (pid == current_process_id() || !process.may_terminate()) {
        return false;
    }
    const std::optional<std::string> image = process_image_path(pid);
    return image && lies_inside(*image, dir);
}

std::vector<std::string> processes_holding(const fs::path& dir) {
    std::vector<std::string> holders = restart_manager_holders(dir);
    static_cast<void>(any_process([&](long pid) {
        const std::optional<std::string> image = process_image_path(pid);
        if (image && lies_inside(*image, dir)) {
            const std::string holder = file_name(*image) + " (" + std::to_string(pid) + ")";
            if (std::find(holders.begin(), holders.end(), holder) == holders.end()) {
                holders.push_back(holder);
            }
        }
        return false;  // every process is looked at
    }));
    return holders;
}

void log_holders(const fs::path& dir) {
    const std::vector<std::string> holders = processes_holding(dir);
    if (holders.empty()) {
        return;
    }
    std::string list;
    for (const std::string& holder : holders) {
        list += (list.empty() ? "" : ", ") + holder;
    }
    spdlog::error("Files in {} are in use by: {}", path_text(dir), list);
}

bool is_process_running(const std::string& normalized) {
    return any_process([&](long pid) {
        const std::optional<std::string> image = process_image_path(pid);
        return image && normalize_exe_path(*image) == normalized;
    });
}

bool any_process(const std::function<bool(long pid)>& matches) {
    bool accepted = false;
    const NativeError error = visit_processes([&](long pid) {
        accepted = matches(pid);
        return accepted;
    });
    if (error.failed()) {
        // The system call's name on every build, so that the log reads the same on both.
        spdlog::warn("CreateToolhelp32Snapshot failed: {}", error.code());
    }
    return accepted;
}
