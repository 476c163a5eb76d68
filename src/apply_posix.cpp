#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>

#include "apply.h"

// The old process is watched through a pidfd: it names that process only, even if its id is
// given to another one meanwhile.
ProcessHandle::ProcessHandle(long pid)
    : handle_(pid > 0 ? syscall(SYS_pidfd_open, static_cast<pid_t>(pid), 0) : -1) {}

ProcessHandle::~ProcessHandle() {
    if (handle_ >= 0) {
        close(static_cast<int>(handle_));
    }
}

bool ProcessHandle::is_open() const {
    return handle_ >= 0;
}

bool ProcessHandle::wait_for_exit(int timeout_ms) const {
    pollfd ready{static_cast<int>(handle_), POLLIN, 0};
    int result;
    while ((result = poll(&ready, 1, timeout_ms)) < 0 && errno == EINTR) {
    }
    return result != 0;
}

void ProcessHandle::terminate() const {
    syscall(SYS_pidfd_send_signal, static_cast<int>(handle_), SIGKILL, nullptr, 0);
}

// flock on the root directory itself: nothing is created, and the lock goes with the process
// however it ends.
RootLock::RootLock(const std::filesystem::path& root)
    : handle_(open(root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC)) {
    if (handle_ < 0) {
        error_ = static_cast<unsigned long>(errno);
    } else if (flock(static_cast<int>(handle_), LOCK_EX | LOCK_NB) != 0) {
        error_ = static_cast<unsigned long>(errno);
        close(static_cast<int>(handle_));
        handle_ = -1;
    }
}

RootLock::~RootLock() {
    if (handle_ >= 0) {
        close(static_cast<int>(handle_));
    }
}

bool RootLock::held() const {
    return handle_ >= 0;
}

bool RootLock::busy() const {
    return error_ == EWOULDBLOCK;
}

unsigned long RootLock::error() const {
    return error_;
}
