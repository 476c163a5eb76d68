#include <windows.h>
// After windows.h, which it needs.
#include <tlhelp32.h>

#include <spdlog/spdlog.h>

#include <memory>
#include <vector>

#include "process.h"

namespace {

constexpr DWORD image_path_room = 32768;

struct HandleCloser {
    void operator()(HANDLE handle) const { CloseHandle(handle); }
};
using ScopedHandle = std::unique_ptr<void, HandleCloser>;

}  // namespace

std::optional<std::string> process_image_path(long pid) {
    std::vector<char> buffer(image_path_room);
    DWORD length = image_path_room;
    {
        const ScopedHandle process(
            OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, static_cast<DWORD>(pid)));
        if (!process) {
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

bool any_process(const std::function<bool(long pid)>& matches) {
    const HANDLE raw = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (raw == INVALID_HANDLE_VALUE) {
        spdlog::warn("CreateToolhelp32Snapshot failed: {}", GetLastError());
        return false;
    }
    const ScopedHandle snapshot(raw);
    PROCESSENTRY32W entry{};
    entry.dwSize = sizeof entry;
    for (BOOL more = Process32FirstW(raw, &entry); more; more = Process32NextW(raw, &entry)) {
        if (matches(static_cast<long>(entry.th32ProcessID))) {
            return true;
        }
    }
    return false;
}
