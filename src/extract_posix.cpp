#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>

#include "extract.h"
#include "native_posix.h"

struct OutputFile::Native {
    UniqueFd fd;
};

std::optional<std::filesystem::path> utf8_to_path(const std::string& utf8) {
    return std::filesystem::path(utf8);
}

OutputFile::OutputFile(const std::filesystem::path& path)
    : native_(std::make_unique<Native>(Native{UniqueFd(
          open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0666))})) {}

OutputFile::~OutputFile() = default;

bool OutputFile::is_open() const {
    return native_->fd.valid();
}

bool OutputFile::write(const char* data, std::size_t size) {
    return write_fd(native_->fd.get(), data, size).ok();
}

unsigned file_creation_mask() {
    // Reading the mask means setting it, so it is put back at once.
    const mode_t mask = umask(022);
    umask(mask);
    return mask;
}

bool OutputFile::finish(std::optional<std::time_t> mtime, std::optional<unsigned> permissions) {
    const int fd = native_->fd.release();
    bool ok = true;
    if (permissions && fchmod(fd, static_cast<mode_t>(*permissions)) != 0) {
        ok = false;
    }
    if (mtime) {
        const timespec times[2] = {{*mtime, 0}, {*mtime, 0}};
        ok = futimens(fd, times) == 0 && ok;
    }
    return close(fd) == 0 && ok;
}
