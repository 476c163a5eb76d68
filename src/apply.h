#pragma once

#include <cstdint>
#include <string>

// Handler of `apply`: replaces current/ under app_dir with the package's contents as a small
// transaction with backup and rollback, then starts the application. Returns the exit code.
int run_apply(std::int32_t pid, const std::string& package, const std::string& app_dir,
              const std::string& exe, const std::string& version, const std::string& args);
