#include <windows.h>

#include "extract.h"

namespace {

HANDLE as_handle(std::intptr_t value) {
    return reinterpret_cast<HANDLE>(value);
}

// Seconds since 1970 (UTC) as 100-nanosecond intervals since 1601.
FILETIME file_time(std::time_t seconds) {
    const ULONGLONG ticks = (static_cast<ULONGLONG>(seconds) + 11644473600ULL) * 10000000ULL;
    return FILETIME{static_cast<DWORD>(ticks), static_cast<DWORD>(ticks >> 32)};
}

}  // namespace

zip_source_t* archive_source(const std::filesystem::path& path, zip_error_t* error) {
    return zip_source_win32w_create(path.c_str(), 0, -1, error);
}

std::optional<std::filesystem::path> utf8_to_path(const std::string& utf8) {
    if (utf8.empty()) {
        return std::filesystem::path();
    }
    const int length = static_cast<int>(utf8.size());
    const int wide_length =
        MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, utf8.data(), length, nullptr, 0);
    if (wide_length <= 0) {
        return std::nullopt;
    }
    std::wstring wide(static_cast<size_t>(wide_length), L'\0');
    MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, utf8.data(), length, wide.data(),
                        wide_length);
    return std::filesystem::path(wide);
}

OutputFile::OutputFile(const std::filesystem::path& path)
    : handle_(reinterpret_cast<std::intptr_t>(CreateFileW(path.c_str(), GENERIC_WRITE,
                                                          FILE_SHARE_READ, nullptr, CREATE_ALWAYS,
                                                          FILE_ATTRIBUTE_NORMAL, nullptr))) {}

OutputFile::~OutputFile() {
    if (is_open()) {
        CloseHandle(as_handle(handle_));
    }
}

bool OutputFile::is_open() const {
    return as_handle(handle_) != INVALID_HANDLE_VALUE;
}

bool OutputFile::write(const char* data, std::size_t size) {
    while (size > 0) {
        const DWORD chunk = static_cast<DWORD>(size < (1u << 30) ? size : (1u << 30));
        DWORD written = 0;
        if (!WriteFile(as_handle(handle_), data, chunk, &written, nullptr) || written == 0) {
            return false;
        }
        data += written;
        size -= written;
    }
    return true;
}

bool OutputFile::finish(std::optional<std::time_t> mtime, std::optional<unsigned>) {
    // NTFS keeps no Unix permission bits; the file gets the directory's inherited access rules.
    const HANDLE file = as_handle(handle_);
    handle_ = reinterpret_cast<std::intptr_t>(INVALID_HANDLE_VALUE);
    bool ok = true;
    if (mtime) {
        const FILETIME time = file_time(*mtime);
        ok = SetFileTime(file, nullptr, &time, &time) != 0;
    }
    return CloseHandle(file) != 0 && ok;
}
