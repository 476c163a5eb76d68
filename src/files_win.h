#pragma once

// The Windows side of the files module, for the Windows files of the modules above it.

#include <windows.h>

#include <filesystem>
#include <string>
#include <vector>

#include "files.h"
#include "native_win.h"

// The path as the file-system calls take it for any length: absolute, with the \\?\ prefix
// (\\?\UNC\ for a share) that lifts the 260-character limit. Never shown in a log line.
std::wstring long_path(const std::filesystem::path& path);

struct HeldDirectory::Native {
    UniqueHandle handle;
    // The length of the directory's full path as the system would take it whole (\\?\ form),
    // against which the names made in it are limited.
    std::size_t path_length = 0;
};

struct FileLock::Native {
    UniqueHandle file;  // the lock file, or the mutex of a gate
    bool owns_mutex = false;
    ~Native() {
        if (owns_mutex) {
            ReleaseMutex(file.get());
        }
    }
};

// One name in a directory with its attributes, as the listing gives them.
struct DirectoryEntry {
    std::wstring name;
    DWORD attributes;
};

// The names in a directory given in long_path form, without "." and "..", with each name's
// attributes: no further call per name is needed to tell a file from a directory or a link.
std::vector<DirectoryEntry> directory_listing(const std::wstring& long_dir);
