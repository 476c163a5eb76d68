#include "support.h"

#include <spdlog/spdlog.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <fstream>
#include <random>
#include <sstream>
#include <stdexcept>
#include <thread>

#include "files.h"
#include "log.h"
#include "text.h"

namespace support {

RunResult run_updater(const std::vector<std::string>& args, const fs::path& cwd) {
    return run(updater_exe(), args, cwd);
}

fs::path signed_packages() {
    const char* dir = std::getenv("UPDATER_TEST_SIGNED");
    if (dir == nullptr) {
        throw std::runtime_error("run through CTest, which signs the test packages first");
    }
    return host_path(dir);
}

std::string public_key(const std::string& name) {
    return read_file(signed_packages() / (name + ".pub"));
}

bool kill_if_running(long pid) {
    const bool running = process_alive(pid);
    if (running) {
        kill_process(pid);
    }
    return running;
}

bool wait_until(const std::function<bool()>& condition, std::chrono::milliseconds deadline) {
    const auto end = std::chrono::steady_clock::now() + deadline;
    while (!condition()) {
        if (std::chrono::steady_clock::now() >= end) {
            return condition();
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return true;
}

TempDir::TempDir() {
    std::random_device random;
    const fs::path base = fs::temp_directory_path();
    for (;;) {
        path_ = base / ("updater-test-" + std::to_string(random()));
        if (fs::create_directory(path_)) {
            break;
        }
    }
}

TempDir::~TempDir() {
    // The updater's own removal: the standard library's fails on Windows past 260 characters.
    remove_tree(path_);
}

std::string read_file(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

void write_file(const fs::path& path, const std::string& bytes) {
    if (path.has_parent_path()) {
        fs::create_directories(path.parent_path());
    }
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    if (!out) {
        throw std::runtime_error("cannot write " + path.string());
    }
}

std::string upper(std::string text) {
    for (char& c : text) {
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    }
    return text;
}

std::vector<std::string> names_in(const fs::path& dir) {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(dir)) {
        names.push_back(entry.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    return names;
}

Lines log_lines(const fs::path& log_file) {
    Lines lines;
    std::istringstream text(read_file(log_file));
    std::string line;
    const std::string prefix = "] [updater] [";
    while (std::getline(text, line)) {
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        const size_t at = line.find(prefix);
        if (at == std::string::npos) {
            lines.push_back(line);
            continue;
        }
        std::string rest = line.substr(at + prefix.size());
        const size_t close = rest.find("] ");
        lines.push_back(rest.substr(0, close) + " " + rest.substr(close + 2));
    }
    return lines;
}

LoggedTest::LoggedTest() {
    restart_log();
}

LoggedTest::~LoggedTest() {
    spdlog::drop("updater");
}

void LoggedTest::restart_log() const {
    spdlog::drop("updater");
    init_logging(to_narrow(dir.path()));
}

std::vector<AppStart> app_starts(const fs::path& app_dir) {
    std::vector<AppStart> starts;
    std::istringstream text(read_file(app_dir / "starts.txt"));
    std::string line;
    while (std::getline(text, line)) {
        if (line.rfind("start ", 0) == 0) {
            starts.emplace_back();
            starts.back().pid = std::stol(line.substr(6));
        } else if (starts.empty() || line == "end") {
            continue;
        } else if (line.rfind("cwd ", 0) == 0) {
            starts.back().cwd = line.substr(4);
        } else if (line.rfind("arg ", 0) == 0) {
            starts.back().args.push_back(line.substr(4));
        }
    }
    return starts;
}

long start_testapp(const fs::path& exe, const std::vector<std::string>& args, const fs::path& cwd) {
    const long pid = spawn(exe, args, cwd);
    const auto recorded = [&] {
        const std::vector<AppStart> starts = app_starts(exe.parent_path());
        return std::any_of(starts.begin(), starts.end(),
                           [pid](const AppStart& start) { return start.pid == pid; });
    };
    if (!wait_until(recorded)) {
        kill_process(pid);
        throw std::runtime_error("the test application did not record its start: " + exe.string());
    }
    return pid;
}

fs::path install_testapp(const fs::path& dir, const std::string& name) {
    fs::create_directories(dir);
    const fs::path target = dir / name;
    fs::copy_file(testapp_exe(), target, fs::copy_options::overwrite_existing);
    return target;
}

Files tree(const fs::path& dir) {
    Files files;
    for (const auto& entry : fs::recursive_directory_iterator(dir)) {
        if (entry.is_regular_file()) {
            files.emplace_back(fs::relative(entry.path(), dir).generic_string(),
                               read_file(entry.path()));
        }
    }
    std::sort(files.begin(), files.end());
    return files;
}

fs::path sandbox_dest(const fs::path& sandbox) {
    return sandbox / "a" / "b" / "dest";
}

std::string sandbox_breach(const fs::path& sandbox) {
    const fs::path dest = sandbox_dest(sandbox);
    for (const auto& [dir, expected] : {std::pair{sandbox, Lines{"a", "in.zip"}},
                                        {sandbox / "a", Lines{"b"}},
                                        {dest.parent_path(), Lines{"dest"}}}) {
        if (names_in(dir) != expected) {
            return "something was written outside the destination, into " + dir.string();
        }
    }
    std::error_code error;
    for (fs::recursive_directory_iterator it(any_length(dest), error), end; it != end;
         it.increment(error)) {
        if (it->is_symlink()) {
            return "a link was created: " + it->path().string();
        }
    }
    return error ? "the destination can't be walked: " + error.message() : "";
}

}  // namespace support
