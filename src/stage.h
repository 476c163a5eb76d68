#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "extract.h"
#include "held_package.h"
#include "staged_stamp.h"

// The exit code of a run whose package is a delta that can't be used here: malformed, or made
// against other installed files. The package is fine; the full package is needed instead.
inline constexpr int unusable_delta_exit = 2;

// Handler of `stage`: extracts the package into current.new/ under root while the application
// keeps running from current/, makes the tree durable and then writes the stamp .staged, which a
// later `apply` of the same package and version swaps in with two renames. With public keys, the
// package must verify as `apply` requires. Returns the exit code.
int run_stage(const std::string& package, const std::filesystem::path& root,
              const std::filesystem::path& exe, const std::string& version,
              const std::vector<std::string>& public_keys, bool allow_downgrade = false);

// What one read of a package found.
struct PackageRead {
    // False when public keys were given and the signature was refused (logged).
    bool accepted = false;
    // The package's SHA-256 as lower-case hexadecimal text, when asked for and the package could
    // be read whole.
    std::optional<std::string> sha256;
};

// Reads the held package at most once: for its signature when keys are given
// (refusals logged as `apply` logs them), and for its SHA-256 when `want_sha256`. A package that
// could not be opened has no SHA-256, silently when no keys are given. `stop_requested` can end
// the reading early.
PackageRead read_package(const HeldPackage& package, const std::string& version,
                         const std::vector<std::string>& public_keys, bool want_sha256,
                         const StopCheck& stop_requested = {});

// Stages the held package into current.new/ under root as `stage` does, for `apply`, which holds
// the root already and has checked the package; whatever was staged there is replaced. Returns
// the exit code.
int stage_held_package(const std::filesystem::path& root, const HeldPackage& package,
                       const StagedStamp& stamp, const std::filesystem::path& exe);
