#include "native_win.h"
// After windows.h, which it needs.
#include <tlhelp32.h>

#include <spdlog/spdlog.h>

#include <vector>

#include "process.h"

namespace {

constexpr DWORD image_path_room = 32768;

}  // namespace

std::optional<std::string> process_image_path(long pid) {
    std::vector<char> buffer(image_path_room);
    DWORD length = image_path_room;
    {
        const UniqueHandle process(
            OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, static_cast<DWORD>(pid)));
        if (!process.valid()) {
            return std::nullopt;
        }
        if (!QueryFullProcessImageNameA(process.get(), 0, buffer.data(), &length)) {
            return std::nullopt;
        }
    }
    if (length == 0) {
        return std::nullopt;
    }
    return std::string(buffer.data(), length);
}

[[nodiscard]] bool any_process(const std::function<bool(long pid)>& matches) {
    const UniqueHandle snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
    if (!snapshot.valid()) {
        spdlog::warn("CreateToolhelp32Snapshot failed: {}", GetLastError());
        return false;
    }
    PROCESSENTRY32W entry{};
    entry.dwSize = sizeof entry;
    for (BOOL more = Process32FirstW(snapshot.get(), &entry); more;
         more = Process32NextW(snapshot.get(), &entry)) {
        if (matches(static_cast<long>(entry.th32ProcessID))) {
            return true;
        }
    }
    return false;
}

struct ProcessHandle::Native {
    UniqueHandle process;
};

ProcessHandle::ProcessHandle(long pid)
    : native_(std::make_unique<Native>(Native{UniqueHandle(
          OpenProcess(SYNCHRONIZE | PROCESS_TERMINATE, FALSE, static_cast<DWORD>(pid)))})) {}

ProcessHandle::~ProcessHandle() = default;

bool ProcessHandle::is_open() const {
    return native_->process.valid();
}

bool ProcessHandle::wait_for_exit(int timeout_ms) const {
    return WaitForSingleObject(native_->process.get(), static_cast<DWORD>(timeout_ms)) !=
           WAIT_TIMEOUT;
}

void ProcessHandle::terminate() const {
    TerminateProcess(native_->process.get(), 1);
}
