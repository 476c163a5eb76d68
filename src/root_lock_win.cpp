#include "root_lock.h"

FileLock lock_root(const std::filesystem::path& root) {
    return lock_file(root / L".apply.lock");
}
