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

struct NewFile::Native {
    UniqueFd fd;
};

NewFile::NewFile(const std::filesystem::path& path) : native_(std::make_unique<Native>()) {
    remove_file(path);
    native_->fd.reset(
        open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666));
    if (!native_->fd.valid()) {
        error_ = last_error();
    }
}

NewFile::~NewFile() = default;

NativeError NewFile::write(const char* data, std::size_t size) {
    return write_fd(native_->fd.get(), data, size);
}

NativeError NewFile::close() {
    if (native_->fd.valid() && ::close(native_->fd.release()) != 0) {
        return last_error();
    }
    return {};
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

std::filesystem::path system_path(const std::filesystem::path& path) {
    return path;
}
