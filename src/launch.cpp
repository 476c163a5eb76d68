#include "launch.h"

#include <spdlog/spdlog.h>

#include "progress.h"
#include "text.h"

std::string quoted_command_line(const std::string& exe_text, const std::string& args) {
    std::string command_line = "\"" + exe_text + "\"";
    if (!args.empty()) {
        command_line += " " + args;
    }
    return command_line;
}

namespace {

// Starts exe with args through `start` and logs the outcome.
template <typename Start>
[[nodiscard]] bool start_logged(const std::filesystem::path& exe, const std::string& args,
                                Start&& start) {
    progress_phase(phase::launch, 0);
    const std::string command_line = quoted_command_line(to_narrow(exe), args);
    // The start itself may need another spelling of the same paths; the log shows the user's.
    const NativeError error = start(quoted_command_line(to_narrow(startable_path(exe)), args),
                                    to_narrow(startable_path(exe.parent_path())));
    if (error.ok()) {
        spdlog::info("Launched: {}", command_line);
        return true;
    }
    spdlog::error("Failed to launch process, error code: {}", error.code());
    return false;
}

}  // namespace

void launch_process(const std::filesystem::path& exe, const std::string& args) {
    static_cast<void>(start_logged(exe, args, start_detached));
}

bool launch_watched_process(const std::filesystem::path& exe, const std::string& args,
                            WatchedProcess& process) {
    return start_logged(
        exe, args,
        [&process](const std::string& command_line, const std::optional<std::string>& working_dir) {
            return process.start(command_line, working_dir);
        });
}

namespace {

[[nodiscard]] bool is_blank(char c) {
    return c == ' ' || c == '\t';
}

// The program name ends at the next quote when it starts with one, else at a blank; backslashes
// have no special meaning in it.
size_t split_program_name(const std::string& line, std::vector<std::string>& args) {
    size_t i = 0;
    std::string name;
    if (i < line.size() && line[i] == '"') {
        const size_t close = line.find('"', 1);
        name = line.substr(1, close == std::string::npos ? std::string::npos : close - 1);
        i = close == std::string::npos ? line.size() : close + 1;
    }
    while (i < line.size() && !is_blank(line[i])) {
        name += line[i++];
    }
    args.push_back(name);
    return i;
}

}  // namespace

std::vector<std::string> split_command_line(const std::string& line) {
    std::vector<std::string> args;
    size_t i = split_program_name(line, args);
    for (;;) {
        while (i < line.size() && is_blank(line[i])) {
            ++i;
        }
        if (i >= line.size()) {
            return args;
        }
        std::string arg;
        bool quoted = false;
        while (i < line.size() && (quoted || !is_blank(line[i]))) {
            size_t backslashes = 0;
            while (i < line.size() && line[i] == '\\') {
                ++backslashes;
                ++i;
            }
            if (i < line.size() && line[i] == '"') {
                // 2n backslashes and a quote: n backslashes, the quote toggles quoting;
                // 2n+1 backslashes and a quote: n backslashes and a literal quote.
                arg.append(backslashes / 2, '\\');
                if (backslashes % 2 == 1) {
                    arg += '"';
                } else if (quoted && i + 1 < line.size() && line[i + 1] == '"') {
                    arg += '"';  // "" inside quotes is a literal quote
                    ++i;
                } else {
                    quoted = !quoted;
                }
                ++i;
            } else {
                arg.append(backslashes, '\\');
                if (i < line.size() && (quoted || !is_blank(line[i]))) {
                    arg += line[i++];
                }
            }
        }
        args.push_back(arg);
    }
}
