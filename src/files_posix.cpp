#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/statvfs.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstring>
#include <system_error>
#include <thread>
#include <vector>

#include "files.h"
#include "files_posix.h"

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

NativeError make_directory_levels(const std::filesystem::path& base,
                                  const std::vector<std::filesystem::path>& levels,
                                  std::size_t existing, std::size_t count) {
    // O_PATH: a directory is only held to make and open names in, never read.
    UniqueFd dir(open(base.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
    if (!dir.valid()) {
        return last_error();
    }
    for (std::size_t i = 0; i < count; ++i) {
        const char* name = levels[i].c_str();
        if (i >= existing && mkdirat(dir.get(), name, 0777) != 0) {
            const NativeError error = last_error();
            struct stat st;
            const bool directory =
                fstatat(dir.get(), name, &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISDIR(st.st_mode);
            if (existing_directory_is_fine(error, directory).failed()) {
                return error;
            }
        }
        UniqueFd next(openat(dir.get(), name, O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        if (!next.valid()) {
            return last_error();
        }
        dir = std::move(next);
    }
    return {};
}

HeldDirectory::HeldDirectory() : native_(std::make_unique<Native>()) {}
HeldDirectory::~HeldDirectory() = default;
HeldDirectory::HeldDirectory(HeldDirectory&&) noexcept = default;
HeldDirectory& HeldDirectory::operator=(HeldDirectory&&) noexcept = default;

bool HeldDirectory::is_open() const {
    return native_ && native_->fd.valid();
}

void HeldDirectory::close() {
    native_->fd.reset();
}

NativeError path_length_error(const std::filesystem::path& path) {
    return path.native().size() >= PATH_MAX ? NativeError(ENAMETOOLONG) : NativeError();
}

// O_PATH: a held directory is only used to make and open names in, never read.
constexpr int held_directory_flags = O_PATH | O_DIRECTORY | O_CLOEXEC;

NativeError open_directory(const std::filesystem::path& path, HeldDirectory& dir) {
    dir.native().fd.reset(open(path.c_str(), held_directory_flags));
    return dir.is_open() ? NativeError() : last_error();
}

NativeError open_subdirectory(const HeldDirectory& parent, const std::filesystem::path& name,
                              bool make, HeldDirectory& dir) {
    const int at = parent.native().fd.get();
    const NativeError made =
        make && mkdirat(at, name.c_str(), 0777) != 0 ? last_error() : NativeError();
    UniqueFd opened(openat(at, name.c_str(), held_directory_flags | O_NOFOLLOW));
    if (!opened.valid()) {
        // A file or a link where the directory should be: making it failed, and that says why.
        return made.failed() ? made : last_error();
    }
    dir.native().fd = std::move(opened);
    return {};
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

// Creates `name` in `dir` exclusively. Only when something is there already is it looked at: a
// file or a link is removed as itself and the creation tried once more.
NativeError create_in(int dir, const char* name, UniqueFd& fd) {
    constexpr int flags = O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC;
    fd.reset(openat(dir, name, flags, 0666));
    if (fd.valid()) {
        return {};
    }
    if (errno != EEXIST) {
        return last_error();
    }
    if (unlinkat(dir, name, 0) != 0) {
        // EISDIR: a directory is where the file should be.
        return last_error();
    }
    fd.reset(openat(dir, name, flags, 0666));
    return fd.valid() ? NativeError() : last_error();
}

}  // namespace

struct WrittenFile::Native {
    UniqueFd fd;
};

WrittenFile::WrittenFile(const std::filesystem::path& path, WriteMode mode)
    : native_(std::make_unique<Native>()), error_(open_written_file(path, mode, native_->fd)) {}

WrittenFile::WrittenFile(const HeldDirectory& dir, const std::filesystem::path& name)
    : native_(std::make_unique<Native>()),
      error_(create_in(dir.native().fd.get(), name.c_str(), native_->fd)) {}

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

namespace {

// A directory without write or search permission for its owner (shipped so, or made so by
// `chmod -R a-w`) could not be emptied, and every later update would fail on it. The mode is
// changed on the name only if it is not a link.
void allow_emptying(int parent, const char* name, const struct stat& st) {
    if ((st.st_mode & S_IRWXU) != S_IRWXU) {
        fchmodat(parent, name, (st.st_mode & 07777) | S_IRWXU, AT_SYMLINK_NOFOLLOW);
    }
}

// Opens the directory `name` in `parent` to empty it. Anything else there (a file, a link, even
// one that took the directory's place meanwhile) is removed as itself and nothing is opened.
UniqueFd open_to_empty(int parent, const char* name) {
    struct stat st;
    if (fstatat(parent, name, &st, AT_SYMLINK_NOFOLLOW) != 0) {
        return UniqueFd();
    }
    if (S_ISDIR(st.st_mode)) {
        allow_emptying(parent, name, st);
        UniqueFd dir(openat(parent, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        if (dir.valid() || (errno != ENOTDIR && errno != ELOOP)) {
            return dir;
        }
    }
    unlinkat(parent, name, 0);
    return UniqueFd();
}

struct DirCloser {
    void operator()(DIR* dir) const { closedir(dir); }
};

[[nodiscard]] bool stopped(const std::function<bool()>& stop_requested) {
    return stop_requested && stop_requested();
}

// Removes everything in `dir` but its directories, whose names are appended to `subdirectories`,
// each ending in a NUL. False when stopped first.
[[nodiscard]] bool remove_all_but_directories(int dir, std::string& subdirectories,
                                              const std::function<bool()>& stop_requested) {
    const std::unique_ptr<DIR, DirCloser> stream(fdopendir(dup(dir)));
    if (!stream) {
        return true;
    }
    // A name already read stays read when another one is removed meanwhile.
    while (const dirent* entry = readdir(stream.get())) {
        const char* name = entry->d_name;
        if (std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0) {
            continue;
        }
        if (stopped(stop_requested)) {
            return false;
        }
        struct stat st;
        const bool directory =
            entry->d_type == DT_DIR ||
            (entry->d_type == DT_UNKNOWN && fstatat(dir, name, &st, AT_SYMLINK_NOFOLLOW) == 0 &&
             S_ISDIR(st.st_mode));
        if (directory) {
            subdirectories.append(name).push_back('\0');
        } else {
            unlinkat(dir, name, 0);
        }
    }
    return true;
}

// A directory being emptied, below the one before it on the stack.
struct Level {
    dev_t device;
    ino_t inode;
    // Where its subdirectories' names start in the names still to do; its own is the last name
    // of the level above.
    std::size_t names_start;
};

// The directory `dir` is, to recognise it when coming back.
[[nodiscard]] bool identify(int dir, std::size_t names_start, Level& level) {
    struct stat st;
    if (fstat(dir, &st) != 0) {
        return false;
    }
    level = {st.st_dev, st.st_ino, names_start};
    return true;
}

// The start of the last name in `names`, each ending in a NUL, after `from`.
std::size_t last_name(const std::string& names, std::size_t from) {
    const std::size_t before = names.rfind('\0', names.size() - 2);
    return before == std::string::npos || before < from ? from : before + 1;
}

// The directory above `dir`, when it is still the one recorded in `parent`: should something
// have moved `dir` elsewhere meanwhile, its ".." is another directory, which is never touched.
UniqueFd reopen_parent(int dir, const Level& parent) {
    UniqueFd above(openat(dir, "..", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    struct stat st;
    if (!above.valid() || fstat(above.get(), &st) != 0 || st.st_dev != parent.device ||
        st.st_ino != parent.inode) {
        return UniqueFd();
    }
    return above;
}

// Empties the directory open as `top`, depth first without recursion. One directory is open at a
// time, and what is kept per level is its identity and the names of its subdirectories still to
// do: memory grows with the depth and the names, never with the square of the depth, and every
// system call takes a single name, so that the work of the system does not either. False when
// stopped before the directory was empty.
[[nodiscard]] bool empty_directory(UniqueFd top, const std::function<bool()>& stop_requested) {
    std::string names;
    std::vector<Level> levels(1);
    if (!identify(top.get(), 0, levels[0])) {
        return true;
    }
    UniqueFd dir = std::move(top);
    if (!remove_all_but_directories(dir.get(), names, stop_requested)) {
        return false;
    }
    for (;;) {
        if (stopped(stop_requested)) {
            return false;
        }
        const Level& level = levels.back();
        if (names.size() > level.names_start) {
            // Down into the last subdirectory still to do; its name stays until it is removed.
            const std::size_t name = last_name(names, level.names_start);
            UniqueFd below = open_to_empty(dir.get(), names.c_str() + name);
            Level next{};
            if (!below.valid() || !identify(below.get(), names.size(), next)) {
                // One that can't be entered may still be empty.
                unlinkat(dir.get(), names.c_str() + name, AT_REMOVEDIR);
                names.resize(name);
                continue;
            }
            dir = std::move(below);
            levels.push_back(next);
            if (!remove_all_but_directories(dir.get(), names, stop_requested)) {
                return false;
            }
            continue;
        }
        if (levels.size() == 1) {
            return true;
        }
        // Done with this directory: up again, and removed from there.
        levels.pop_back();
        UniqueFd above = reopen_parent(dir.get(), levels.back());
        if (!above.valid()) {
            return true;
        }
        dir = std::move(above);
        const std::size_t own = last_name(names, levels.back().names_start);
        unlinkat(dir.get(), names.c_str() + own, AT_REMOVEDIR);
        names.resize(own);
    }
}

}  // namespace

void remove_tree(const std::filesystem::path& path, const std::function<bool()>& stop_requested) {
    // A link is removed as itself and never followed.
    if (UniqueFd top = open_to_empty(AT_FDCWD, path.c_str()); top.valid()) {
        if (!empty_directory(std::move(top), stop_requested)) {
            return;
        }
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

FileLock lock_file_leaving_none(const std::filesystem::path& path) {
    return flock_descriptor(UniqueFd(open(path.c_str(), O_RDWR | O_CLOEXEC | O_NOFOLLOW)));
}

NativeError list_directory(const std::filesystem::path& dir,
                           std::vector<std::filesystem::path>& names) {
    names.clear();
    const std::unique_ptr<DIR, DirCloser> stream(opendir(dir.c_str()));
    if (!stream) {
        return last_error();
    }
    errno = 0;
    while (const dirent* entry = readdir(stream.get())) {
        if (std::strcmp(entry->d_name, ".") != 0 && std::strcmp(entry->d_name, "..") != 0) {
            names.emplace_back(entry->d_name);
        }
        errno = 0;
    }
    return errno != 0 ? last_error() : NativeError();
}

std::vector<std::filesystem::path> names_in_directory(const std::filesystem::path& dir) {
    std::vector<std::filesystem::path> names;
    static_cast<void>(list_directory(dir, names));
    return names;
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

namespace {

// Takes `opened`, a descriptor just opened (or -1), into `fd` when it is a regular file, with its
// size; only a regular file has a size to read up to.
NativeError take_regular_file(UniqueFd& fd, int opened, std::uint64_t& size) {
    fd.reset(opened);
    struct stat st;
    if (!fd.valid() || fstat(fd.get(), &st) != 0) {
        return last_error();
    }
    if (!S_ISREG(st.st_mode)) {
        return NativeError(S_ISDIR(st.st_mode) ? EISDIR : EINVAL);
    }
    size = static_cast<std::uint64_t>(st.st_size);
    return {};
}

}  // namespace

NativeError ReadOnlyFile::open(const std::filesystem::path& path, ReadSharing) {
    // O_NONBLOCK: a FIFO opens at once instead of waiting for a writer, and is then refused as
    // not regular; reads from a regular file ignore the flag.
    const NativeError error = take_regular_file(
        native_->fd, ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK), size_);
    open_ = error.ok();
    return error;
}

namespace {

std::int64_t nanoseconds(const timespec& time) {
    return static_cast<std::int64_t>(time.tv_sec) * 1000000000 + time.tv_nsec;
}

}  // namespace

NativeError ReadOnlyFile::state(FileState& state) const {
    struct stat st;
    if (fstat(native_->fd.get(), &st) != 0) {
        return last_error();
    }
    state.size = static_cast<std::uint64_t>(st.st_size);
    state.links = static_cast<std::uint64_t>(st.st_nlink);
    state.modified = nanoseconds(st.st_mtim);
    // Set by the kernel to its clock at every change of content or metadata; no user can set it.
    state.changed = nanoseconds(st.st_ctim);
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

NativeError ReadOnlyFile::open_in(const HeldDirectory& dir, const std::filesystem::path& name) {
    // O_NOFOLLOW: a link at the name fails with ELOOP; O_NONBLOCK as in open().
    const NativeError error = take_regular_file(
        native_->fd,
        openat(dir.native().fd.get(), name.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOFOLLOW),
        size_);
    open_ = error.ok();
    return error;
}

namespace {

// True for the errors by which copy_file_range says it can't copy between these two files (other
// file systems, an old kernel, a file system without it): read and write can.
[[nodiscard]] bool copy_range_unsupported(int error) {
    return error == EXDEV || error == ENOSYS || error == EINVAL || error == EOPNOTSUPP ||
           error == ETXTBSY;
}

// Reads and writes from `offset` to the end of the source, through one buffer.
NativeError copy_by_reading(int from, int to, std::uint64_t offset) {
    std::vector<char> buffer(1 << 20);
    for (;;) {
        const ssize_t n = pread(from, buffer.data(), buffer.size(), static_cast<off_t>(offset));
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0) {
            return last_error();
        }
        if (n == 0) {
            return {};
        }
        if (const NativeError error =
                write_all(buffer.data(), static_cast<std::size_t>(n),
                          [to](const char* d, std::size_t size, std::size_t& written) {
                              return write_some(to, d, size, written);
                          });
            error.failed()) {
            return error;
        }
        offset += static_cast<std::uint64_t>(n);
    }
}

NativeError copy_data(int from, int to, std::uint64_t size) {
    loff_t in = 0;
    loff_t out = 0;
    while (static_cast<std::uint64_t>(in) < size) {
        // Pieces of at most 1 GiB, as the call takes no more at once on some kernels.
        const std::size_t piece =
            static_cast<std::size_t>(std::min<std::uint64_t>(size - in, 1U << 30));
        const ssize_t n = copy_file_range(from, &in, to, &out, piece, 0);
        if (n > 0) {
            continue;
        }
        if (n == 0) {
            // The file ended early: whatever remains is read as it is.
            break;
        }
        if (errno == EINTR) {
            continue;
        }
        if (!copy_range_unsupported(errno) || in != out) {
            return last_error();
        }
        break;
    }
    // A file grown meanwhile, or one copy_file_range won't take, goes on by reading.
    return copy_by_reading(from, to, static_cast<std::uint64_t>(in));
}

}  // namespace

NativeError ReadOnlyFile::copy_into(const HeldDirectory& dir, const std::filesystem::path& name,
                                    const std::filesystem::path&, const std::filesystem::path&,
                                    const FileStamp& stamp) const {
    UniqueFd target;
    if (const NativeError error = create_in(dir.native().fd.get(), name.c_str(), target);
        error.failed()) {
        return error;
    }
    const NativeError copied = copy_data(native_->fd.get(), target.get(), size_);
    const NativeError stamped = stamp_file(target.get(), stamp);
    const NativeError closed = ::close(target.release()) == 0 ? NativeError() : last_error();
    return copied.failed() ? copied : stamped.failed() ? stamped : closed;
}
