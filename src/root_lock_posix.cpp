#include <fcntl.h>

#include "files_posix.h"
#include "root_lock.h"

// flock on the root directory itself: nothing is created in the root.
FileLock lock_root(const std::filesystem::path& root) {
    return flock_descriptor(UniqueFd(open(root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC)));
}
