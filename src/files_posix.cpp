#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/statvfs.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <system_error>
#include <thread>
#include <vector>

#include "files.h"
#include "native_posix.h"

bool is_existing_directory(const std::filesystem::path& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

NativeError make_directory(const std::filesystem::path& dir) {
    if (mkdir(dir.c_str(), 0777) == 0) {
        return {};
    }
    return existing_directory_is_fine(last_error(), is_existing_directory(dir));
}

[[nodiscard]] bool is_missing_parent(NativeError error) {
    return error.code() == ENOENT;
}

[[nodiscard]] bool is_in_use(NativeError) {
    // A rename on Linux never waits for other openers.
    return false;
}

namespace {

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

// O_NOFOLLOW: a link at the name is never followed.
NativeError open_for_writing(const std::filesystem::path& path, int flags, UniqueFd& fd) {
    fd.reset(open(path.c_str(), O_WRONLY | O_CLOEXEC | O_NOFOLLOW | flags, 0666));
    return fd.valid() ? NativeError() : last_error();
}

// O_NONBLOCK: a FIFO at the name fails at once instead of waiting for a reader; a regular file
// ignores it.
NativeError open_to_continue(const std::filesystem::path& path, UniqueFd& fd) {
    UniqueFd opened;
    if (const NativeError error = open_for_writing(path, O_APPEND | O_NONBLOCK, opened);
        error.failed()) {
        return error;
    }
    struct stat st;
    if (fstat(opened.get(), &st) != 0) {
        return last_error();
    }
    if (!S_ISREG(st.st_mode)) {
        return NativeError(EINVAL);
    }
    if (st.st_nlink != 1) {
        return NativeError(EMLINK);
    }
    fd = std::move(opened);
    return {};
}

NativeError open_written_file(const std::filesystem::path& path, WriteMode mode, UniqueFd& fd) {
    switch (mode) {
        case WriteMode::overwrite:
            return open_for_writing(path, O_CREAT | O_TRUNC, fd);
        case WriteMode::replace:
            remove_file(path);
            return open_for_writing(path, O_CREAT | O_EXCL, fd);
        case WriteMode::continue_existing:
            return open_to_continue(path, fd);
    }
    return NativeError(EINVAL);
}

// Each step is tried; the first failure is the one reported.
NativeError stamp_file(int fd, const FileStamp& stamp) {
    NativeError error;
    if (stamp.permissions && fchmod(fd, static_cast<mode_t>(*stamp.permissions)) != 0) {
        error = last_error();
    }
    if (stamp.modified) {
        const timespec times[2] = {{*stamp.modified, 0}, {*stamp.modified, 0}};
        if (futimens(fd, times) != 0 && error.ok()) {
            error = last_error();
        }
    }
    return error;
}

}  // namespace

struct WrittenFile::Native {
    UniqueFd fd;
};

WrittenFile::WrittenFile(const std::filesystem::path& path, WriteMode mode)
    : native_(std::make_unique<Native>()), error_(open_written_file(path, mode, native_->fd)) {}

WrittenFile::~WrittenFile() = default;

NativeError WrittenFile::write(const char* data, std::size_t size) {
    const int fd = native_->fd.get();
    return write_all(data, size, [fd](const char* d, std::size_t n, std::size_t& written) {
        return write_some(fd, d, n, written);
    });
}

NativeError WrittenFile::close(const FileStamp& stamp) {
    if (!native_->fd.valid()) {
        return {};
    }
    // Nothing is flushed here: make_durable flushes the whole file system at once.
    const NativeError stamped = stamp_file(native_->fd.get(), stamp);
    const NativeError closed = ::close(native_->fd.release()) == 0 ? NativeError() : last_error();
    return stamped.failed() ? stamped : closed;
}

namespace {

NativeError open_and_fsync(const std::filesystem::path& path, int flags) {
    const UniqueFd fd(open(path.c_str(), O_RDONLY | O_CLOEXEC | flags));
    if (!fd.valid() || fsync(fd.get()) != 0) {
        return last_error();
    }
    return {};
}

}  // namespace

NativeError flush_written_data(const std::filesystem::path& root) {
    // One syncfs instead of an fsync per file: a file system writes its dirty data in one pass
    // far faster than thousands of separate flushes, each waiting for its own journal commit.
    const UniqueFd fd(open(root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!fd.valid() || syncfs(fd.get()) != 0 || fsync(fd.get()) != 0) {
        return last_error();
    }
    return {};
}

NativeError flush_file(const std::filesystem::path& path) {
    return open_and_fsync(path, O_NOFOLLOW);
}

NativeError flush_rename(const std::filesystem::path& target) {
    const std::filesystem::path parent = target.parent_path();
    return open_and_fsync(parent.empty() ? "." : parent, O_DIRECTORY);
}

NativeError flush_directory_of(const std::filesystem::path& path) {
    return flush_rename(path);
}

NativeError rename_path(const std::filesystem::path& from, const std::filesystem::path& to) {
    return std::rename(from.c_str(), to.c_str()) == 0 ? NativeError() : last_error();
}

void remove_tree(const std::filesystem::path& path) {
    struct stat st;
    if (lstat(path.c_str(), &st) != 0) {
        return;
    }
    // A link is removed as itself; lstat never follows it.
    if (!S_ISDIR(st.st_mode)) {
        unlink(path.c_str());
        return;
    }
    // A directory without write or search permission for its owner (shipped so, or made so by
    // `chmod -R a-w`) could not be emptied, and every later update would fail on it.
    if ((st.st_mode & S_IRWXU) != S_IRWXU) {
        chmod(path.c_str(), (st.st_mode & 07777) | S_IRWXU);
    }
    std::vector<std::filesystem::path> entries;
    std::error_code error;
    for (std::filesystem::directory_iterator it(path, error), end; !error && it != end;
         it.increment(error)) {
        entries.push_back(it->path());
    }
    for (const std::filesystem::path& entry : entries) {
        remove_tree(entry);
    }
    rmdir(path.c_str());
}

FileLock::FileLock(std::unique_ptr<Native> native, NativeError error)
    : native_(std::move(native)), error_(error) {}
FileLock::FileLock(FileLock&&) noexcept = default;
FileLock& FileLock::operator=(FileLock&&) noexcept = default;
FileLock::~FileLock() = default;

bool FileLock::busy() const {
    return error_.code() == EWOULDBLOCK;
}

FileLock flock_descriptor(UniqueFd fd) {
    if (!fd.valid()) {
        return FileLock(nullptr, last_error());
    }
    if (flock(fd.get(), LOCK_EX | LOCK_NB) != 0) {
        return FileLock(nullptr, last_error());
    }
    return FileLock(std::make_unique<FileLock::Native>(FileLock::Native{std::move(fd)}), {});
}

namespace {

int open_lock_file(const std::filesystem::path& path) {
    return open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0666);
}

bool is_symbolic_link(const std::filesystem::path& path) {
    struct stat st;
    return lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode);
}

}  // namespace

FileLock lock_file(const std::filesystem::path& path) {
    UniqueFd fd(open_lock_file(path));
    // A link at the name is never followed (O_NOFOLLOW fails with ELOOP): it is removed as
    // itself and the file made in its place, as at every name the updater writes. Left there, it
    // would fail every later run.
    if (!fd.valid() && errno == ELOOP && is_symbolic_link(path)) {
        remove_file(path);
        fd.reset(open_lock_file(path));
    }
    return flock_descriptor(std::move(fd));
}

FileLock wait_for_gate(const std::filesystem::path& path) {
    // Non-blocking open: a FIFO planted at the name must not stall the run.
    UniqueFd fd(open(path.c_str(), O_RDONLY | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0666));
    if (!fd.valid()) {
        return FileLock(nullptr, last_error());
    }
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (flock(fd.get(), LOCK_EX | LOCK_NB) != 0) {
        if ((errno != EWOULDBLOCK && errno != EINTR) ||
            std::chrono::steady_clock::now() > deadline) {
            return FileLock(nullptr, last_error());
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return FileLock(std::make_unique<FileLock::Native>(FileLock::Native{std::move(fd)}), {});
}

std::optional<std::int64_t> free_space(const std::filesystem::path& dir) {
    struct statvfs stats;
    if (statvfs(dir.empty() ? "." : dir.c_str(), &stats) != 0) {
        return std::nullopt;
    }
    return static_cast<std::int64_t>(stats.f_bavail) * static_cast<std::int64_t>(stats.f_frsize);
}

void remove_file(const std::filesystem::path& path) {
    if (unlink(path.c_str()) != 0 && errno == EISDIR) {
        rmdir(path.c_str());
    }
}

bool path_exists(const std::filesystem::path& path) {
    struct stat st;
    return lstat(path.c_str(), &st) == 0;
}

bool is_empty_directory(const std::filesystem::path& path) {
    std::error_code error;
    return std::filesystem::is_empty(path, error) && !error;
}

std::optional<std::uint64_t> regular_file_size(const std::filesystem::path& path) {
    struct stat st;
    if (stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) {
        return std::nullopt;
    }
    return static_cast<std::uint64_t>(st.st_size);
}

bool is_existing_non_regular_file(const std::filesystem::path& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0 && !S_ISREG(st.st_mode);
}

struct ReadOnlyFile::Native {
    UniqueFd fd;
};

ReadOnlyFile::ReadOnlyFile() : native_(std::make_unique<Native>()) {}

ReadOnlyFile::~ReadOnlyFile() = default;

NativeError ReadOnlyFile::open(const std::filesystem::path& path) {
    // O_NONBLOCK: a FIFO opens at once instead of waiting for a writer, and is then refused as
    // not regular; reads from a regular file ignore the flag.
    native_->fd.reset(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
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

NativeError ReadOnlyFile::read_at(std::uint64_t offset, char* data, std::size_t size,
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
