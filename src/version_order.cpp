#include "version_order.h"

#include <spdlog/spdlog.h>

#include <algorithm>

#include "version.h"

namespace {

constexpr std::size_t version_line_limit = 256;

[[nodiscard]] bool is_control_character(char c) {
    const auto byte = static_cast<unsigned char>(c);
    return byte < 0x20 || byte == 0x7f;
}

}  // namespace

std::optional<std::string> installed_version(const std::filesystem::path& root) {
    std::string text;
    // One byte more than the limit tells a line that fits from one that doesn't.
    if (read_file_start_unfollowed(root / ".version", version_line_limit + 1, text).failed()) {
        return std::nullopt;
    }
    std::size_t end = text.find('\n');
    if (end == std::string::npos) {
        end = text.size();
    } else if (end > 0 && text[end - 1] == '\r') {
        --end;
    }
    if (end > version_line_limit) {
        return std::nullopt;
    }
    text.resize(end);
    if (std::any_of(text.begin(), text.end(), is_control_character)) {
        return std::nullopt;
    }
    return text;
}

bool version_may_install(const std::filesystem::path& root, const std::string& version,
                         bool allow_downgrade) {
    const std::optional<std::string> installed = installed_version(root);
    if (!installed) {
        return true;
    }
    const std::optional<int> order = compare_versions(version, *installed);
    if (!order || *order >= 0) {
        return true;
    }
    if (!allow_downgrade) {
        spdlog::error("Refusing to downgrade from {} to {}", *installed, version);
        return false;
    }
    spdlog::warn("Downgrading from {} to {}", *installed, version);
    return true;
}
