#include <vector>

#include "launch.h"
#include "native_win.h"

NativeError start_detached(const std::string& command_line,
                           const std::optional<std::string>& working_dir) {
    // CreateProcessA may write into the command line, so it gets a private copy.
    std::vector<char> buffer(command_line.begin(), command_line.end());
    buffer.push_back('\0');
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION info{};
    if (!CreateProcessA(nullptr, buffer.data(), nullptr, nullptr, FALSE, DETACHED_PROCESS, nullptr,
                        working_dir ? working_dir->c_str() : nullptr, &startup, &info)) {
        return last_error();
    }
    // Nothing waits for the program: its handles are closed at once.
    const UniqueHandle thread(info.hThread);
    const UniqueHandle process(info.hProcess);
    return {};
}
