#include "files_win.h"
#include "pack.h"

NativeError inspect_tree_entry(const std::filesystem::path& path, TreeEntry& entry) {
    WIN32_FILE_ATTRIBUTE_DATA data{};
    if (!GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data)) {
        return last_error();
    }
    const DWORD attributes = data.dwFileAttributes;
    if ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
        entry.kind = TreeEntryKind::link;
    } else if ((attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
        entry.kind = TreeEntryKind::directory;
    } else if ((attributes & FILE_ATTRIBUTE_DEVICE) != 0) {
        entry.kind = TreeEntryKind::special;
    } else {
        entry.kind = TreeEntryKind::regular;
        // NTFS keeps no Unix permission bits.
        entry.mode = 0644;
    }
    return {};
}

std::optional<std::string> name_as_utf8(const std::filesystem::path& name) {
    const std::wstring& wide = name.native();
    if (wide.empty()) {
        return std::string();
    }
    const int length = static_cast<int>(wide.size());
    const int narrow_length = WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, wide.data(),
                                                  length, nullptr, 0, nullptr, nullptr);
    if (narrow_length <= 0) {
        return std::nullopt;
    }
    std::string narrow(static_cast<std::size_t>(narrow_length), '\0');
    WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, wide.data(), length, narrow.data(),
                        narrow_length, nullptr, nullptr);
    return narrow;
}
