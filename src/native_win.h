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
