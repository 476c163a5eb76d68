#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>

#include "extract.h"
#include "extract_source.h"
#include "native_posix.h"

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

unsigned file_creation_mask() {
    // Reading the mask means setting it, so it is put back at once.
    const mode_t mask = umask(022);
    umask(mask);
    return mask;
}
