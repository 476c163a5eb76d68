#include <map>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <thread>

#include "files_win.h"
#include "text_win.h"
// The shell folder call needs windows.h first.
#include <shlobj.h>

#include "support.h"

namespace support {

namespace {

fs::path build_root() {
    wchar_t buffer[32768];
    const DWORD length = GetModuleFileNameW(nullptr, buffer, 32768);
    // Test executables live in <build>\tests.
    return fs::path(std::wstring(buffer, length)).parent_path().parent_path();
}

// Quotes one argument so that the C runtime's argument splitting gives it back unchanged.
std::wstring quote(const std::wstring& arg) {
    if (!arg.empty() && arg.find_first_of(L" \t\"") == std::wstring::npos) {
        return arg;
    }
    std::wstring quoted = L"\"";
    size_t backslashes = 0;
    for (wchar_t c : arg) {
        if (c == L'\\') {
            ++backslashes;
            continue;
        }
        quoted.append(c == L'"' ? backslashes * 2 + 1 : backslashes, L'\\');
        backslashes = 0;
        quoted += c;
    }
    quoted.append(backslashes * 2, L'\\');
    return quoted + L"\"";
}

std::wstring widen(const std::string& text) {
    return fs::path(text).wstring();
}

struct Started {
    UniqueHandle process;
    DWORD pid;
};

Started start(const fs::path& exe, const std::vector<std::string>& args, const fs::path& cwd,
              STARTUPINFOW& startup, bool inherit) {
    std::wstring command = quote(exe.wstring());
    for (const std::string& arg : args) {
        command += L" " + quote(widen(arg));
    }
    PROCESS_INFORMATION info{};
    if (!CreateProcessW(exe.c_str(), command.data(), nullptr, nullptr, inherit, CREATE_NO_WINDOW,
                        nullptr, cwd.empty() ? nullptr : cwd.c_str(), &startup, &info)) {
        throw std::runtime_error("cannot start " + exe.string());
    }
    const UniqueHandle thread(info.hThread);  // not needed
    return {UniqueHandle(info.hProcess), info.dwProcessId};
}

// The two ends of a pipe whose write end a started program inherits, closed when they go.
struct Pipe {
    UniqueHandle read;
    UniqueHandle write;
};

Pipe inheritable_pipe() {
    SECURITY_ATTRIBUTES inheritable{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
    HANDLE read = nullptr;
    HANDLE write = nullptr;
    if (!CreatePipe(&read, &write, &inheritable, 0)) {
        throw std::runtime_error("pipe failed");
    }
    SetHandleInformation(read, HANDLE_FLAG_INHERIT, 0);
    return {UniqueHandle(read), UniqueHandle(write)};
}

void read_all(HANDLE pipe, std::string& into) {
    char buffer[4096];
    DWORD n = 0;
    while (ReadFile(pipe, buffer, sizeof buffer, &n, nullptr) && n > 0) {
        into.append(buffer, n);
    }
}

// Windows gives the id of an ended process to a later one (Wine after a few hundred processes and
// threads), and a test may use an id after its process has ended, killing it in a clean-up, say.
// So each id is tied to the start time of the process it named when it was first used here, and
// a process with another start time is never touched: it is some other program, perhaps the test
// that CTest runs beside this one.
std::mutex known_starts_mutex;
std::map<DWORD, ULONGLONG> known_starts;

ULONGLONG start_time(HANDLE process) {
    FILETIME created{};
    FILETIME exited{};
    FILETIME kernel{};
    FILETIME user{};
    if (!GetProcessTimes(process, &created, &exited, &kernel, &user)) {
        return 0;
    }
    return static_cast<ULONGLONG>(created.dwHighDateTime) << 32 | created.dwLowDateTime;
}

// A process this program started: its id names it from now on.
void remember_start(DWORD pid, HANDLE process) {
    const ULONGLONG started = start_time(process);
    const std::lock_guard<std::mutex> lock(known_starts_mutex);
    known_starts[pid] = started;
}

// The process `pid` named when first used here, opened with `access`; no handle when it has
// ended and no longer exists, or when its id has gone to another process. The handle keeps the id
// from being given away while it is used.
UniqueHandle open_known_process(long pid, DWORD access) {
    UniqueHandle process(
        OpenProcess(access | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, static_cast<DWORD>(pid)));
    if (!process.valid()) {
        return process;
    }
    const ULONGLONG started = start_time(process.get());
    const std::lock_guard<std::mutex> lock(known_starts_mutex);
    const auto [known, first_use] = known_starts.emplace(static_cast<DWORD>(pid), started);
    if (!first_use && known->second != started) {
        return UniqueHandle();
    }
    return process;
}

}  // namespace

bool is_windows() {
    return true;
}

fs::path url_cache_directory() {
    wchar_t path[MAX_PATH];
    if (SHGetFolderPathW(nullptr, CSIDL_INTERNET_CACHE, nullptr, SHGFP_TYPE_CURRENT, path) !=
        S_OK) {
        return {};
    }
    return fs::path(path);
}

fs::path any_length(const fs::path& path) {
    return fs::path(long_path(path));
}

namespace errors {
const NativeError not_found{ERROR_FILE_NOT_FOUND};
const NativeError path_not_found{ERROR_PATH_NOT_FOUND};
const NativeError already_exists{ERROR_ALREADY_EXISTS};
const NativeError access_denied{ERROR_ACCESS_DENIED};
const NativeError pinned{ERROR_SHARING_VIOLATION};
const NativeError is_a_directory{ERROR_ACCESS_DENIED};
const NativeError name_too_long{ERROR_FILENAME_EXCED_RANGE};
}  // namespace errors

bool narrow_text_holds_every_character() {
    return GetACP() == CP_UTF8;
}

std::string short_path(const fs::path& path) {
    wchar_t buffer[32768];
    const DWORD length = GetShortPathNameW(path.c_str(), buffer, 32768);
    if (length == 0 || length >= 32768 || fs::path(buffer) == path) {
        return "";
    }
    return fs::path(std::wstring(buffer, length)).string();
}

std::string make_fifo(const fs::path&) {
    return "Windows has no FIFOs in the file system";
}

void release_fifo_reader(const fs::path&) {}

std::string make_directory_link(const fs::path& target, const fs::path& link) {
    // The C++ library of MinGW has no links; the system call makes one.
    const DWORD flags = SYMBOLIC_LINK_FLAG_DIRECTORY | SYMBOLIC_LINK_FLAG_ALLOW_UNPRIVILEGED_CREATE;
    if (!CreateSymbolicLinkW(link.c_str(), target.c_str(), flags)) {
        return "CreateSymbolicLinkW failed with " + std::to_string(GetLastError());
    }
    // Wine 8 reports success without making the link (and fails junctions with error 50).
    if (!fs::exists(link)) {
        return "CreateSymbolicLinkW reported success and made no link (Wine cannot make links)";
    }
    return "";
}

Pin pin_directory(const fs::path& dir) {
    auto handle = std::make_shared<UniqueHandle>(
        CreateFileW(dir.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                    OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    if (!handle->valid()) {
        return {"the directory could not be opened", nullptr};
    }
    return {"", handle};
}

Pin pin_directory_itself(const fs::path& dir) {
    return pin_directory(dir);
}

Undo set_creation_mask(unsigned) {
    return nullptr;
}

Undo set_environment(const std::string& name, const std::string& value) {
    _putenv_s(name.c_str(), value.c_str());
    return Undo(nullptr, [name](void*) { _putenv_s(name.c_str(), ""); });
}

unsigned permissions_of(const fs::path&) {
    return 0;
}

RunResult run_unprivileged(const fs::path&, const std::vector<std::string>&, long) {
    return {-1, "", "no other user to run as"};
}
void give_to_unprivileged(const fs::path&) {}
long kernel_thread_pid() {
    return 0;
}

fs::path small_limits_updater_exe() {
    return build_root() / "tests" / "updater_small_limits.exe";
}

fs::path updater_exe() {
    return build_root() / "updater.exe";
}
fs::path testapp_exe() {
    return build_root() / "tests" / "testapp.exe";
}

fs::path host_path(const std::string& text) {
    return !text.empty() && text[0] == '/' ? fs::path("Z:" + text) : fs::path(text);
}

RunResult run(const fs::path& exe, const std::vector<std::string>& args, const fs::path& cwd) {
    Pipe out = inheritable_pipe();
    Pipe err = inheritable_pipe();
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    startup.hStdOutput = out.write.get();
    startup.hStdError = err.write.get();
    const Started child = start(exe, args, cwd, startup, true);
    out.write.reset();
    err.write.reset();
    RunResult result;
    std::thread err_reader(read_all, err.read.get(), std::ref(result.err));
    read_all(out.read.get(), result.out);
    err_reader.join();
    WaitForSingleObject(child.process.get(), INFINITE);
    DWORD code = 0;
    GetExitCodeProcess(child.process.get(), &code);
    result.exit_code = static_cast<int>(code);
    return result;
}

RunResult run_closing_output(const fs::path& exe, const std::vector<std::string>& args,
                             const std::function<bool(const std::string&)>& close_when) {
    Pipe out = inheritable_pipe();
    Pipe err = inheritable_pipe();
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    startup.hStdOutput = out.write.get();
    startup.hStdError = err.write.get();
    const Started child = start(exe, args, {}, startup, true);
    out.write.reset();
    err.write.reset();
    RunResult result;
    std::thread err_reader(read_all, err.read.get(), std::ref(result.err));
    char buffer[4096];
    DWORD n = 0;
    while (!close_when(result.out) &&
           ReadFile(out.read.get(), buffer, sizeof buffer, &n, nullptr) && n > 0) {
        result.out.append(buffer, n);
    }
    out.read.reset();
    err_reader.join();
    WaitForSingleObject(child.process.get(), INFINITE);
    DWORD code = 0;
    GetExitCodeProcess(child.process.get(), &code);
    result.exit_code = static_cast<int>(code);
    return result;
}

RunResult run_without_output(const fs::path& exe, const std::vector<std::string>& args) {
    Pipe err = inheritable_pipe();
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    startup.hStdOutput = nullptr;
    startup.hStdError = err.write.get();
    const Started child = start(exe, args, {}, startup, true);
    err.write.reset();
    RunResult result;
    read_all(err.read.get(), result.err);
    WaitForSingleObject(child.process.get(), INFINITE);
    DWORD code = 0;
    GetExitCodeProcess(child.process.get(), &code);
    result.exit_code = static_cast<int>(code);
    return result;
}

long spawn(const fs::path& exe, const std::vector<std::string>& args, const fs::path& cwd) {
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    const Started child = start(exe, args, cwd, startup, false);
    remember_start(child.pid, child.process.get());
    return static_cast<long>(child.pid);
}

bool process_alive(long pid) {
    const UniqueHandle process = open_known_process(pid, SYNCHRONIZE);
    return process.valid() && WaitForSingleObject(process.get(), 0) == WAIT_TIMEOUT;
}

namespace {

// ntdll's suspension of a whole process, which kernel32 does not offer.
void call_on_process(long pid, const char* function) {
    using ProcessCall = LONG(NTAPI*)(HANDLE);
    const auto call = reinterpret_cast<ProcessCall>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"ntdll.dll"), function)));
    const UniqueHandle process = open_known_process(pid, PROCESS_SUSPEND_RESUME);
    if (call != nullptr && process.valid()) {
        call(process.get());
    }
}

}  // namespace

void pause_process(long pid) {
    call_on_process(pid, "NtSuspendProcess");
}

void resume_process(long pid) {
    call_on_process(pid, "NtResumeProcess");
}

int exit_code_of(long pid) {
    const UniqueHandle process = open_known_process(pid, SYNCHRONIZE);
    DWORD code = 0;
    if (!process.valid() || WaitForSingleObject(process.get(), INFINITE) != WAIT_OBJECT_0 ||
        !GetExitCodeProcess(process.get(), &code)) {
        return -1;
    }
    return static_cast<int>(code);
}

void kill_process(long pid) {
    const UniqueHandle process = open_known_process(pid, PROCESS_TERMINATE | SYNCHRONIZE);
    if (process.valid()) {
        TerminateProcess(process.get(), 1);
        WaitForSingleObject(process.get(), 5000);
    }
}

namespace {

DWORD WINAPI run_work(void* work) {
    (*static_cast<const std::function<void()>*>(work))();
    return 0;
}

}  // namespace

bool run_with_stack(std::size_t stack_size, const std::function<void()>& work) {
    const UniqueHandle thread(CreateThread(nullptr, stack_size, run_work,
                                           const_cast<std::function<void()>*>(&work),
                                           STACK_SIZE_PARAM_IS_A_RESERVATION, nullptr));
    return thread.valid() && WaitForSingleObject(thread.get(), INFINITE) == WAIT_OBJECT_0;
}

}  // namespace support
