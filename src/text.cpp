#include "text.h"

std::string path_text(const std::filesystem::path& path) {
    try {
        return to_narrow(path);
    } catch (const std::exception&) {
        const auto utf8 = path.u8string();
        return std::string(utf8.begin(), utf8.end());
    }
}

std::string ascii_lower(std::string text) {
    for (char& c : text) {
        if (c >= 'A' && c <= 'Z') {
            c = static_cast<char>(c - 'A' + 'a');
        }
    }
    return text;
}

std::filesystem::path application_root(const std::string& app_dir) {
    return app_dir.empty() ? std::filesystem::current_path() : to_path(app_dir);
}
