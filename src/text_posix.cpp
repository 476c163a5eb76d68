#include "text.h"

std::filesystem::path to_path(const std::string& narrow) {
    return std::filesystem::path(narrow);
}

std::string to_narrow(const std::filesystem::path& path) {
    return path.native();
}

std::optional<std::filesystem::path> utf8_to_path(const std::string& utf8) {
    return std::filesystem::path(utf8);
}
