#include <algorithm>

#include "extract.h"
#include "extract_source.h"
#include "files.h"
#include "native_win.h"

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
