#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

// Handler of `apply`: replaces current/ under root with the package's contents as a small
// transaction with backup and rollback, then starts the application. With public keys, the
// package must first verify against <package>.minisig by one of them, and a version in the
// signature's trusted comment must be `version`. Returns the exit code.
int run_apply(std::int32_t pid, const std::string& package, const std::filesystem::path& root,
              const std::filesystem::path& exe, const std::string& version, const std::string& args,
              const std::vector<std::string>& public_keys);
