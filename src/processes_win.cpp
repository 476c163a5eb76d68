#include "files_win.h"
// After windows.h, which it needs.
#include <tlhelp32.h>
// The Restart Manager header needs windows.h too.
#include <restartmanager.h>

#include <algorithm>
#include <optional>
#include <vector>

#include "processes.h"
#include "text.h"

namespace {

constexpr DWORD image_path_room = 32768;
// Enough to find who holds an installation, few enough to ask about quickly.
constexpr std::size_t restart_manager_file_limit = 2000;

// The files below dir, depth first, up to the limit. Directories still to visit wait on a list of
// their own instead of the call stack, so that no depth of tree can exhaust it.
void collect_files(const std::filesystem::path& dir, std::vector<std::wstring>& files) {
    std::vector<std::filesystem::path> to_visit{dir};
    while (!to_visit.empty() && files.size() < restart_manager_file_limit) {
        const std::filesystem::path visiting = std::move(to_visit.back());
        to_visit.pop_back();
        const std::size_t first_subdirectory = to_visit.size();
        for (const DirectoryEntry& entry : directory_listing(long_path(visiting))) {
            if (files.size() >= restart_manager_file_limit) {
                return;
            }
            if ((entry.attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
                continue;
            }
            if ((entry.attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
                to_visit.push_back(visiting / entry.name);
            } else {
                files.push_back((visiting / entry.name).native());
            }
        }
        // The first subdirectory listed is visited first, as before.
        std::reverse(to_visit.begin() + static_cast<std::ptrdiff_t>(first_subdirectory),
                     to_visit.end());
    }
}

class RestartManagerSession {
  public:
    RestartManagerSession() {
        WCHAR key[CCH_RM_SESSION_KEY + 1] = {};
        started_ = RmStartSession(&handle_, 0, key) == ERROR_SUCCESS;
    }
    ~RestartManagerSession() {
        if (started_) {
            RmEndSession(handle_);
        }
    }
    RestartManagerSession(const RestartManagerSession&) = delete;
    RestartManagerSession& operator=(const RestartManagerSession&) = delete;
    bool started() const { return started_; }
    DWORD handle() const { return handle_; }

  private:
    DWORD handle_ = 0;
    bool started_ = false;
};

std::vector<RM_PROCESS_INFO> restart_manager_list(const RestartManagerSession& session) {
    std::vector<RM_PROCESS_INFO> info;
    UINT needed = 0;
    UINT count = 0;
    DWORD reasons = 0;
    DWORD result = RmGetList(session.handle(), &needed, &count, nullptr, &reasons);
    while (result == ERROR_MORE_DATA) {
        info.resize(needed);
        count = needed;
        result = RmGetList(session.handle(), &needed, &count, info.data(), &reasons);
    }
    info.resize(result == ERROR_SUCCESS ? count : 0);
    return info;
}

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

NativeError visit_processes(const std::function<bool(long pid)>& visit) {
    const UniqueHandle snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
    if (!snapshot.valid()) {
        return last_error();
    }
    PROCESSENTRY32W entry{};
    entry.dwSize = sizeof entry;
    for (BOOL more = Process32FirstW(snapshot.get(), &entry); more;
         more = Process32NextW(snapshot.get(), &entry)) {
        if (visit(static_cast<long>(entry.th32ProcessID))) {
            break;
        }
    }
    return {};
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

namespace {

// The final name of an existing file or directory, without the \\?\ prefix the system gives it.
std::optional<std::wstring> final_name(const std::filesystem::path& existing) {
    const UniqueHandle file(CreateFileW(
        long_path(existing).c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
        nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    if (!file.valid()) {
        return std::nullopt;
    }
    std::wstring name(image_path_room, L'\0');
    const DWORD length = GetFinalPathNameByHandleW(file.get(), name.data(), image_path_room,
                                                   FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
    if (length == 0 || length >= image_path_room) {
        return std::nullopt;
    }
    name.resize(length);
    if (name.rfind(L"\\\\?\\UNC\\", 0) == 0) {
        return L"\\\\" + name.substr(8);
    }
    if (name.rfind(L"\\\\?\\", 0) == 0) {
        return name.substr(4);
    }
    return name;
}

}  // namespace

std::filesystem::path final_path(const std::filesystem::path& path, std::error_code& ec) {
    const std::filesystem::path absolute = std::filesystem::absolute(path, ec).lexically_normal();
    if (ec) {
        return {};
    }
    // The longest part that exists is resolved by the system; what follows it is kept as given.
    std::filesystem::path existing = absolute;
    std::filesystem::path rest;
    for (;;) {
        if (const std::optional<std::wstring> name = final_name(existing)) {
            return rest.empty() ? std::filesystem::path(*name)
                                : std::filesystem::path(*name) / rest;
        }
        if (!existing.has_relative_path()) {
            return absolute;
        }
        rest = rest.empty() ? existing.filename() : existing.filename() / rest;
        existing = existing.parent_path();
    }
}

long current_process_id() {
    return static_cast<long>(GetCurrentProcessId());
}

std::vector<std::string> restart_manager_holders(const std::filesystem::path& dir) {
    std::vector<std::wstring> files;
    collect_files(dir, files);
    const RestartManagerSession session;
    if (files.empty() || !session.started()) {
        return {};
    }
    std::vector<LPCWSTR> names;
    for (const std::wstring& file : files) {
        names.push_back(file.c_str());
    }
    if (RmRegisterResources(session.handle(), static_cast<UINT>(names.size()), names.data(), 0,
                            nullptr, 0, nullptr) != ERROR_SUCCESS) {
        return {};
    }
    std::vector<std::string> holders;
    for (const RM_PROCESS_INFO& process : restart_manager_list(session)) {
        holders.push_back(path_text(std::filesystem::path(process.strAppName)) + " (" +
                          std::to_string(process.Process.dwProcessId) + ")");
    }
    return holders;
}

bool ProcessHandle::may_terminate() const {
    // Opened with the right to terminate, or not opened at all.
    return true;
}
