#pragma once

// Helpers private to the POSIX files of the updater.

#include <unistd.h>

#include "files.h"
#include "native_error.h"

// One file descriptor, closed when it goes.
class UniqueFd {
  public:
    UniqueFd() = default;
    explicit UniqueFd(int fd) : fd_(fd) {}
    ~UniqueFd() { reset(); }
    UniqueFd(UniqueFd&& other) noexcept : fd_(other.release()) {}
    UniqueFd& operator=(UniqueFd&& other) noexcept {
        if (this != &other) {
            reset(other.release());
        }
        return *this;
    }
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;

    [[nodiscard]] bool valid() const { return fd_ >= 0; }
    int get() const { return fd_; }
    int release() {
        const int fd = fd_;
        fd_ = -1;
        return fd;
    }
    void reset(int fd = -1) {
        if (fd_ >= 0) {
            close(fd_);
        }
        fd_ = fd;
    }

  private:
    int fd_ = -1;
};

struct HeldDirectory::Native {
    UniqueFd fd;
};

struct FileLock::Native {
    UniqueFd fd;
};

// Takes flock on what fd names (a file or a directory); fd was just opened, so that a failure to
// open is reported with its own errno.
FileLock flock_descriptor(UniqueFd fd);
