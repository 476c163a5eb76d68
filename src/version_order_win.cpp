#include "files_win.h"
#include "version_order.h"

NativeError read_file_start_unfollowed(const std::filesystem::path& path, std::size_t limit,
                                       std::string& text) {
    // A link or junction at the name is opened as itself, and then refused.
    const UniqueHandle file(CreateFileW(long_path(path).c_str(), GENERIC_READ,
                                        FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                        nullptr, OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT,
                                        nullptr));
    if (!file.valid()) {
        return last_error();
    }
    BY_HANDLE_FILE_INFORMATION info;
    if (!GetFileInformationByHandle(file.get(), &info)) {
        return last_error();
    }
    if ((info.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) != 0 ||
        GetFileType(file.get()) != FILE_TYPE_DISK) {
        return NativeError(ERROR_CANT_ACCESS_FILE);
    }
    text.assign(limit, '\0');
    std::size_t filled = 0;
    while (filled < limit) {
        DWORD got = 0;
        if (!ReadFile(file.get(), text.data() + filled, static_cast<DWORD>(limit - filled), &got,
                      nullptr)) {
            return last_error();
        }
        if (got == 0) {
            break;
        }
        filled += got;
    }
    text.resize(filled);
    return {};
}
