#include <cerrno>
#include <cstdio>
#include <cstring>

#include "text.h"

std::filesystem::path to_path(const std::string& narrow) {
    return std::filesystem::path(narrow);
}

std::string to_narrow(const std::filesystem::path& path) {
    return path.native();
}

std::string error_text(unsigned long code) {
    const char* text = std::strerror(static_cast<int>(code));
    return text != nullptr && *text != '\0' ? text : "unknown error";
}

unsigned long rename_path(const std::filesystem::path& from, const std::filesystem::path& to) {
    return std::rename(from.c_str(), to.c_str()) == 0 ? 0 : static_cast<unsigned long>(errno);
}
