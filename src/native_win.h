#pragma once

// Helpers private to the Windows files of the updater.

#include <windows.h>

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "files.h"
#include "native_error.h"

// The path as the file-system calls take it for any length: absolute, with the \\?\ prefix
// (\\?\UNC\ for a share) that lifts the 260-character limit. Never shown in a log line.
std::wstring long_path(const std::filesystem::path& path);

// One Windows handle, closed by Close when it goes. Both null and INVALID_HANDLE_VALUE mean
// "none", since the API uses either depending on the call.
template <BOOL(WINAPI* Close)(HANDLE)>
class BasicHandle {
  public:
    BasicHandle() = default;
    explicit BasicHandle(HANDLE handle) : handle_(handle) {}
    ~BasicHandle() { reset(); }
    BasicHandle(BasicHandle&& other) noexcept : handle_(other.release()) {}
    BasicHandle& operator=(BasicHandle&& other) noexcept {
        if (this != &other) {
            reset(other.release());
        }
        return *this;
    }
    BasicHandle(const BasicHandle&) = delete;
    BasicHandle& operator=(const BasicHandle&) = delete;

    [[nodiscard]] bool valid() const {
        return handle_ != nullptr && handle_ != INVALID_HANDLE_VALUE;
    }
    HANDLE get() const { return handle_; }
    HANDLE release() {
        const HANDLE handle = handle_;
        handle_ = nullptr;
        return handle;
    }
    void reset(HANDLE handle = nullptr) {
        if (valid()) {
            Close(handle_);
        }
        handle_ = handle;
    }

  private:
    HANDLE handle_ = nullptr;
};

using UniqueHandle = BasicHandle<CloseHandle>;
using UniqueFindHandle = BasicHandle<FindClose>;

// Text in the given code page as UTF-16; nothing when a byte sequence has no exact form.
std::optional<std::wstring> widen(UINT code_page, const std::string& text);

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

// The names in dir, without "." and "..", listed by the system (the standard library's listing
// can't be trusted with long paths here).
std::vector<std::wstring> directory_entries(const std::filesystem::path& dir);

// One name in a directory with its attributes, as the listing gives them.
struct DirectoryEntry {
    std::wstring name;
    DWORD attributes;
};

// directory_entries for a directory given in long_path form, with each name's attributes: no
// further call per name is needed to tell a file from a directory or a link.
std::vector<DirectoryEntry> directory_listing(const std::wstring& long_dir);
