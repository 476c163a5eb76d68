#include <algorithm>

#include "extract.h"
#include "extract_source.h"
#include "files.h"
#include "native_win.h"

namespace {

// Seconds since 1970 (UTC) as 100-nanosecond intervals since 1601.
FILETIME file_time(std::time_t seconds) {
    const ULONGLONG ticks = (static_cast<ULONGLONG>(seconds) + 11644473600ULL) * 10000000ULL;
    return FILETIME{static_cast<DWORD>(ticks), static_cast<DWORD>(ticks >> 32)};
}

}  // namespace

struct OutputFile::Native {
    UniqueHandle file;
};

struct ArchiveFile::Native {
    UniqueHandle file;
};

ArchiveFile::ArchiveFile() : native_(std::make_unique<Native>()) {}

ArchiveFile::~ArchiveFile() = default;

NativeError ArchiveFile::open(const std::filesystem::path& path) {
    // Others may go on reading and writing the package, as with any file the updater reads.
    native_->file.reset(CreateFileW(long_path(path).c_str(), GENERIC_READ,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                    FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
    LARGE_INTEGER size;
    if (!native_->file.valid() || GetFileSizeEx(native_->file.get(), &size) == 0) {
        return last_error();
    }
    size_ = static_cast<std::uint64_t>(size.QuadPart);
    return {};
}

NativeError ArchiveFile::read_at(std::uint64_t offset, char* data, std::size_t size,
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

unsigned file_creation_mask() {
    return 0;
}

std::optional<std::filesystem::path> utf8_to_path(const std::string& utf8) {
    std::optional<std::wstring> wide = widen(CP_UTF8, utf8);
    if (!wide) {
        return std::nullopt;
    }
    return std::filesystem::path(std::move(*wide));
}

OutputFile::OutputFile(const std::filesystem::path& path)
    : native_(std::make_unique<Native>(Native{
          UniqueHandle(CreateFileW(long_path(path).c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                                   CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr))})) {
    if (!native_->file.valid()) {
        error_ = last_error();
    }
}

OutputFile::~OutputFile() = default;

NativeError OutputFile::write(const char* data, std::size_t size) {
    return write_handle(native_->file.get(), data, size);
}

NativeError OutputFile::finish(std::optional<std::time_t> mtime, std::optional<unsigned>) {
    // NTFS keeps no Unix permission bits; the file gets the directory's inherited access rules.
    const HANDLE file = native_->file.release();
    NativeError error;
    const FILETIME time = file_time(mtime.value_or(0));
    if (mtime && SetFileTime(file, nullptr, &time, &time) == 0) {
        error = last_error();
    }
    // Flushed one by one as they are closed: what makes the extracted files survive a power cut
    // on Windows before the new version is committed.
    if (durable_writes && FlushFileBuffers(file) == 0 && error.ok()) {
        error = last_error();
    }
    if (CloseHandle(file) == 0 && error.ok()) {
        error = last_error();
    }
    return error;
}
