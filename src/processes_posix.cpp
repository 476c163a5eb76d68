#include <dirent.h>
#include <poll.h>
#include <signal.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <memory>
#include <vector>

#include "files_posix.h"
#include "processes.h"

namespace {

// The same room Windows gives an image path; a link text that fills it may be cut short.
constexpr size_t image_path_room = 32768;

// A /proc entry names a process when it is all digits.
std::optional<long> process_id(const char* name) {
    long pid = 0;
    for (const char* c = name; *c != '\0'; ++c) {
        if (*c < '0' || *c > '9' || pid > 99999999) {
            return std::nullopt;
        }
        pid = pid * 10 + (*c - '0');
    }
    return pid > 0 ? std::optional<long>(pid) : std::nullopt;
}

}  // namespace

std::optional<std::string> process_image_path(long pid) {
    if (pid <= 0) {
        return std::nullopt;
    }
    const std::string link = "/proc/" + std::to_string(pid) + "/exe";
    std::vector<char> buffer(image_path_room);
    const ssize_t length = readlink(link.c_str(), buffer.data(), buffer.size());
    if (length <= 0 || static_cast<size_t>(length) >= buffer.size()) {
        return std::nullopt;
    }
    std::string path(buffer.data(), static_cast<size_t>(length));
    // The kernel marks an image whose file was removed or replaced; the process still runs
    // from that path.
    const std::string deleted = " (deleted)";
    if (path.size() > deleted.size() &&
        path.compare(path.size() - deleted.size(), deleted.size(), deleted) == 0) {
        path.erase(path.size() - deleted.size());
    }
    return path;
}

NativeError visit_processes(const std::function<bool(long pid)>& visit) {
    const std::unique_ptr<DIR, int (*)(DIR*)> proc(opendir("/proc"), closedir);
    if (!proc) {
        return last_error();
    }
    while (const dirent* entry = readdir(proc.get())) {
        const std::optional<long> pid = process_id(entry->d_name);
        if (pid && visit(*pid)) {
            break;
        }
    }
    return {};
}

std::filesystem::path final_path(const std::filesystem::path& path, std::error_code& ec) {
    return std::filesystem::weakly_canonical(path, ec);
}

long current_process_id() {
    return static_cast<long>(getpid());
}

std::vector<std::string> restart_manager_holders(const std::filesystem::path&) {
    return {};
}

struct ProcessHandle::Native {
    UniqueFd pidfd;
};

// The old process is watched through a pidfd: it names that process only, even if its id is
// given to another one meanwhile.
ProcessHandle::ProcessHandle(long pid)
    : native_(std::make_unique<Native>(Native{UniqueFd(
          pid > 0 ? static_cast<int>(syscall(SYS_pidfd_open, static_cast<pid_t>(pid), 0)) : -1)})) {
}

ProcessHandle::~ProcessHandle() = default;

bool ProcessHandle::is_open() const {
    return native_->pidfd.valid();
}

bool ProcessHandle::may_terminate() const {
    // Signal 0 tests the right to signal without sending anything.
    return syscall(SYS_pidfd_send_signal, native_->pidfd.get(), 0, nullptr, 0) == 0;
}

bool ProcessHandle::wait_for_exit(int timeout_ms) const {
    pollfd ready{native_->pidfd.get(), POLLIN, 0};
    int result;
    while ((result = poll(&ready, 1, timeout_ms)) < 0 && errno == EINTR) {
    }
    return result != 0;
}

void ProcessHandle::terminate() const {
    syscall(SYS_pidfd_send_signal, native_->pidfd.get(), SIGKILL, nullptr, 0);
}
