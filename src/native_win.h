#pragma once

// Owners of Windows handles, for the Windows files of every module.

#include <windows.h>

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
