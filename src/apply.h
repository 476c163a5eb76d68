#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "files.h"

// What an update must pass besides the package's own checks.
struct UpdateChecks {
    // A version lower than the installed one is installed (with a warning) instead of refused.
    bool allow_downgrade = false;
    // With a value, the started application must confirm the update within that many ms, else
    // the old installation goes back.
    std::optional<std::int64_t> confirm_timeout_ms;
};

// Handler of `apply`: replaces current/ under root with the package's contents as a small
// transaction with backup and rollback, then starts the application. With public keys, the
// package must first verify against <package>.minisig by one of them, and a version in the
// signature's trusted comment must be `version`. Returns the exit code.
int run_apply(std::int32_t pid, const std::string& package, const std::filesystem::path& root,
              const std::filesystem::path& exe, const std::string& version, const std::string& args,
              const std::vector<std::string>& public_keys, const UpdateChecks& checks = {});
