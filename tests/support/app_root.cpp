#include "app_root.h"

#include <algorithm>
#include <functional>

namespace support {

bool contains(const Lines& lines, const std::string& line) {
    return std::find(lines.begin(), lines.end(), line) != lines.end();
}

std::string counted_line(std::size_t n, const std::string& package) {
    return "info Extracting " + std::to_string(n) + " files from " + package;
}

std::string completed_line(std::size_t n) {
    return "info Extraction complete: " + std::to_string(n) + " files";
}

std::string summary(const std::string& content) {
    if (content.size() <= 64) {
        return content;
    }
    return std::to_string(content.size()) + " bytes, hash " +
           std::to_string(std::hash<std::string>()(content));
}

Files installed(const fs::path& at) {
    Files files;
    for (const auto& [name, content] : tree(at)) {
        if (name != "starts.txt") {
            files.emplace_back(name, summary(content));
        }
    }
    return files;
}

void AppRoot::use_root(const std::string& name) {
    root = dir / name;
    current = root / "current";
    backup = root / "current.bak";
    staged = root / "current.new";
    marker = root / ".apply-in-progress";
    stamp = root / ".staged";
    pending = root / ".update-pending";
    version_file = root / ".version";
    fs::create_directories(root);
}

Args AppRoot::apply_command(long pid, const std::string& version) const {
    return {"apply",     "--pid",       std::to_string(pid), "--package", package.string(),
            "--app-dir", root.string(), "--version",         version};
}

Args AppRoot::stage_command(const std::string& version) const {
    return {"stage",       "--package", package.string(), "--app-dir",
            root.string(), "--version", version};
}

std::vector<AppStart> AppRoot::starts(std::size_t n) const {
    wait_until([&] { return app_starts(current).size() >= n; });
    return app_starts(current);
}

}  // namespace support
