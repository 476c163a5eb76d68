#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <system_error>

#include "files.h"
#include "native_posix.h"

NativeError make_directory(const std::filesystem::path& dir) {
    if (mkdir(dir.c_str(), 0777) == 0) {
        return {};
    }
    const NativeError error = last_error();
    struct stat st;
    if (error.code() == EEXIST && stat(dir.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) {
        return {};
    }
    return error;
}

[[nodiscard]] bool is_missing_parent(NativeError error) {
    return error.code() == ENOENT;
}

[[nodiscard]] bool is_in_use(NativeError) {
    // A rename on Linux never waits for other openers.
    return false;
}

NativeError write_some(int fd, const char* data, std::size_t size, std::size_t& written) {
    for (;;) {
        const ssize_t n = write(fd, data, size);
        if (n > 0) {
            written = static_cast<std::size_t>(n);
            return {};
        }
        if (n == 0) {
            // A write that takes nothing would never finish the loop.
            return NativeError(EIO);
        }
        if (errno != EINTR) {
            return last_error();
        }
    }
}

NativeError write_fd(int fd, const char* data, std::size_t size) {
    return write_all(data, size, [fd](const char* d, std::size_t n, std::size_t& written) {
        return write_some(fd, d, n, written);
    });
}

NativeError write_whole_file(const std::filesystem::path& path, const std::string& bytes) {
    UniqueFd fd(open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666));
    if (!fd.valid()) {
        return last_error();
    }
    const NativeError error = write_fd(fd.get(), bytes.data(), bytes.size());
    if (close(fd.release()) != 0 && error.ok()) {
        return last_error();
    }
    return error;
}

NativeError rename_path(const std::filesystem::path& from, const std::filesystem::path& to) {
    return std::rename(from.c_str(), to.c_str()) == 0 ? NativeError() : last_error();
}

void remove_tree(const std::filesystem::path& path) {
    // The standard library's removal looks at each entry without following symbolic links, so a
    // link is removed as itself.
    std::error_code ignored;
    std::filesystem::remove_all(path, ignored);
}
