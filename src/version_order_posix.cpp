#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>

#include "native_posix.h"
#include "version_order.h"

NativeError read_file_start_unfollowed(const std::filesystem::path& path, std::size_t limit,
                                       std::string& text) {
    // O_NONBLOCK: a FIFO at the name must not keep the run waiting for a writer.
    const UniqueFd fd(open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    if (!fd.valid()) {
        return last_error();
    }
    struct stat info {};
    if (fstat(fd.get(), &info) != 0) {
        return last_error();
    }
    if (!S_ISREG(info.st_mode)) {
        return NativeError(EINVAL);
    }
    text.assign(limit, '\0');
    std::size_t filled = 0;
    while (filled < limit) {
        const ssize_t got = read(fd.get(), text.data() + filled, limit - filled);
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got < 0) {
            return last_error();
        }
        if (got == 0) {
            break;
        }
        filled += static_cast<std::size_t>(got);
    }
    text.resize(filled);
    return {};
}
