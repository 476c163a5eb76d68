#pragma once

// Building the next installation from a delta package (delta_manifest.h) and the installed files:
// the base is checked before anything is written, and every file written is checked against the
// manifest as it is written.

#include <cstddef>
#include <ctime>
#include <filesystem>
#include <optional>

#include "delta_manifest.h"
#include "extract.h"
#include "held_package.h"

// True when the held package is a delta: it holds the manifest entry. A package that can't be
// read as a zip is none; its extraction then reports it.
[[nodiscard]] bool is_delta_package(const HeldPackage& package);

// A delta package's manifest, and the time every file built from it is given: the manifest
// entry's, which is every entry's.
struct DeltaPackage {
    DeltaManifest manifest;
    std::optional<std::time_t> time;
};

// What reading or using a delta came to; every failure is logged where it is found.
enum class DeltaOutcome {
    done,
    // As a full package can fail too: a package that can't be read, a full disk, a file that
    // can't be written, or a stop asked for (nothing logged then).
    failed,
    // The delta is malformed or does not fit the installed files: the full package is needed.
    unusable,
};

// Reads the held delta's manifest (at most 64 MiB) and checks its paths by the rules extraction
// applies to entries' names; a path they refuse makes the manifest malformed.
DeltaOutcome read_delta(const HeldPackage& package, DeltaPackage& delta);

// The installed files a delta takes from: its unchanged and patched files.
std::size_t installed_files_used(const DeltaManifest& manifest);

// Fills `destination`, made here, from the installed tree `installed` and the held delta. First
// every installed file the delta takes from is checked (a regular file, not reached through a
// link, with the listed SHA-256), on two threads; only then is anything written: the manifest's
// directories, the whole files extracted as a package's entries are, the unchanged files copied,
// the patched ones decoded with the installed file as the reference. Every file gets the
// manifest's size, SHA-256 (both checked), mode (through the umask) and the delta's time. Ends
// with "Built ..." and `exe` a regular file in the result, the package unchanged meanwhile.
DeltaOutcome build_from_delta(const HeldPackage& package, const DeltaPackage& delta,
                              const std::filesystem::path& installed,
                              const std::filesystem::path& destination,
                              const std::filesystem::path& exe,
                              const StopCheck& stop_requested = {});
