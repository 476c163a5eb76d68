#include <algorithm>

#include "extract.h"
#include "files.h"
#include "native_win.h"

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
