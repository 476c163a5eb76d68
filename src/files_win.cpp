#include <algorithm>
#include <cstdint>
#include <ctime>
#include <cwchar>
#include <vector>

#include "files.h"
#include "native_win.h"

namespace {

NativeError write_some(HANDLE file, const char* data, std::size_t size, std::size_t& written) {
    const DWORD chunk = static_cast<DWORD>(std::min<std::size_t>(size, 1u << 30));
    DWORD taken = 0;
    if (!WriteFile(file, data, chunk, &taken, nullptr)) {
        return last_error();
    }
    if (taken == 0) {
        // A write that takes nothing would never finish the loop.
        return NativeError(ERROR_WRITE_FAULT);
    }
    written = taken;
    return {};
}

// The system's own normalisation is off for \\?\ paths, so the full path is formed first: `/`,
// `.`, `..`, relative roots and trailing dots resolved as the system would resolve them.
std::wstring full_path(const std::filesystem::path& path) {
    const std::wstring& given = path.native();
    std::wstring full(given.size() + MAX_PATH, L'\0');
    for (;;) {
        const DWORD length =
            GetFullPathNameW(given.c_str(), static_cast<DWORD>(full.size()), full.data(), nullptr);
        if (length == 0) {
            return given;
        }
        if (length < full.size()) {
            full.resize(length);
            return full;
        }
        full.resize(length);
    }
}

}  // namespace

std::wstring long_path(const std::filesystem::path& path) {
    if (path.empty()) {
        return {};
    }
    // A path that has its prefix already is taken as it stands, as the system takes it.
    const std::wstring& given = path.native();
    if (given.rfind(L"\\\\?\\", 0) == 0 || given.rfind(L"\\\\.\\", 0) == 0) {
        return given;
    }
    const std::wstring full = full_path(path);
    if (full.rfind(L"\\\\", 0) == 0) {
        return L"\\\\?\\UNC\\" + full.substr(2);
    }
    return L"\\\\?\\" + full;
}

std::vector<std::wstring> directory_entries(const std::filesystem::path& dir) {
    std::vector<std::wstring> names;
    WIN32_FIND_DATAW data;
    const UniqueFindHandle find(FindFirstFileW(long_path(dir / L"*").c_str(), &data));
    if (!find.valid()) {
        return names;
    }
    do {
        const std::wstring name = data.cFileName;
        if (name != L"." && name != L"..") {
            names.push_back(name);
        }
    } while (FindNextFileW(find.get(), &data));
    return names;
}

bool is_existing_directory(const std::filesystem::path& path) {
    const DWORD attributes = GetFileAttributesW(long_path(path).c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

NativeError make_directory(const std::filesystem::path& dir) {
    // The system's own form of a path counts its bytes in 16 bits: Windows refuses a longer path
    // outright, as it is refused here. Wine would first resolve it element by element, which
    // takes minutes for a path thousands of elements deep.
    constexpr std::size_t longest_path = 32767;
    const std::wstring path = long_path(dir);
    if (path.size() > longest_path) {
        return NativeError(ERROR_FILENAME_EXCED_RANGE);
    }
    if (CreateDirectoryW(path.c_str(), nullptr)) {
        return {};
    }
    return existing_directory_is_fine(last_error(), is_existing_directory(dir));
}

NativeError make_directory_levels(const std::filesystem::path& base,
                                  const std::vector<std::filesystem::path>& levels,
                                  std::size_t existing, std::size_t count) {
    // Windows takes whole paths: each level by its full path, as long as the system allows.
    std::filesystem::path level = base;
    for (std::size_t i = 0; i < count; ++i) {
        level /= levels[i];
        if (i < existing) {
            continue;
        }
        if (const NativeError error = make_directory(level); error.failed()) {
            return error;
        }
    }
    return {};
}

[[nodiscard]] bool is_missing_parent(NativeError error) {
    return error.code() == ERROR_PATH_NOT_FOUND || error.code() == ERROR_FILE_NOT_FOUND;
}

[[nodiscard]] bool is_in_use(NativeError error) {
    return error.code() == ERROR_SHARING_VIOLATION || error.code() == ERROR_LOCK_VIOLATION ||
           error.code() == ERROR_ACCESS_DENIED;
}

namespace {

// Seconds since 1970 (UTC) as 100-nanosecond intervals since 1601.
FILETIME file_time(std::time_t seconds) {
    const ULONGLONG ticks = (static_cast<ULONGLONG>(seconds) + 11644473600ULL) * 10000000ULL;
    return FILETIME{static_cast<DWORD>(ticks), static_cast<DWORD>(ticks >> 32)};
}

// Readers and a rename of the file stay possible while it is open.
NativeError open_handle(const std::filesystem::path& path, DWORD disposition, DWORD flags,
                        UniqueHandle& file) {
    file.reset(CreateFileW(long_path(path).c_str(), GENERIC_WRITE,
                           FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr, disposition,
                           FILE_ATTRIBUTE_NORMAL | flags, nullptr));
    return file.valid() ? NativeError() : last_error();
}

// A link at the name is opened as itself and never followed.
constexpr DWORD not_followed = FILE_FLAG_OPEN_REPARSE_POINT;

NativeError open_to_continue(const std::filesystem::path& path, UniqueHandle& file) {
    UniqueHandle opened;
    if (const NativeError error = open_handle(path, OPEN_EXISTING, not_followed, opened);
        error.failed()) {
        return error;
    }
    BY_HANDLE_FILE_INFORMATION info;
    if (!GetFileInformationByHandle(opened.get(), &info)) {
        return last_error();
    }
    if ((info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
        return NativeError(ERROR_ACCESS_DENIED);
    }
    if ((info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
        return NativeError(ERROR_CANT_ACCESS_FILE);
    }
    if (info.nNumberOfLinks != 1) {
        return NativeError(ERROR_TOO_MANY_LINKS);
    }
    if (!SetFilePointerEx(opened.get(), LARGE_INTEGER{}, nullptr, FILE_END)) {
        return last_error();
    }
    file = std::move(opened);
    return {};
}

NativeError open_written_file(const std::filesystem::path& path, WriteMode mode,
                              UniqueHandle& file) {
    switch (mode) {
        case WriteMode::overwrite:
            return open_handle(path, CREATE_ALWAYS, 0, file);
        case WriteMode::replace:
            remove_file(path);
            return open_handle(path, CREATE_NEW, not_followed, file);
        case WriteMode::continue_existing:
            return open_to_continue(path, file);
    }
    return NativeError(ERROR_INVALID_PARAMETER);
}

}  // namespace

struct WrittenFile::Native {
    UniqueHandle file;
};

WrittenFile::WrittenFile(const std::filesystem::path& path, WriteMode mode)
    : native_(std::make_unique<Native>()), error_(open_written_file(path, mode, native_->file)) {}

WrittenFile::~WrittenFile() = default;

NativeError WrittenFile::write(const char* data, std::size_t size) {
    const HANDLE file = native_->file.get();
    return write_all(data, size, [file](const char* d, std::size_t n, std::size_t& written) {
        return write_some(file, d, n, written);
    });
}

// NTFS keeps no Unix permission bits: the file has the access rules its directory passes on.
NativeError WrittenFile::close(const FileStamp& stamp) {
    if (!native_->file.valid()) {
        return {};
    }
    UniqueHandle file(native_->file.release());
    NativeError error;
    if (stamp.modified) {
        const FILETIME time = file_time(*stamp.modified);
        if (!SetFileTime(file.get(), nullptr, &time, &time)) {
            error = last_error();
        }
    }
    // Flushed one by one as they close: what makes the written files survive a power cut.
    if (durable_writes && !FlushFileBuffers(file.get()) && error.ok()) {
        error = last_error();
    }
    if (!CloseHandle(file.release()) && error.ok()) {
        error = last_error();
    }
    return error;
}

NativeError flush_written_data(const std::filesystem::path&) {
    // WrittenFile::close flushed every file as it closed.
    return {};
}

NativeError flush_file(const std::filesystem::path& path) {
    const UniqueHandle file(CreateFileW(long_path(path).c_str(), GENERIC_WRITE,
                                        FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                        nullptr, OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT,
                                        nullptr));
    if (!file.valid() || !FlushFileBuffers(file.get())) {
        return last_error();
    }
    return {};
}

NativeError flush_rename(const std::filesystem::path& target) {
    // A rename within one volume is journaled, not written through; flushing a file opened for
    // writing commits the journal with it.
    return flush_file(target);
}

NativeError flush_directory_of(const std::filesystem::path& path) {
    // The file may be gone or held open without sharing; its directory, opened for writing,
    // commits the journal as a file does.
    const std::filesystem::path parent = path.parent_path();
    const UniqueHandle dir(
        CreateFileW(long_path(parent.empty() ? L"." : parent).c_str(), GENERIC_WRITE,
                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                    FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    if (!dir.valid() || !FlushFileBuffers(dir.get())) {
        return last_error();
    }
    return {};
}

NativeError rename_path(const std::filesystem::path& from, const std::filesystem::path& to) {
    // Write-through matters only for a move that copies (another volume): it then returns once
    // the copy is on the disk.
    const DWORD write_through = durable_writes ? MOVEFILE_WRITE_THROUGH : 0;
    if (MoveFileExW(long_path(from).c_str(), long_path(to).c_str(),
                    MOVEFILE_REPLACE_EXISTING | MOVEFILE_COPY_ALLOWED | write_through)) {
        return {};
    }
    return last_error();
}

void remove_tree(const std::filesystem::path& path, const std::function<bool()>& stop_requested) {
    if (stop_requested && stop_requested()) {
        return;
    }
    const DWORD attributes = GetFileAttributesW(long_path(path).c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        return;
    }
    // A junction or directory link is a reparse point: removing it removes the link only, so its
    // target is never entered.
    const bool link = (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
    if (!link && (attributes & FILE_ATTRIBUTE_READONLY) != 0) {
        SetFileAttributesW(long_path(path).c_str(), attributes & ~FILE_ATTRIBUTE_READONLY);
    }
    if ((attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
        DeleteFileW(long_path(path).c_str());
        return;
    }
    if (!link) {
        for (const std::wstring& name : directory_entries(path)) {
            remove_tree(path / name, stop_requested);
        }
        if (stop_requested && stop_requested()) {
            return;
        }
    }
    RemoveDirectoryW(long_path(path).c_str());
}

FileLock::FileLock(std::unique_ptr<Native> native, NativeError error)
    : native_(std::move(native)), error_(error) {}
FileLock::FileLock(FileLock&&) noexcept = default;
FileLock& FileLock::operator=(FileLock&&) noexcept = default;
FileLock::~FileLock() = default;

bool FileLock::busy() const {
    return error_.code() == ERROR_SHARING_VIOLATION;
}

namespace {

HANDLE open_lock_file(const std::filesystem::path& path) {
    return CreateFileW(
        long_path(path).c_str(), GENERIC_WRITE | DELETE, 0, nullptr, OPEN_ALWAYS,
        FILE_ATTRIBUTE_NORMAL | FILE_FLAG_DELETE_ON_CLOSE | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
}

bool is_reparse_point(HANDLE file) {
    BY_HANDLE_FILE_INFORMATION info;
    return GetFileInformationByHandle(file, &info) != 0 &&
           (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
}

}  // namespace

// A second opener fails with a sharing violation; the file goes with the last handle, however
// the process ends.
FileLock lock_file(const std::filesystem::path& path) {
    UniqueHandle file(open_lock_file(path));
    // A link at the name is opened as itself, never followed (whatever it names would be deleted
    // on closing), and is replaced: closing it removes it, and the file is made in its place.
    if (file.valid() && is_reparse_point(file.get())) {
        file.reset();  // removes the link
        file.reset(open_lock_file(path));
    }
    if (!file.valid()) {
        return FileLock(nullptr, last_error());
    }
    auto native = std::make_unique<FileLock::Native>();
    native->file = std::move(file);
    return FileLock(std::move(native), {});
}

// A mutex named after the file's full path, in any letter case: the system frees it should its
// holder end, and the file itself stays untouched.
FileLock lock_file_leaving_none(const std::filesystem::path& path) {
    UniqueHandle file(CreateFileW(
        long_path(path).c_str(), GENERIC_WRITE | DELETE, 0, nullptr, CREATE_NEW,
        FILE_ATTRIBUTE_NORMAL | FILE_FLAG_DELETE_ON_CLOSE | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    if (!file.valid()) {
        return FileLock(nullptr, last_error());
    }
    auto native = std::make_unique<FileLock::Native>();
    native->file = std::move(file);
    return FileLock(std::move(native), {});
}

std::vector<std::filesystem::path> names_in_directory(const std::filesystem::path& dir) {
    std::vector<std::filesystem::path> names;
    for (const std::wstring& name : directory_entries(dir)) {
        names.emplace_back(name);
    }
    return names;
}

FileLock wait_for_gate(const std::filesystem::path& path) {
    std::wstring full = long_path(path);
    CharLowerBuffW(full.data(), static_cast<DWORD>(full.size()));
    std::uint64_t hash = 14695981039346656037ULL;  // FNV-1a
    for (const wchar_t c : full) {
        hash = (hash ^ static_cast<std::uint64_t>(c)) * 1099511628211ULL;
    }
    wchar_t name[64];
    swprintf(name, 64, L"Local\\updater-gate-%016llx", static_cast<unsigned long long>(hash));
    UniqueHandle mutex(CreateMutexW(nullptr, FALSE, name));
    if (!mutex.valid()) {
        return FileLock(nullptr, last_error());
    }
    const DWORD waited = WaitForSingleObject(mutex.get(), 10000);
    if (waited != WAIT_OBJECT_0 && waited != WAIT_ABANDONED) {
        return FileLock(nullptr,
                        NativeError(waited == WAIT_TIMEOUT ? ERROR_TIMEOUT : GetLastError()));
    }
    auto native = std::make_unique<FileLock::Native>();
    native->file = std::move(mutex);
    native->owns_mutex = true;
    return FileLock(std::move(native), {});
}

std::optional<std::int64_t> free_space(const std::filesystem::path& dir) {
    ULARGE_INTEGER available{};
    if (!GetDiskFreeSpaceExW(long_path(dir.empty() ? L"." : dir).c_str(), &available, nullptr,
                             nullptr)) {
        return std::nullopt;
    }
    return static_cast<std::int64_t>(available.QuadPart);
}

void remove_file(const std::filesystem::path& path) {
    const std::wstring name = long_path(path);
    if (!DeleteFileW(name.c_str())) {
        RemoveDirectoryW(name.c_str());
    }
}

bool path_exists(const std::filesystem::path& path) {
    return GetFileAttributesW(long_path(path).c_str()) != INVALID_FILE_ATTRIBUTES;
}

bool is_empty_directory(const std::filesystem::path& path) {
    return is_existing_directory(path) && directory_entries(path).empty();
}

std::optional<std::uint64_t> regular_file_size(const std::filesystem::path& path) {
    // Opened, so that a link is followed to what it names.
    const UniqueHandle file(CreateFileW(long_path(path).c_str(), FILE_READ_ATTRIBUTES,
                                        FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                        nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS,
                                        nullptr));
    BY_HANDLE_FILE_INFORMATION info;
    if (!file.valid() || !GetFileInformationByHandle(file.get(), &info) ||
        (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
        return std::nullopt;
    }
    return (static_cast<std::uint64_t>(info.nFileSizeHigh) << 32) | info.nFileSizeLow;
}

bool is_existing_non_regular_file(const std::filesystem::path& path) {
    // Opened with no access rights, which reads nothing and waits for nobody; backup semantics
    // open a directory too, and a link is followed to what it names.
    const UniqueHandle file(CreateFileW(
        long_path(path).c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
        OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    if (!file.valid()) {
        // What can't be opened may still be known for a directory by its attributes.
        return is_existing_directory(path);
    }
    if (GetFileType(file.get()) != FILE_TYPE_DISK) {
        return true;
    }
    BY_HANDLE_FILE_INFORMATION info;
    return GetFileInformationByHandle(file.get(), &info) &&
           (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

struct ReadOnlyFile::Native {
    UniqueHandle file;
};

ReadOnlyFile::ReadOnlyFile() : native_(std::make_unique<Native>()) {}

ReadOnlyFile::~ReadOnlyFile() = default;

NativeError ReadOnlyFile::open(const std::filesystem::path& path, ReadSharing sharing) {
    open_ = false;
    // Without FILE_SHARE_DELETE no one may rename or remove the file while it is open.
    const DWORD share = sharing == ReadSharing::others_may_write
                            ? FILE_SHARE_READ | FILE_SHARE_WRITE
                            : FILE_SHARE_READ;
    native_->file.reset(CreateFileW(long_path(path).c_str(), GENERIC_READ, share, nullptr,
                                    OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
    if (!native_->file.valid()) {
        return last_error();
    }
    // Only a disk file has a size to read up to: a pipe or a device is refused.
    if (GetFileType(native_->file.get()) != FILE_TYPE_DISK) {
        return NativeError(ERROR_INVALID_PARAMETER);
    }
    LARGE_INTEGER size;
    if (GetFileSizeEx(native_->file.get(), &size) == 0) {
        return last_error();
    }
    size_ = static_cast<std::uint64_t>(size.QuadPart);
    open_ = true;
    return {};
}

NativeError ReadOnlyFile::state(FileState& state) const {
    FILE_STANDARD_INFO standard;
    FILE_BASIC_INFO basic;
    if (GetFileInformationByHandleEx(native_->file.get(), FileStandardInfo, &standard,
                                     sizeof standard) == 0 ||
        GetFileInformationByHandleEx(native_->file.get(), FileBasicInfo, &basic, sizeof basic) ==
            0) {
        return last_error();
    }
    state.size = static_cast<std::uint64_t>(standard.EndOfFile.QuadPart);
    state.links = standard.NumberOfLinks;
    state.modified = basic.LastWriteTime.QuadPart;
    state.changed = basic.ChangeTime.QuadPart;
    return {};
}

NativeError ReadOnlyFile::read_at(std::uint64_t offset, char* data, std::size_t size,
                                  std::size_t& got) const {
    OVERLAPPED at{};
    at.Offset = static_cast<DWORD>(offset);
    at.OffsetHigh = static_cast<DWORD>(offset >> 32);
    const DWORD wanted = static_cast<DWORD>(std::min<std::size_t>(size, MAXDWORD));
    DWORD read = 0;
    if (ReadFile(native_->file.get(), data, wanted, &read, &at) == 0) {
        // Reading at or past the end of a file fails with this error instead of reading nothing.
        if (GetLastError() != ERROR_HANDLE_EOF) {
            return last_error();
        }
        read = 0;
    }
    got = read;
    return {};
}
