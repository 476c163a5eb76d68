#include <algorithm>
#include <cstdint>
#include <ctime>
#include <cwchar>
#include <vector>

#include "files.h"
#include "files_win.h"
// After windows.h, which it needs.
#include <winternl.h>

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

std::vector<DirectoryEntry> directory_listing(const std::wstring& long_dir) {
    std::vector<DirectoryEntry> entries;
    WIN32_FIND_DATAW data;
    const UniqueFindHandle find(FindFirstFileExW((long_dir + L"\\*").c_str(), FindExInfoBasic,
                                                 &data, FindExSearchNameMatch, nullptr, 0));
    if (!find.valid()) {
        return entries;
    }
    do {
        const std::wstring name = data.cFileName;
        if (name != L"." && name != L"..") {
            entries.push_back({name, data.dwFileAttributes});
        }
    } while (FindNextFileW(find.get(), &data));
    return entries;
}

bool is_existing_directory(const std::filesystem::path& path) {
    const DWORD attributes = GetFileAttributesW(long_path(path).c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

namespace {

// The system's own form of a path counts its bytes in 16 bits: Windows refuses a longer path
// outright, as it is refused here. Wine would first resolve it element by element, which takes
// minutes for a path thousands of elements deep.
constexpr std::size_t longest_path = 32767;

}  // namespace

NativeError make_directory(const std::filesystem::path& dir) {
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

HeldDirectory::HeldDirectory() : native_(std::make_unique<Native>()) {}
HeldDirectory::~HeldDirectory() = default;
HeldDirectory::HeldDirectory(HeldDirectory&&) noexcept = default;
HeldDirectory& HeldDirectory::operator=(HeldDirectory&&) noexcept = default;

bool HeldDirectory::is_open() const {
    return native_ && native_->handle.valid();
}

void HeldDirectory::close() {
    native_->handle.reset();
}

namespace {

constexpr ULONG share_all = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
// What a held directory is opened for: to open names in it, and to tell what it is.
constexpr ACCESS_MASK directory_access = FILE_TRAVERSE | FILE_READ_ATTRIBUTES | SYNCHRONIZE;

// Opens or creates the single name `name` in the directory `dir`. The system resolves the name
// within that directory alone, and a link at the name is opened as itself, never followed.
NativeError open_relative(const HeldDirectory& dir, const std::wstring& name, ACCESS_MASK access,
                          ULONG share, ULONG disposition, ULONG options, UniqueHandle& opened) {
    if (dir.native().path_length + 1 + name.size() > longest_path) {
        return NativeError(ERROR_FILENAME_EXCED_RANGE);
    }
    UNICODE_STRING text;
    text.Buffer = const_cast<wchar_t*>(name.c_str());
    text.Length = static_cast<USHORT>(name.size() * sizeof(wchar_t));
    text.MaximumLength = text.Length;
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &text, OBJ_CASE_INSENSITIVE, dir.native().handle.get(),
                               nullptr);
    IO_STATUS_BLOCK status_block{};
    HANDLE handle = nullptr;
    const NTSTATUS status =
        NtCreateFile(&handle, access | SYNCHRONIZE, &attributes, &status_block, nullptr,
                     FILE_ATTRIBUTE_NORMAL, share, disposition,
                     options | FILE_SYNCHRONOUS_IO_NONALERT | FILE_OPEN_REPARSE_POINT, nullptr, 0);
    if (status < 0) {
        return NativeError(RtlNtStatusToDosError(status));
    }
    opened.reset(handle);
    return {};
}

[[nodiscard]] bool is_link(HANDLE file) {
    BY_HANDLE_FILE_INFORMATION info;
    return GetFileInformationByHandle(file, &info) == 0 ||
           (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
}

}  // namespace

NativeError path_length_error(const std::filesystem::path& path) {
    return long_path(path).size() > longest_path ? NativeError(ERROR_FILENAME_EXCED_RANGE)
                                                 : NativeError();
}

NativeError open_directory(const std::filesystem::path& path, HeldDirectory& dir) {
    const std::wstring full = long_path(path);
    dir.native().handle.reset(CreateFileW(full.c_str(), directory_access, share_all, nullptr,
                                          OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    dir.native().path_length = full.size();
    return dir.is_open() ? NativeError() : last_error();
}

NativeError open_subdirectory(const HeldDirectory& parent, const std::filesystem::path& name,
                              bool make, HeldDirectory& dir) {
    UniqueHandle opened;
    NativeError made;
    if (make) {
        made = open_relative(parent, name.native(), directory_access, share_all, FILE_CREATE,
                             FILE_DIRECTORY_FILE, opened);
        if (made.failed() && made.code() != ERROR_ALREADY_EXISTS) {
            return made;
        }
    }
    if (!opened.valid()) {
        const NativeError error = open_relative(parent, name.native(), directory_access, share_all,
                                                FILE_OPEN, FILE_DIRECTORY_FILE, opened);
        // A file or a link where the directory should be: making it failed, and that says why.
        if (error.failed() || is_link(opened.get())) {
            return made.failed()    ? made
                   : error.failed() ? error
                                    : NativeError(ERROR_CANT_ACCESS_FILE);
        }
    }
    dir.native().handle = std::move(opened);
    dir.native().path_length = parent.native().path_length + 1 + name.native().size();
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

// Creates `name` in `dir` exclusively. Only when something is there already is it looked at: a
// file or a link is removed as itself and the creation tried once more; a directory refuses the
// removal (as "access denied", the error of opening one to write).
NativeError create_in(const HeldDirectory& dir, const std::wstring& name, UniqueHandle& file) {
    // Readers and a rename of the file stay possible while it is open, as for any written file.
    const auto create = [&] {
        return open_relative(dir, name, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_DELETE,
                             FILE_CREATE, FILE_NON_DIRECTORY_FILE, file);
    };
    const NativeError error = create();
    if (error.code() != ERROR_ALREADY_EXISTS) {
        return error;
    }
    UniqueHandle existing;
    if (const NativeError removal =
            open_relative(dir, name, DELETE, share_all, FILE_OPEN,
                          FILE_NON_DIRECTORY_FILE | FILE_DELETE_ON_CLOSE, existing);
        removal.failed()) {
        return removal;
    }
    existing.reset();  // removes it
    return create();
}

}  // namespace

struct WrittenFile::Native {
    UniqueHandle file;
};

WrittenFile::WrittenFile(const std::filesystem::path& path, WriteMode mode)
    : native_(std::make_unique<Native>()), error_(open_written_file(path, mode, native_->file)) {}

WrittenFile::WrittenFile(const HeldDirectory& dir, const std::filesystem::path& name)
    : native_(std::make_unique<Native>()), error_(create_in(dir, name.native(), native_->file)) {}

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

namespace {

// Removes what `dir` (in long_path form) holds but its directories, whose names are returned,
// asking `stop_requested` before each entry; `stopped` tells that it said so. A junction or
// directory link is a reparse point: removing it removes the link only, so its target is never
// entered.
std::vector<std::wstring> remove_all_but_directories(const std::wstring& dir,
                                                     const std::function<bool()>& stop_requested,
                                                     bool& stopped) {
    std::vector<std::wstring> subdirectories;
    for (const DirectoryEntry& entry : directory_listing(dir)) {
        if (stop_requested && stop_requested()) {
            stopped = true;
            break;
        }
        const std::wstring path = dir + L"\\" + entry.name;
        const bool link = (entry.attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
        if (!link && (entry.attributes & FILE_ATTRIBUTE_READONLY) != 0) {
            SetFileAttributesW(path.c_str(), entry.attributes & ~FILE_ATTRIBUTE_READONLY);
        }
        if ((entry.attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
            DeleteFileW(path.c_str());
        } else if (link) {
            RemoveDirectoryW(path.c_str());
        } else {
            subdirectories.push_back(entry.name);
        }
    }
    return subdirectories;
}

}  // namespace

// Depth first without recursion, whatever the depth: what is kept per level is the names of its
// subdirectories still to do, and the path of the directory being emptied grows and shrinks by
// one name at a time.
void remove_tree(const std::filesystem::path& path, const std::function<bool()>& stop_requested) {
    if (stop_requested && stop_requested()) {
        return;
    }
    std::wstring current = long_path(path);
    const DWORD attributes = GetFileAttributesW(current.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        return;
    }
    const bool link = (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
    if (!link && (attributes & FILE_ATTRIBUTE_READONLY) != 0) {
        SetFileAttributesW(current.c_str(), attributes & ~FILE_ATTRIBUTE_READONLY);
    }
    if ((attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
        DeleteFileW(current.c_str());
        return;
    }
    std::vector<std::vector<std::wstring>> pending;
    bool stopped = false;
    if (!link) {
        pending.push_back(remove_all_but_directories(current, stop_requested, stopped));
    }
    while (!pending.empty()) {
        if (stopped) {
            return;
        }
        if (!pending.back().empty()) {
            current += L"\\" + pending.back().back();
            pending.push_back(remove_all_but_directories(current, stop_requested, stopped));
            continue;
        }
        pending.pop_back();
        if (pending.empty()) {
            break;
        }
        // Done with this directory: up again, and removed from there.
        RemoveDirectoryW(current.c_str());
        current.resize(current.rfind(L'\\'));
        pending.back().pop_back();
    }
    RemoveDirectoryW(current.c_str());
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

NativeError list_directory(const std::filesystem::path& dir,
                           std::vector<std::filesystem::path>& names) {
    names.clear();
    WIN32_FIND_DATAW data;
    const UniqueFindHandle find(FindFirstFileW(long_path(dir / L"*").c_str(), &data));
    if (!find.valid()) {
        return last_error();
    }
    do {
        const std::wstring name = data.cFileName;
        if (name != L"." && name != L"..") {
            names.emplace_back(name);
        }
    } while (FindNextFileW(find.get(), &data));
    const DWORD ended = GetLastError();
    return ended == ERROR_NO_MORE_FILES ? NativeError() : NativeError(ended);
}

std::vector<std::filesystem::path> names_in_directory(const std::filesystem::path& dir) {
    std::vector<std::filesystem::path> names;
    static_cast<void>(list_directory(dir, names));
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
    return is_existing_directory(path) && names_in_directory(path).empty();
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

NativeError ReadOnlyFile::open_in(const HeldDirectory& dir, const std::filesystem::path& name) {
    open_ = false;
    UniqueHandle opened;
    if (const NativeError error =
            open_relative(dir, name.native(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                          FILE_OPEN, FILE_NON_DIRECTORY_FILE | FILE_SEQUENTIAL_ONLY, opened);
        error.failed()) {
        return error;
    }
    // The link itself was opened, never followed: it is no regular file.
    if (is_link(opened.get())) {
        return NativeError(ERROR_CANT_ACCESS_FILE);
    }
    LARGE_INTEGER size;
    if (GetFileSizeEx(opened.get(), &size) == 0) {
        return last_error();
    }
    native_->file = std::move(opened);
    size_ = static_cast<std::uint64_t>(size.QuadPart);
    open_ = true;
    return {};
}

namespace {

// The copy as extraction would have written it: the stamp's time, no attribute of the source's
// (CopyFileExW takes them along, read-only included), and flushed as WrittenFile::close flushes.
NativeError stamp_copy(const HeldDirectory& dir, const std::filesystem::path& name,
                       const FileStamp& stamp) {
    UniqueHandle file;
    if (const NativeError error = open_relative(
            dir, name.native(), GENERIC_WRITE | FILE_WRITE_ATTRIBUTES,
            FILE_SHARE_READ | FILE_SHARE_DELETE, FILE_OPEN, FILE_NON_DIRECTORY_FILE, file);
        error.failed()) {
        return error;
    }
    FILE_BASIC_INFO basic{};
    basic.FileAttributes = FILE_ATTRIBUTE_NORMAL;
    if (stamp.modified) {
        const FILETIME time = file_time(*stamp.modified);
        basic.LastWriteTime.QuadPart = static_cast<LONGLONG>(
            (static_cast<ULONGLONG>(time.dwHighDateTime) << 32) | time.dwLowDateTime);
    }
    if (!SetFileInformationByHandle(file.get(), FileBasicInfo, &basic, sizeof basic)) {
        return last_error();
    }
    if (durable_writes && !FlushFileBuffers(file.get())) {
        return last_error();
    }
    return {};
}

}  // namespace

NativeError ReadOnlyFile::copy_into(const HeldDirectory& dir, const std::filesystem::path& name,
                                    const std::filesystem::path& source_path,
                                    const std::filesystem::path& target_path,
                                    const FileStamp& stamp) const {
    if (!CopyFileExW(long_path(source_path).c_str(), long_path(target_path).c_str(), nullptr,
                     nullptr, nullptr, COPY_FILE_FAIL_IF_EXISTS)) {
        return last_error();
    }
    return stamp_copy(dir, name, stamp);
}
