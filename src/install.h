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
