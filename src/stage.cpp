#include "stage.h"

#include <spdlog/spdlog.h>

#include "confirm.h"
#include "delta_build.h"
#include "held_package.h"
#include "install.h"
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
    fs::path root;
    StagedPaths staged;
    fs::path exe;
};

// A stage gives the root up to an apply at once: what it leaves in current.new/ has no stamp, and
// the apply removes it once the application runs again.
int cancel_stage() {
    spdlog::warn("Staging cancelled");
    return 1;
}

// The removal, too, gives way to an apply that asks for the root.
int fail_stage(const StageLayout& layout, const StopCheck& stop, int code = 1) {
    spdlog::error("Staging failed");
    remove_staged_material(layout.staged, stop);
    return code;
}

// Fills current.new/ from the package: extracted from a full package, built from the installed
// files and a delta. 0, or the exit code of the failure (logged).
int fill_staged_tree(const StageLayout& layout, const HeldPackage& package, const StopCheck& stop) {
    if (!is_delta_package(package)) {
        spdlog::info("Staging {} -> current.new/", package.text);
        return install_package(package, layout.staged.tree, layout.exe, stop) ? 0 : 1;
    }
    DeltaPackage delta;
    DeltaOutcome outcome = read_delta(package, delta);
    if (outcome == DeltaOutcome::done) {
        spdlog::info("Staging {} -> current.new/ (delta from {} installed files)", package.text,
                     installed_files_used(delta.manifest));
        outcome = build_from_delta(package, delta, layout.root / "current", layout.staged.tree,
                                   layout.exe, stop);
    }
    return outcome == DeltaOutcome::done       ? 0
           : outcome == DeltaOutcome::unusable ? unusable_delta_exit
                                               : 1;
}

int stage_package(const StageLayout& layout, const HeldPackage& package, const StagedStamp& stamp,
                  const StopCheck& stop) {
    if (has_staged_material(layout.staged)) {
        spdlog::info("Removing previous staged installation");
        remove_staged_material(layout.staged, stop);
        if (stop()) {
            return cancel_stage();
        }
    }
    const int filled = fill_staged_tree(layout, package, stop);
    if (stop()) {
        return cancel_stage();
    }
    if (filled != 0) {
        return fail_stage(layout, stop, filled);
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

PackageRead read_package(const HeldPackage& package, const std::string& version,
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
        if (!package.path) {
            report_unopenable_package(package.text);
            return {};
        }
        rule.emplace(SignatureRule{with_suffix(*package.path, ".minisig"), *keys, version,
                                   SignatureFailure::ends_run});
    }
    PackageVerification check({"", -1, rule ? &*rule : nullptr, want_sha256});
    if (!check.start()) {
        return {};
    }
    if (!package.path || !package.file.is_open()) {
        if (rule) {
            spdlog::error("Failed to open for hash: {}", package.text);
            spdlog::error("Package signature check failed: package unreadable");
            return {};
        }
        return {true, std::nullopt};
    }
    // Without a signature nothing refuses the package: a read that fails or is stopped leaves
    // it without a SHA-256.
    if (!verify_file(check, package.file, package.text, nullptr, stop_requested) && rule) {
        return {};
    }
    return {true, check.sha256()};
}

int run_stage(const std::string& package, const fs::path& root, const fs::path& exe,
              const std::string& version, const std::vector<std::string>& public_keys,
              bool allow_downgrade) {
    const StageLayout layout{root, staged_paths(root), exe};
    const FileLock lock = start_root_run(root, [&root] { return lock_root(root); });
    if (!lock.held()) {
        return 1;
    }
    StageMark mark(root);
    const StopCheck stop = [&mark] { return mark.stop_requested(); };
    if (!settle_unconfirmed_update(root)) {
        return 1;
    }
    // Held from before its hash and signature are read to the end of the extraction.
    const HeldPackage held(package);
    // Refusals up to here leave an earlier stage as it is.
    if (held.other_than_a_file) {
        report_unopenable_package(held.text);
        return 1;
    }
    const PackageRead read = read_package(held, version, public_keys, true, stop);
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
    return stage_package(layout, held, stamp, stop);
}

int stage_held_package(const fs::path& root, const HeldPackage& package, const StagedStamp& stamp,
                       const fs::path& exe) {
    return stage_package({root, staged_paths(root), exe}, package, stamp, [] { return false; });
}
