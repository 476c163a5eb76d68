#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>

#include "progress.h"

bool occupy_standard_streams() {
    bool output_open = true;
    // In order, so that each open takes the lowest free descriptor: the closed one.
    for (int fd = 0; fd <= 2; ++fd) {
        if (fcntl(fd, F_GETFD) != -1 || errno != EBADF) {
            continue;
        }
        output_open = output_open && fd != 1;
        const int null = open("/dev/null", O_RDWR);
        if (null >= 0 && null != fd) {
            dup2(null, fd);
            close(null);
        }
    }
    return output_open;
}

void survive_closed_pipes() {
    // A write to a pipe without a reader then fails with EPIPE instead of ending the process.
    // Programs the updater starts get the default back before they are executed.
    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    sigemptyset(&ignore.sa_mask);
    sigaction(SIGPIPE, &ignore, nullptr);
}

bool write_standard_output(const std::string& bytes) {
    std::size_t written = 0;
    while (written < bytes.size()) {
        const ssize_t n = write(1, bytes.data() + written, bytes.size() - written);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return false;
        }
        written += static_cast<std::size_t>(n);
    }
    return true;
}
