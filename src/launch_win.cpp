#include <vector>

#include "files_win.h"
#include "launch.h"

namespace {

NativeError create_process(const std::string& command_line,
                           const std::optional<std::string>& working_dir,
                           PROCESS_INFORMATION& info) {
    // CreateProcessA may write into the command line, so it gets a private copy.
    std::vector<char> buffer(command_line.begin(), command_line.end());
    buffer.push_back('\0');
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    if (!CreateProcessA(nullptr, buffer.data(), nullptr, nullptr, FALSE, DETACHED_PROCESS, nullptr,
                        working_dir ? working_dir->c_str() : nullptr, &startup, &info)) {
        return last_error();
    }
    return {};
}

}  // namespace

NativeError start_detached(const std::string& command_line,
                           const std::optional<std::string>& working_dir) {
    PROCESS_INFORMATION info{};
    if (const NativeError error = create_process(command_line, working_dir, info); error.failed()) {
        return error;
    }
    // Nothing waits for the program: its handles are closed at once.
    const UniqueHandle thread(info.hThread);
    const UniqueHandle process(info.hProcess);
    return {};
}

struct WatchedProcess::Native {
    UniqueHandle process;
    long pid = 0;
};

WatchedProcess::WatchedProcess() : native_(std::make_unique<Native>()) {}

WatchedProcess::~WatchedProcess() = default;

NativeError WatchedProcess::start(const std::string& command_line,
                                  const std::optional<std::string>& working_dir) {
    PROCESS_INFORMATION info{};
    if (const NativeError error = create_process(command_line, working_dir, info); error.failed()) {
        return error;
    }
    const UniqueHandle thread(info.hThread);
    native_->process = UniqueHandle(info.hProcess);
    native_->pid = static_cast<long>(info.dwProcessId);
    return {};
}

std::optional<std::int64_t> WatchedProcess::exit_code_within(int timeout_ms) {
    if (!native_->process.valid() ||
        WaitForSingleObject(native_->process.get(), static_cast<DWORD>(timeout_ms)) !=
            WAIT_OBJECT_0) {
        return std::nullopt;
    }
    DWORD code = 1;
    static_cast<void>(GetExitCodeProcess(native_->process.get(), &code));
    return static_cast<std::int64_t>(code);
}

void WatchedProcess::terminate() {
    if (native_->process.valid()) {
        TerminateProcess(native_->process.get(), 1);
    }
}

long WatchedProcess::pid() const {
    return native_->pid;
}

std::filesystem::path startable_path(const std::filesystem::path& path) {
    if (path.native().size() < MAX_PATH - 12) {
        return path;
    }
    const std::wstring full = long_path(path);
    std::wstring short_form(full.size() + 1, L'\0');
    const DWORD length =
        GetShortPathNameW(full.c_str(), short_form.data(), static_cast<DWORD>(short_form.size()));
    if (length == 0 || length >= short_form.size()) {
        return path;
    }
    short_form.resize(length);
    // The start takes no \\?\ prefix; a short form that still needs one is of no help.
    if (short_form.rfind(L"\\\\?\\UNC\\", 0) == 0) {
        short_form = L"\\\\" + short_form.substr(8);
    } else if (short_form.rfind(L"\\\\?\\", 0) == 0) {
        short_form = short_form.substr(4);
    }
    return short_form.size() < MAX_PATH ? std::filesystem::path(short_form) : path;
}
