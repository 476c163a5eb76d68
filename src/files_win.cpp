#include <windows.h>

#include <algorithm>
#include <vector>

#include "files.h"

namespace {

// A directory search handle closed when it goes.
struct FindHandle {
    HANDLE handle;
    ~FindHandle() {
        if (handle != INVALID_HANDLE_VALUE) {
            FindClose(handle);
        }
    }
};

std::vector<std::wstring> directory_entries(const std::filesystem::path& dir) {
    std::vector<std::wstring> names;
    WIN32_FIND_DATAW data;
    FindHandle find{FindFirstFileW((dir / L"*").c_str(), &data)};
    if (find.handle == INVALID_HANDLE_VALUE) {
        return names;
    }
    do {
        const std::wstring name = data.cFileName;
        if (name != L"." && name != L"..") {
            names.push_back(name);
        }
    } while (FindNextFileW(find.handle, &data));
    return names;
}

}  // namespace

unsigned long make_directory(const std::filesystem::path& dir) {
    if (CreateDirectoryW(dir.c_str(), nullptr)) {
        return 0;
    }
    const DWORD error = GetLastError();
    const DWORD attributes = GetFileAttributesW(dir.c_str());
    if (error == ERROR_ALREADY_EXISTS && attributes != INVALID_FILE_ATTRIBUTES &&
        (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
        return 0;
    }
    return error;
}

bool is_missing_parent(unsigned long error) {
    return error == ERROR_PATH_NOT_FOUND || error == ERROR_FILE_NOT_FOUND;
}

bool is_in_use(unsigned long error) {
    return error == ERROR_SHARING_VIOLATION || error == ERROR_LOCK_VIOLATION ||
           error == ERROR_ACCESS_DENIED;
}

unsigned long write_whole_file(const std::filesystem::path& path, const std::string& bytes) {
    HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                              nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return GetLastError();
    }
    DWORD error = 0;
    for (size_t done = 0; done < bytes.size() && error == 0;) {
        DWORD written = 0;
        const DWORD chunk = static_cast<DWORD>(std::min<size_t>(bytes.size() - done, 1u << 20));
        if (WriteFile(file, bytes.data() + done, chunk, &written, nullptr)) {
            done += written;
        } else {
            error = GetLastError();
        }
    }
    if (!CloseHandle(file) && error == 0) {
        error = GetLastError();
    }
    return error;
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
