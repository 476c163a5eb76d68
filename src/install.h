#pragma once

#include <filesystem>

#include "extract.h"
#include "held_package.h"

// Fills `destination`, made here, with the held package's contents: the one way both `apply`
// and `stage` install a package. True when every entry came out, the package did not change
// meanwhile and `exe` is a regular file in the result; each failure is logged. False, with
// nothing more logged, once `stop_requested` says so.
[[nodiscard]] bool install_package(const HeldPackage& package,
                                   const std::filesystem::path& destination,
                                   const std::filesystem::path& exe,
                                   const StopCheck& stop_requested = {});

// True when `exe` is a regular file in `destination`; logged as the package's failure when not. A
// package without it (no entries at all, or everything under a top folder) would leave an
// installation that cannot start.
[[nodiscard]] bool has_executable(const HeldPackage& package,
                                  const std::filesystem::path& destination,
                                  const std::filesystem::path& exe);
