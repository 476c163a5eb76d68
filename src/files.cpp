#include "files.h"

#include <spdlog/spdlog.h>

#include <algorithm>
#include <chrono>
#include <system_error>
#include <thread>

#include "text.h"

NativeError existing_directory_is_fine(NativeError creation, bool exists_as_directory) {
    return exists_as_directory ? NativeError() : creation;
}

NativeError make_directories(const std::filesystem::path& dir) {
    const NativeError error = make_directory(dir);
    if (!is_missing_parent(error)) {
        return error;
    }
    const std::filesystem::path parent = dir.parent_path();
    if (parent.empty() || parent == dir) {
        return error;
    }
    if (const NativeError parent_error = make_directories(parent); parent_error.failed()) {
        return parent_error;
    }
    return make_directory(dir);
}

[[nodiscard]] bool create_directory_logged(const std::filesystem::path& dir) {
    const NativeError error = make_directories(dir);
    if (error.failed()) {
        spdlog::error("Failed to create directory {}: {}", path_text(dir), error_text(error));
    }
    return error.ok();
}

[[nodiscard]] bool write_file_logged(const std::filesystem::path& path, const char* data,
                                     std::size_t size) {
    WrittenFile file(path, WriteMode::replace);
    NativeError error = file.error();
    if (error.ok()) {
        error = file.write(data, size);
    }
    if (const NativeError closing = file.close(); error.ok()) {
        error = closing;
    }
    if (error.failed()) {
        spdlog::error("Failed to write {}: {}", path_text(path), error_text(error));
    }
    return error.ok();
}

NativeError rename_when_free(const std::filesystem::path& from, const std::filesystem::path& to) {
    // Scanners and indexers hold fresh files for seconds: short pauses first, then longer ones.
    constexpr auto give_up_after = std::chrono::seconds(30);
    constexpr auto longest_pause = std::chrono::milliseconds(2000);
    const auto deadline = std::chrono::steady_clock::now() + give_up_after;
    auto pause = std::chrono::milliseconds(100);
    NativeError error = rename_path(from, to);
    while (is_in_use(error) && std::chrono::steady_clock::now() + pause < deadline) {
        std::this_thread::sleep_for(pause);
        pause = std::min(pause * 2, longest_pause);
        error = rename_path(from, to);
    }
    return error;
}

namespace {

[[nodiscard]] bool flush_logged(NativeError (*flush)(const std::filesystem::path&),
                                const std::filesystem::path& path) {
    if (!durable_writes) {
        return true;
    }
    const NativeError error = flush(path);
    if (error.failed()) {
        spdlog::error("Failed to flush {}: {}", path_text(path), error_text(error));
    }
    return error.ok();
}

}  // namespace

bool make_durable(const std::filesystem::path& root) {
    return flush_logged(flush_written_data, root);
}

bool make_file_durable(const std::filesystem::path& path) {
    return flush_logged(flush_file, path);
}

bool make_rename_durable(const std::filesystem::path& target) {
    return flush_logged(flush_rename, target);
}

bool make_name_durable(const std::filesystem::path& path) {
    return flush_logged(flush_directory_of, path);
}

std::filesystem::path with_suffix(std::filesystem::path path, const char* suffix) {
    path += suffix;
    return path;
}

bool operator==(const FileState& a, const FileState& b) {
    return a.size == b.size && a.links == b.links && a.modified == b.modified &&
           a.changed == b.changed;
}
