#include <windows.h>

#include "apply.h"

namespace {

HANDLE as_handle(std::intptr_t value) {
    return reinterpret_cast<HANDLE>(value);
}

std::intptr_t as_value(HANDLE handle) {
    return reinterpret_cast<std::intptr_t>(handle);
}

}  // namespace

ProcessHandle::ProcessHandle(long pid)
    : handle_(
          as_value(OpenProcess(SYNCHRONIZE | PROCESS_TERMINATE, FALSE, static_cast<DWORD>(pid)))) {}

ProcessHandle::~ProcessHandle() {
    if (is_open()) {
        CloseHandle(as_handle(handle_));
    }
}

bool ProcessHandle::is_open() const {
    return as_handle(handle_) != nullptr;
}

bool ProcessHandle::wait_for_exit(int timeout_ms) const {
    return WaitForSingleObject(as_handle(handle_), static_cast<DWORD>(timeout_ms)) != WAIT_TIMEOUT;
}

void ProcessHandle::terminate() const {
    TerminateProcess(as_handle(handle_), 1);
}

// A lock file opened with no sharing: a second opener fails with a sharing violation. It is
// deleted when the handle closes, however the process ends.
RootLock::RootLock(const std::filesystem::path& root)
    : handle_(as_value(CreateFileW((root / L".apply.lock").c_str(), GENERIC_WRITE | DELETE, 0,
                                   nullptr, OPEN_ALWAYS,
                                   FILE_ATTRIBUTE_NORMAL | FILE_FLAG_DELETE_ON_CLOSE, nullptr))) {
    if (!held()) {
        error_ = GetLastError();
    }
}

RootLock::~RootLock() {
    if (held()) {
        CloseHandle(as_handle(handle_));
    }
}

bool RootLock::held() const {
    return as_handle(handle_) != INVALID_HANDLE_VALUE;
}

bool RootLock::busy() const {
    return error_ == ERROR_SHARING_VIOLATION;
}

unsigned long RootLock::error() const {
    return error_;
}
