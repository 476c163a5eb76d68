#pragma once

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "native_error.h"

// File-system operations whose failures carry the system's own error code, so that logged
// failures read like the system's messages.

// Creates dir and every missing parent. Succeeds also when dir is already a directory.
NativeError make_directories(const std::filesystem::path& dir);

// Creates one directory whose parent exists. Succeeds when it was created or already is a
// directory.
NativeError make_directory(const std::filesystem::path& dir);

// Creates the directories levels[0], levels[0]/levels[1], ... down to the first `count` levels
// below base, which exists; the first `existing` of them are known to exist already. Each level
// is made or found without following a link at its name. Linux makes each one in the directory
// above it, held open, so that no call resolves a path many levels long: the system's work grows
// with the depth, not with its square. Fails with the error of the first level that fails.
NativeError make_directory_levels(const std::filesystem::path& base,
                                  const std::vector<std::filesystem::path>& levels,
                                  std::size_t existing, std::size_t count);

// The outcome of asking the system to create a directory: one that exists afterwards is never an
// error, whatever the system answered (a volume root answers "access denied" on Windows).
NativeError existing_directory_is_fine(NativeError creation, bool exists_as_directory);

// True when path names a directory, following links.
[[nodiscard]] bool is_existing_directory(const std::filesystem::path& path);

// make_directories that logs its failure as "Failed to create directory {}: {}".
[[nodiscard]] bool create_directory_logged(const std::filesystem::path& dir);

// Writes `size` bytes at `path`, replacing what is there; false when that fails, logged as
// "Failed to write {}: {}". Not flushed.
[[nodiscard]] bool write_file_logged(const std::filesystem::path& path, const char* data,
                                     std::size_t size);

// True for the error make_directory gives when a parent is missing.
[[nodiscard]] bool is_missing_parent(NativeError error);

// How a WrittenFile takes its name.
enum class WriteMode {
    // A regular file at the name is emptied and written anew; with nothing there, the file is
    // created: the file keeps its identity. A directory at the name fails the opening, and so
    // does a link on Linux (Windows follows one).
    overwrite,
    // Whatever is at the name first (a file, an empty directory, or a link, removed as itself and
    // never followed) is removed, and the file is then created exclusively: nothing written
    // through it can land anywhere else.
    replace,
    // An existing regular file of ours, to write on at its end: opened without following a link
    // at the name, and refused unless it has exactly one name (a second one could lie anywhere).
    continue_existing,
};

// A directory held open, in which names are made and opened one at a time, each relative to the
// directory it lies in: nothing is ever reached through a path of several names, any of which
// someone could have replaced by a link meanwhile, and a link at a name is never followed.
class HeldDirectory {
  public:
    struct Native;  // the platform's open directory
    HeldDirectory();
    ~HeldDirectory();
    HeldDirectory(HeldDirectory&&) noexcept;
    HeldDirectory& operator=(HeldDirectory&&) noexcept;

    [[nodiscard]] bool is_open() const;
    void close();
    Native& native() const { return *native_; }

  private:
    std::unique_ptr<Native> native_;
};

// The error the system gives a path too long to take whole (Linux: PATH_MAX bytes; Windows:
// 32767 characters in its \\?\ form); success for any other. What extraction makes stays
// reachable by its full path, as every other tool names it.
NativeError path_length_error(const std::filesystem::path& path);

// Opens the directory at path, as the caller names it (a link on the way is followed).
NativeError open_directory(const std::filesystem::path& path, HeldDirectory& dir);

// Opens the directory `name` in `parent`; with `make`, creates it first when it is missing. A
// file or link at the name fails the opening (with the error of making a directory there when
// `make` is set: it already exists), and a link is never followed. Windows refuses a level whose
// full path would pass the system's longest path, as it refuses any such path.
NativeError open_subdirectory(const HeldDirectory& parent, const std::filesystem::path& name,
                              bool make, HeldDirectory& dir);

// What a file is given as it is closed: extraction's entry time stamp and, where the file system
// keeps them, permission bits (already limited by the creation mask; NTFS keeps none).
struct FileStamp {
    std::optional<std::time_t> modified;
    std::optional<unsigned> permissions;
};

// A file the updater writes, held open until it is closed or goes.
class WrittenFile {
  public:
    WrittenFile(const std::filesystem::path& path, WriteMode mode);
    // Creates the file `name` in `dir` exclusively: a file or link already at the name is removed
    // as itself first, never followed; a directory there fails the opening.
    WrittenFile(const HeldDirectory& dir, const std::filesystem::path& name);
    ~WrittenFile();
    WrittenFile(const WrittenFile&) = delete;
    WrittenFile& operator=(const WrittenFile&) = delete;

    // Why the file could not be opened; success when it is open.
    [[nodiscard]] NativeError error() const { return error_; }
    NativeError write(const char* data, std::size_t size);
    // Gives the file the stamp and closes it; the first failure of these steps, each tried (a
    // delayed write error shows on closing). Nothing to do when the file is not open.
    //
    // Durability: Windows flushes each file here as it closes, since an unprivileged process
    // can't flush a whole volume. Linux flushes nothing here: make_durable then writes the data of
    // every file under the root in one syncfs, far faster than one fsync per file. Either way, what
    // was written under a root survives a power cut once make_durable of that root succeeded.
    NativeError close(const FileStamp& stamp = {});

  private:
    struct Native;  // the platform's open file
    std::unique_ptr<Native> native_;
    NativeError error_;
};

// Writes all of data through write_some(data, size, written), which takes at least one byte or
// fails. Every file the updater writes goes through this loop.
template <typename WriteSome>
NativeError write_all(const char* data, std::size_t size, WriteSome&& write_some) {
    while (size > 0) {
        std::size_t written = 0;
        if (const NativeError error = write_some(data, size, written); error.failed()) {
            return error;
        }
        data += written;
        size -= written;
    }
    return {};
}

// False only in the tests' build that never flushes (tests/CMakeLists.txt), with which the
// power-loss check shows that it finds the installations such a build loses.
extern const bool durable_writes;

// Making what was written survive a power cut. Data the system has only cached may be lost or
// read back as zeros after one; names (created, renamed, removed) survive in the order they were
// made. Each function below logs its failure as "Failed to flush {}: {}" and does nothing in the
// build without durable_writes.

// Everything written under root so far: the data of every file and the names made there.
[[nodiscard]] bool make_durable(const std::filesystem::path& root);
// The data of the one file at path.
[[nodiscard]] bool make_file_durable(const std::filesystem::path& path);
// A rename (or removal) that has just put target in place.
[[nodiscard]] bool make_rename_durable(const std::filesystem::path& target);
// The name at path, just created or removed, even while the file is held open.
[[nodiscard]] bool make_name_durable(const std::filesystem::path& path);

// The platform's flushes behind them. Linux flushes the whole file system holding root (one
// syncfs) and the root directory; Windows has nothing left to do there (WrittenFile::close).
NativeError flush_written_data(const std::filesystem::path& root);
NativeError flush_file(const std::filesystem::path& path);
// Linux: the directory holding target. Windows: target itself, opened for writing, which also
// commits NTFS's log of the rename.
NativeError flush_rename(const std::filesystem::path& target);
// The directory holding path, whatever is at path now.
NativeError flush_directory_of(const std::filesystem::path& path);

// Renames a file or directory, replacing an existing file at the target.
NativeError rename_path(const std::filesystem::path& from, const std::filesystem::path& to);

// True for an error saying that someone else has the file open for the moment.
[[nodiscard]] bool is_in_use(NativeError error);

// rename_path, tried again for up to 30 seconds while the source is in use: on Windows a program
// that has just exited, a virus scanner or an indexer can keep files open for a while.
NativeError rename_when_free(const std::filesystem::path& from, const std::filesystem::path& to);

// Removes path with everything below it, best effort. Links and junctions met on the way are
// removed themselves; what they point to is never touched. With stop_requested, it is asked before
// each entry, and once it answers true the removal ends there, leaving the rest in place.
void remove_tree(const std::filesystem::path& path,
                 const std::function<bool()>& stop_requested = {});

// Removes a single file (or link, or empty directory), best effort; a link is removed as itself.
void remove_file(const std::filesystem::path& path);

// The path with `suffix` appended to its last element, as the files beside a package are named
// (<output>.download, <output>.minisig, <output>.lock).
std::filesystem::path with_suffix(std::filesystem::path path, const char* suffix);

// True when anything is at path, a link that leads nowhere included.
[[nodiscard]] bool path_exists(const std::filesystem::path& path);

// The names of the entries of dir, "." and ".." left out; none when it can't be read.
std::vector<std::filesystem::path> names_in_directory(const std::filesystem::path& dir);
// The same, with the reason when dir can't be read whole. Unlike the standard library's listing
// under MinGW, it takes paths of any length on Windows.
NativeError list_directory(const std::filesystem::path& dir,
                           std::vector<std::filesystem::path>& names);

// True for a directory with nothing in it.
[[nodiscard]] bool is_empty_directory(const std::filesystem::path& path);

// The size of the regular file at path, following links; nothing when there is none.
std::optional<std::uint64_t> regular_file_size(const std::filesystem::path& path);

// True when something other than a regular file is at path, following links: a directory, FIFO,
// device or socket (on Windows whatever the system does not call a disk file). False when nothing
// is there or the system can't tell. Asked without opening anything that could wait for a writer.
[[nodiscard]] bool is_existing_non_regular_file(const std::filesystem::path& path);

// An exclusive hold on a lock file, taken without waiting and released when it goes, however the
// process ends. Windows: the file is opened without sharing and deleted when closed. Linux: flock
// on the file, which stays, since removing a locked file races with the next taker.
class FileLock {
  public:
    struct Native;  // the platform's open lock file
    FileLock(std::unique_ptr<Native> native, NativeError error);
    FileLock(FileLock&&) noexcept;
    FileLock& operator=(FileLock&&) noexcept;
    ~FileLock();

    [[nodiscard]] bool held() const { return error_.ok(); }
    // Another process holds the lock.
    [[nodiscard]] bool busy() const;
    // When not held: why.
    [[nodiscard]] NativeError error() const { return error_; }

  private:
    std::unique_ptr<Native> native_;
    NativeError error_;
};

// Takes the lock file at path, creating it when missing.
FileLock lock_file(const std::filesystem::path& path);

// Takes the lock file at path as lock_file does, but only where that leaves the lock files as they
// were: Linux takes an existing lock file and never makes one; Windows, where a lock file exists
// only while it is held, makes it exclusively (it goes with the lock) and never takes one that is
// there already. Not held otherwise.
FileLock lock_file_leaving_none(const std::filesystem::path& path);

// An exclusive hold on the file at path (created when missing) that leaves it free for anyone to
// read and write, waited for up to 10 seconds; not held when that ran out or the file can't be
// opened. Runs take it briefly around a step that must not interleave with another run's.
FileLock wait_for_gate(const std::filesystem::path& path);

// Bytes an unprivileged writer may still use on the file system holding dir; nothing when the
// system can't tell.
std::optional<std::int64_t> free_space(const std::filesystem::path& dir);

// What others may do with a file the updater reads while it holds it open.
enum class ReadSharing {
    // Read and write it, as with any file the updater only reads.
    others_may_write,
    // Only read it: on Windows no one may then write, rename or remove the file until it is
    // closed (their openings fail), and a file someone is writing can't be opened so. Linux has
    // no such mode; there a change shows in the file's FileState.
    others_may_only_read,
};

// What the system tells of an open file that a change of its content, a rename over its name or
// its removal alters: its size, its number of names, and its modification and change times (in
// the system's units). The same state at two moments means no change in between, within what
// the times can show: a change that keeps the size and falls within one tick of the system's
// clock of the file's previous change leaves the times as they were.
struct FileState {
    std::uint64_t size = 0;
    std::uint64_t links = 0;
    std::int64_t modified = 0;
    std::int64_t changed = 0;
};

[[nodiscard]] bool operator==(const FileState& a, const FileState& b);

// A file opened for reading only, at any offset, through the platform's own file calls (which
// take paths of any length).
class ReadOnlyFile {
  public:
    ReadOnlyFile();
    ~ReadOnlyFile();
    ReadOnlyFile(const ReadOnlyFile&) = delete;
    ReadOnlyFile& operator=(const ReadOnlyFile&) = delete;

    // Opens the regular file at path and learns its size. Anything else at path (a directory, a
    // FIFO, a device) fails the opening, at once: nothing waits for a writer.
    NativeError open(const std::filesystem::path& path,
                     ReadSharing sharing = ReadSharing::others_may_write);
    // True after an opening that succeeded.
    [[nodiscard]] bool is_open() const { return open_; }
    std::uint64_t size() const { return size_; }
    // The state of the open file now.
    NativeError state(FileState& state) const;
    // Reads up to `size` bytes at `offset`; `got` is 0 only at the file's end.
    NativeError read_at(std::uint64_t offset, char* data, std::size_t size, std::size_t& got) const;

    // Opens the regular file `name` in `dir` and learns its size. A link at the name is never
    // followed: it fails the opening, as anything but a regular file does.
    NativeError open_in(const HeldDirectory& dir, const std::filesystem::path& name);

    // Platform piece: copies the whole open file as the new file `name` in `dir` (nothing may be
    // at the name), by the system's cheapest copy, and gives the copy `stamp`. Linux:
    // copy_file_range between the open files (a reflink where the file system shares blocks),
    // read and write where it can't. Windows: CopyFileExW, which takes paths: `source_path` is
    // this file's, `target_path` the new one's. The copy is durable as a WrittenFile's close
    // makes it.
    NativeError copy_into(const HeldDirectory& dir, const std::filesystem::path& name,
                          const std::filesystem::path& source_path,
                          const std::filesystem::path& target_path, const FileStamp& stamp) const;

  private:
    struct Native;  // the platform's open file
    std::unique_ptr<Native> native_;
    std::uint64_t size_ = 0;
    bool open_ = false;
};
