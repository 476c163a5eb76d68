#include "install.h"

#include <spdlog/spdlog.h>

#include <exception>

#include "files.h"
#include "text.h"

namespace {

namespace fs = std::filesystem;

[[nodiscard]] bool extract_held_package(const HeldPackage& package, const fs::path& destination,
                                        const StopCheck& stop_requested) {
    if (!create_directory_logged(destination)) {
        return false;
    }
    if (!package.path) {
        report_unopenable_package(package.text);
        return false;
    }
    const auto stopped = [&stop_requested] { return stop_requested && stop_requested(); };
    try {
        return extract_zip(package.file, *package.path, destination, stop_requested) &&
               (stopped() || package_unchanged(package));
    } catch (const std::exception& e) {
        spdlog::error("Unexpected error: {}", e.what());
        return false;
    }
}

}  // namespace

bool install_package(const HeldPackage& package, const fs::path& destination, const fs::path& exe,
                     const StopCheck& stop_requested) {
    return extract_held_package(package, destination, stop_requested) &&
           !(stop_requested && stop_requested()) && has_executable(package, destination, exe);
}

bool has_executable(const HeldPackage& package, const fs::path& destination, const fs::path& exe) {
    if (regular_file_size(destination / exe)) {
        return true;
    }
    spdlog::error("Package has no {}: {}", path_text(exe), package.text);
    return false;
}
