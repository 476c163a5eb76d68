#include <algorithm>

#include "extract.h"
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
                                   CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr))})) {}

OutputFile::~OutputFile() = default;

bool OutputFile::is_open() const {
    return native_->file.valid();
}

bool OutputFile::write(const char* data, std::size_t size) {
    return write_handle(native_->file.get(), data, size).ok();
}

bool OutputFile::finish(std::optional<std::time_t> mtime, std::optional<unsigned>) {
    // NTFS keeps no Unix permission bits; the file gets the directory's inherited access rules.
    const HANDLE file = native_->file.release();
    bool ok = true;
    if (mtime) {
        const FILETIME time = file_time(*mtime);
        ok = SetFileTime(file, nullptr, &time, &time) != 0;
    }
    // Flushed one by one as they are closed: what makes the extracted files survive a power cut
    // on Windows before the new version is committed.
    if (durable_writes) {
        ok = FlushFileBuffers(file) != 0 && ok;
    }
    return CloseHandle(file) != 0 && ok;
}
