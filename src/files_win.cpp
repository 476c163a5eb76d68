#include <algorithm>
#include <vector>

#include "files.h"
#include "native_win.h"

namespace {

std::vector<std::wstring> directory_entries(const std::filesystem::path& dir) {
    std::vector<std::wstring> names;
    WIN32_FIND_DATAW data;
    const UniqueFindHandle find(FindFirstFileW((dir / L"*").c_str(), &data));
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

}  // namespace

NativeError write_handle(HANDLE file, const char* data, std::size_t size) {
    return write_all(data, size, [file](const char* d, std::size_t n, std::size_t& written) {
        return write_some(file, d, n, written);
    });
}

NativeError make_directory(const std::filesystem::path& dir) {
    if (CreateDirectoryW(dir.c_str(), nullptr)) {
        return {};
    }
    const NativeError error = last_error();
    const DWORD attributes = GetFileAttributesW(dir.c_str());
    if (error.code() == ERROR_ALREADY_EXISTS && attributes != INVALID_FILE_ATTRIBUTES &&
        (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
        return {};
    }
    return error;
}

[[nodiscard]] bool is_missing_parent(NativeError error) {
    return error.code() == ERROR_PATH_NOT_FOUND || error.code() == ERROR_FILE_NOT_FOUND;
}

[[nodiscard]] bool is_in_use(NativeError error) {
    return error.code() == ERROR_SHARING_VIOLATION || error.code() == ERROR_LOCK_VIOLATION ||
           error.code() == ERROR_ACCESS_DENIED;
}

NativeError write_whole_file(const std::filesystem::path& path, const std::string& bytes) {
    UniqueHandle file(CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                  nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file.valid()) {
        return last_error();
    }
    const NativeError error = write_handle(file.get(), bytes.data(), bytes.size());
    if (!CloseHandle(file.release()) && error.ok()) {
        return last_error();
    }
    return error;
}

NativeError rename_path(const std::filesystem::path& from, const std::filesystem::path& to) {
    if (MoveFileExW(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_COPY_ALLOWED)) {
        return {};
    }
    return last_error();
}

void remove_tree(const std::filesystem::path& path) {
    const DWORD attributes = GetFileAttributesW(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        return;
    }
    // A junction or directory link is a reparse point: removing it removes the link only, so its
    // target is never entered.
    const bool link = (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
    if (!link && (attributes & FILE_ATTRIBUTE_READONLY) != 0) {
        SetFileAttributesW(path.c_str(), attributes & ~FILE_ATTRIBUTE_READONLY);
    }
    if ((attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
        DeleteFileW(path.c_str());
        return;
    }
    if (!link) {
        for (const std::wstring& name : directory_entries(path)) {
            remove_tree(path / name);
        }
    }
    RemoveDirectoryW(path.c_str());
}
