#pragma once

#include <cstddef>
#include <filesystem>
#include <string>

#include "error.h"

// File-system operations whose failures carry the system's own error code, so that logged
// failures read like the system's messages.

// Creates dir and every missing parent. Succeeds also when dir is already a directory.
NativeError make_directories(const std::filesystem::path& dir);

// Creates one directory whose parent exists. Succeeds when it was created or already is a
// directory.
NativeError make_directory(const std::filesystem::path& dir);

// make_directories that logs its failure as "Failed to create directory {}: {}".
[[nodiscard]] bool create_directory_logged(const std::filesystem::path& dir);

// True for the error make_directory gives when a parent is missing.
[[nodiscard]] bool is_missing_parent(NativeError error);

// Writes `bytes` as the whole content of the file at path, creating or truncating it; other
// openers may read and write it meanwhile.
NativeError write_whole_file(const std::filesystem::path& path, const std::string& bytes);

// Writes all of data through write_some(data, size, written), which takes at least one byte or
// fails. Every file the updater writes goes through this loop.
template <typename WriteSome>
NativeError write_all(const char* data, std::size_t size, WriteSome&& write_some) {
    while (size > 0) {
        std::size_t written = 0;
        if (const NativeError error = write_some(data, size, written); error.failed()) {
            return error;
        }
        data += written;
        size -= written;
    }
    return {};
}

// Renames a file or directory, replacing an existing file at the target.
NativeError rename_path(const std::filesystem::path& from, const std::filesystem::path& to);

// True for an error saying that someone else has the file open for the moment.
[[nodiscard]] bool is_in_use(NativeError error);

// rename_path, tried again for a few seconds while the source is in use: on Windows a program
// that has just exited can keep its files open a moment longer.
NativeError rename_when_free(const std::filesystem::path& from, const std::filesystem::path& to);

// Removes path with everything below it, best effort. Links and junctions met on the way are
// removed themselves; what they point to is never touched.
void remove_tree(const std::filesystem::path& path);

// Removes a single file, best effort.
void remove_file(const std::filesystem::path& path);
