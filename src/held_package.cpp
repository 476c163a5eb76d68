#include "held_package.h"

#include <spdlog/spdlog.h>

HeldPackage::HeldPackage(const std::optional<std::filesystem::path>& package) {
    FileState opened;
    if (package && file.open(*package, ReadSharing::others_may_only_read).ok() &&
        file.state(opened).ok()) {
        state = opened;
    }
}

bool package_unchanged(const HeldPackage& package, const std::string& package_text) {
    FileState now;
    if (package.state && package.file.state(now).ok() && now == *package.state) {
        return true;
    }
    spdlog::error("Package changed while it was being installed: {}", package_text);
    return false;
}
