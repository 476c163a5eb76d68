#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>

#include "extract.h"
#include "extract_source.h"
#include "native_posix.h"

struct OutputFile::Native {
    UniqueFd fd;
};

struct ArchiveFile::Native {
    UniqueFd fd;
};

ArchiveFile::ArchiveFile() : native_(std::make_unique<Native>()) {}

ArchiveFile::~ArchiveFile() = default;

NativeError ArchiveFile::open(const std::filesystem::path& path) {
    native_->fd.reset(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    struct stat st;
    if (!native_->fd.valid() || fstat(native_->fd.get(), &st) != 0) {
        return last_error();
    }
    // Only a regular file has a size to read up to.
    if (!S_ISREG(st.st_mode)) {
        return NativeError(S_ISDIR(st.st_mode) ? EISDIR : EINVAL);
    }
    size_ = static_cast<std::uint64_t>(st.st_size);
    return {};
}

NativeError ArchiveFile::read_at(std::uint64_t offset, char* data, std::size_t size,
                                 std::size_t& got) const {
    for (;;) {
        const ssize_t n = pread(native_->fd.get(), data, size, static_cast<off_t>(offset));
        if (n >= 0) {
            got = static_cast<std::size_t>(n);
            return {};
        }
        if (errno != EINTR) {
            return last_error();
        }
    }
}

std::optional<std::filesystem::path> utf8_to_path(const std::string& utf8) {
    return std::filesystem::path(utf8);
}

OutputFile::OutputFile(const std::filesystem::path& path)
    : native_(std::make_unique<Native>(Native{UniqueFd(
          open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0666))})) {
    if (!native_->fd.valid()) {
        error_ = last_error();
    }
}

OutputFile::~OutputFile() = default;

NativeError OutputFile::write(const char* data, std::size_t size) {
    return write_fd(native_->fd.get(), data, size);
}

unsigned file_creation_mask() {
    // Reading the mask means setting it, so it is put back at once.
    const mode_t mask = umask(022);
    umask(mask);
    return mask;
}

NativeError OutputFile::finish(std::optional<std::time_t> mtime,
                               std::optional<unsigned> permissions) {
    const int fd = native_->fd.release();
    NativeError error;
    if (permissions && fchmod(fd, static_cast<mode_t>(*permissions)) != 0) {
        error = last_error();
    }
    const timespec times[2] = {{mtime.value_or(0), 0}, {mtime.value_or(0), 0}};
    if (mtime && futimens(fd, times) != 0 && error.ok()) {
        error = last_error();
    }
    if (close(fd) != 0 && error.ok()) {
        error = last_error();
    }
    return error;
}
