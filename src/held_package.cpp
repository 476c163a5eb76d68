#include "held_package.h"

#include <spdlog/spdlog.h>

#include <utility>

#include "text.h"

namespace {

std::optional<std::filesystem::path> path_form(const std::string& text) {
    try {
        return to_path(text);
    } catch (const std::filesystem::filesystem_error&) {
        return std::nullopt;
    }
}

}  // namespace

HeldPackage::HeldPackage(std::string text_)
    : text(std::move(text_)),
      path(path_form(text)),
      other_than_a_file(path && is_existing_non_regular_file(*path)) {
    FileState opened;
    if (path && !other_than_a_file && file.open(*path, ReadSharing::others_may_only_read).ok() &&
        file.state(opened).ok()) {
        state = opened;
    }
}

bool package_unchanged(const HeldPackage& package) {
    FileState now;
    if (package.state && package.file.state(now).ok() && now == *package.state) {
        return true;
    }
    spdlog::error("Package changed while it was being installed: {}", package.text);
    return false;
}
