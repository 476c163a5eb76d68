// Stand-in for the application the updater serves. Each start appends a record of its
// arguments and working directory to starts.txt next to the executable, then:
//   --quit-for-update       leaves the file quit-request next to itself and exits;
//   a file `stay` beside it  keeps it running until quit-request appears (unless a file
//                            `ignore-quit` is there too), for at most ten minutes;
//   --linger-ms N            keeps it running for N ms (quit-request still ends it early);
//   otherwise it exits at once.
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>

#ifdef _WIN32
#include <windows.h>
namespace {
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
#include <unistd.h>
namespace {
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
            }
        }
        record << "end\n";
    }
    if (quit_request) {
        std::ofstream(dir / "quit-request").put('\n');
        return 0;
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
