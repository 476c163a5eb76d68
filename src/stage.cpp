#include "stage.h"

#include <spdlog/spdlog.h>

#include <exception>

#include "confirm.h"
#include "held_package.h"
#include "package_verification.h"
#include "root_lock.h"
#include "run_start.h"
#include "signature.h"
#include "staged_stamp.h"
#include "text.h"
#include "version_order.h"

namespace {

namespace fs = std::filesystem;

struct StageLayout {
    std::string package_text;
    std::optional<fs::path> package;  // nothing when the name has no path form
    fs::path root;
    StagedPaths staged;
    fs::path exe;
};

StageLayout make_stage_layout(const std::string& package, const fs::path& root,
                              const fs::path& exe) {
    StageLayout layout{package, std::nullopt, root, staged_paths(root), exe};
    try {
        layout.package = to_path(package);
    } catch (const fs::filesystem_error&) {
        // Left empty: the package then fails as one that can't be opened.
    }
    return layout;
}

// A stage gives the root up to an apply at once: what it leaves in current.new/ has no stamp, and
// the apply removes it once the application runs again.
int cancel_stage() {
    spdlog::warn("Staging cancelled");
    return 1;
}

// The removal, too, gives way to an apply that asks for the root.
int fail_stage(const StageLayout& layout, const StopCheck& stop) {
    spdlog::error("Staging failed");
    remove_staged_material(layout.staged, stop);
    return 1;
}

[[nodiscard]] bool extract_into_staged_tree(const StageLayout& layout, const HeldPackage& package,
                                            const StopCheck& stop) {
    if (!create_directory_logged(layout.staged.tree)) {
        return false;
    }
    if (!layout.package) {
        report_unopenable_package(layout.package_text);
        return false;
    }
    try {
        return extract_zip(package.file, *layout.package, layout.staged.tree, stop) &&
               (stop() || package_unchanged(package, layout.package_text));
    } catch (const std::exception& e) {
        spdlog::error("Unexpected error: {}", e.what());
        return false;
    }
}

// A package without the executable would stage a tree that apply can never use.
[[nodiscard]] bool staged_tree_has_executable(const StageLayout& layout) {
    if (regular_file_size(layout.staged.tree / layout.exe)) {
        return true;
    }
    spdlog::error("Package has no {}: {}", path_text(layout.exe), layout.package_text);
    return false;
}

int stage_package(const StageLayout& layout, const HeldPackage& package, const StagedStamp& stamp,
                  StageMark& mark) {
    const StopCheck stop = [&mark] { return mark.stop_requested(); };
    if (has_staged_material(layout.staged)) {
        spdlog::info("Removing previous staged installation");
        remove_staged_material(layout.staged, stop);
        if (stop()) {
            return cancel_stage();
        }
    }
    spdlog::info("Staging {} -> current.new/", layout.package_text);
    const bool extracted = extract_into_staged_tree(layout, package, stop);
    if (stop()) {
        return cancel_stage();
    }
    if (!extracted || !staged_tree_has_executable(layout)) {
        return fail_stage(layout, stop);
    }
    // The stamp vouches for the tree: the tree must be on the disk before the stamp can be.
    if (!make_durable(layout.root)) {
        return fail_stage(layout, stop);
    }
    if (stop()) {
        return cancel_stage();
    }
    if (!write_stamp(layout.staged.stamp, stamp)) {
        return fail_stage(layout, stop);
    }
    spdlog::info("Staged version {}", stamp.version);
    return 0;
}

}  // namespace

PackageRead read_package(const ReadOnlyFile& file, const std::optional<fs::path>& package,
                         const std::string& package_text, const std::string& version,
                         const std::vector<std::string>& public_keys, bool want_sha256,
                         const StopCheck& stop_requested) {
    if (public_keys.empty() && !want_sha256) {
        return {true, std::nullopt};
    }
    std::optional<std::vector<PublicKey>> keys;
    std::optional<SignatureRule> rule;
    if (!public_keys.empty()) {
        keys = parse_public_keys(public_keys);
        if (!keys) {
            return {};
        }
        if (!package) {
            report_unopenable_package(package_text);
            return {};
        }
        rule.emplace(SignatureRule{with_suffix(*package, ".minisig"), *keys, version,
                                   SignatureFailure::ends_run});
    }
    PackageVerification check({"", -1, rule ? &*rule : nullptr, want_sha256});
    if (!check.start()) {
        return {};
    }
    if (!package || !file.is_open()) {
        if (rule) {
            spdlog::error("Failed to open for hash: {}", package_text);
            spdlog::error("Package signature check failed: package unreadable");
            return {};
        }
        return {true, std::nullopt};
    }
    // Without a signature nothing refuses the package: a read that fails or is stopped leaves
    // it without a SHA-256.
    if (!verify_file(check, file, package_text, nullptr, stop_requested) && rule) {
        return {};
    }
    return {true, check.sha256()};
}

int run_stage(const std::string& package, const fs::path& root, const fs::path& exe,
              const std::string& version, const std::vector<std::string>& public_keys,
              bool allow_downgrade) {
    const StageLayout layout = make_stage_layout(package, root, exe);
    // The lock needs the root to exist; a root that can't be made shows as a failed lock.
    static_cast<void>(make_directories(root));
    const FileLock lock = start_locked_run(
        root, [&root] { return lock_root(root); }, root,
        "Another update is in progress in " + path_text(root));
    if (!lock.held()) {
        return 1;
    }
    StageMark mark(root);
    const StopCheck stop = [&mark] { return mark.stop_requested(); };
    if (!settle_unconfirmed_update(root)) {
        return 1;
    }
    // Refusals up to here leave an earlier stage as it is.
    if (layout.package && is_existing_non_regular_file(*layout.package)) {
        report_unopenable_package(layout.package_text);
        return 1;
    }
    // Held from before its hash and signature are read to the end of the extraction.
    const HeldPackage held(layout.package);
    const PackageRead read = read_package(held.file, layout.package, layout.package_text, version,
                                          public_keys, true, stop);
    if (stop()) {
        return cancel_stage();
    }
    if (!read.accepted || !version_may_install(root, version, allow_downgrade)) {
        return 1;
    }
    const StagedStamp stamp{read.sha256.value_or(""), version, path_text(exe)};
    if (read.sha256 && is_complete_stage(layout.staged, stamp, exe)) {
        spdlog::info("Already staged: version {}", version);
        return 0;
    }
    return stage_package(layout, held, stamp, mark);
}
