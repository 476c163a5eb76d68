#include "text.h"

#include <algorithm>
#include <utility>

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

std::vector<std::string> split_lines(const std::string& text) {
    std::vector<std::string> lines;
    std::size_t start = 0;
    while (start < text.size()) {
        const std::size_t end = std::min(text.find('\n', start), text.size());
        std::string line = text.substr(start, end - start);
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        lines.push_back(std::move(line));
        start = end + 1;
    }
    return lines;
}
