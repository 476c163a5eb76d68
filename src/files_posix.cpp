#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <system_error>

#include "files.h"

unsigned long make_directory(const std::filesystem::path& dir) {
    if (mkdir(dir.c_str(), 0777) == 0) {
        return 0;
    }
    const int error = errno;
    struct stat st;
    if (error == EEXIST && stat(dir.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) {
        return 0;
    }
    return static_cast<unsigned long>(error);
}

bool is_missing_parent(unsigned long error) {
    return error == ENOENT;
}

bool is_in_use(unsigned long) {
    // A rename on Linux never waits for other openers.
    return false;
}

unsigned long write_whole_file(const std::filesystem::path& path, const std::string& bytes) {
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (fd < 0) {
        return static_cast<unsigned long>(errno);
    }
    int error = 0;
    for (size_t done = 0; done < bytes.size() && error == 0;) {
        const ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
        if (n > 0) {
            done += static_cast<size_t>(n);
        } else if (errno != EINTR) {
            error = errno;
        }
    }
    if (close(fd) != 0 && error == 0) {
        error = errno;
    }
    return static_cast<unsigned long>(error);
}

void remove_tree(const std::filesystem::path& path) {
    // The standard library's removal looks at each entry without following symbolic links, so a
    // link is removed as itself.
    std::error_code ignored;
    std::filesystem::remove_all(path, ignored);
}
