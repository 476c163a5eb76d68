// Stand-in for the application the updater serves. Each start appends a record of its
// arguments and working directory to starts.txt next to the executable, then:
//   --quit-for-update       leaves the file quit-request next to itself and exits;
//   a file `stay` beside it  keeps it running until quit-request appears (unless a file
//                            `ignore-quit` is there too), for at most ten minutes;
//   --linger-ms N            keeps it running for N ms (quit-request still ends it early);
//   --confirm UPDATER ROOT   runs `UPDATER confirm --app-dir ROOT`, waits for it, then goes on;
//   --launch-child ARGS...   starts itself again with ARGS, does not wait for it, and exits 0;
//   --exit-code N            exits with code N (after any confirmation);
//   otherwise it exits at once.
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>

#include <vector>

#ifdef _WIN32
#include <windows.h>
namespace {
// Runs the program with the arguments, each quoted; waits for it when asked.
void run_program(const std::string& exe, const std::vector<std::string>& args, bool wait) {
    std::string line = "\"" + exe + "\"";
    for (const std::string& arg : args) {
        line += " \"" + arg + "\"";
    }
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION info{};
    if (!CreateProcessA(nullptr, line.data(), nullptr, nullptr, FALSE, DETACHED_PROCESS, nullptr,
                        nullptr, &startup, &info)) {
        return;
    }
    if (wait) {
        WaitForSingleObject(info.hProcess, INFINITE);
    }
    CloseHandle(info.hThread);
    CloseHandle(info.hProcess);
}
std::filesystem::path own_path() {
    wchar_t buffer[32768];
    const DWORD length = GetModuleFileNameW(nullptr, buffer, 32768);
    return std::filesystem::path(std::wstring(buffer, length));
}
long own_pid() {
    return static_cast<long>(GetCurrentProcessId());
}
}  // namespace
#else
#include <sys/wait.h>
#include <unistd.h>
namespace {
void run_program(const std::string& exe, const std::vector<std::string>& args, bool wait) {
    std::vector<std::string> all = {exe};
    all.insert(all.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& arg : all) {
        argv.push_back(arg.data());
    }
    argv.push_back(nullptr);
    const pid_t child = fork();
    if (child == 0) {
        setsid();
        execv(exe.c_str(), argv.data());
        _exit(127);
    }
    if (child > 0 && wait) {
        waitpid(child, nullptr, 0);
    }
}
std::filesystem::path own_path() {
    return std::filesystem::read_symlink("/proc/self/exe");
}
long own_pid() {
    return static_cast<long>(getpid());
}
}  // namespace
#endif

namespace fs = std::filesystem;

int main(int argc, char** argv) {
    const fs::path dir = own_path().parent_path();
    bool quit_request = false;
    long linger_ms = 0;
    std::vector<std::string> confirm;  // the updater and the root
    std::vector<std::string> child_args;
    bool launch_child = false;
    int exit_code = 0;
    {
        std::ofstream record(dir / "starts.txt", std::ios::app | std::ios::binary);
        record << "start " << own_pid() << "\n";
        record << "cwd " << fs::current_path().string() << "\n";
        for (int i = 1; i < argc; ++i) {
            record << "arg " << argv[i] << "\n";
            const std::string arg = argv[i];
            if (arg == "--quit-for-update") {
                quit_request = true;
            } else if (arg == "--linger-ms" && i + 1 < argc) {
                linger_ms = std::atol(argv[i + 1]);
            } else if (arg == "--confirm" && i + 2 < argc) {
                confirm = {argv[i + 1], argv[i + 2]};
            } else if (arg == "--exit-code" && i + 1 < argc) {
                exit_code = std::atoi(argv[i + 1]);
            } else if (arg == "--launch-child" && !launch_child) {
                launch_child = true;
                child_args.assign(argv + i + 1, argv + argc);
            }
        }
        record << "end\n";
    }
    if (quit_request) {
        std::ofstream(dir / "quit-request").put('\n');
        return 0;
    }
    if (launch_child) {
        run_program(own_path().string(), child_args, false);
        return 0;
    }
    if (!confirm.empty()) {
        run_program(confirm[0], {"confirm", "--app-dir", confirm[1]}, true);
    }
    if (exit_code != 0) {
        return exit_code;
    }

    using clock = std::chrono::steady_clock;
    const bool stay = fs::exists(dir / "stay");
    const auto until = clock::now() + (stay ? std::chrono::milliseconds(600000)
                                            : std::chrono::milliseconds(linger_ms));
    while (clock::now() < until) {
        if (fs::exists(dir / "quit-request") && !fs::exists(dir / "ignore-quit")) {
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return 0;
}
