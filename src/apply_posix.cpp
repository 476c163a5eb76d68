#include <fcntl.h>
#include <sys/file.h>

#include <cerrno>

#include "apply.h"
#include "native_posix.h"

struct RootLock::Native {
    UniqueFd fd;
};

// flock on the root directory itself: nothing is created, and the lock goes with the process
// however it ends.
RootLock::RootLock(const std::filesystem::path& root) : native_(std::make_unique<Native>()) {
    native_->fd.reset(open(root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!native_->fd.valid()) {
        error_ = last_error();
    } else if (flock(native_->fd.get(), LOCK_EX | LOCK_NB) != 0) {
        error_ = last_error();
        native_->fd.reset();
    }
}

RootLock::~RootLock() = default;

bool RootLock::held() const {
    return native_->fd.valid();
}

bool RootLock::busy() const {
    return error_.code() == EWOULDBLOCK;
}
