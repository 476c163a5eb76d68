#pragma once

// The manifest of a delta package, `.delta/manifest.json`: every file and directory of the new
// tree, and for each file how a stage makes it from the installed files and the package. It is
// written by `pack --base` and read by `stage` and `apply`; the README documents its layout.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// The format this build writes and the only one it reads.
inline constexpr std::int64_t delta_format = 1;
// Everything of the delta's own lives under this top-level directory of the zip.
inline constexpr std::string_view delta_directory = ".delta";
inline constexpr std::string_view delta_manifest_entry = ".delta/manifest.json";

// How a file of the new tree is made.
enum class DeltaSource {
    unchanged,  // copied from the installed file at the same path
    patched,    // decoded from a zstd patch with the installed file as the reference
    whole,      // extracted from the ordinary entry at its path
};

struct DeltaFile {
    // UTF-8, `/` as separator, relative to the tree.
    std::string path;
    std::uint64_t size = 0;
    // The new file's SHA-256, 64 lower-case hexadecimal characters.
    std::string sha256;
    // The Unix permission bits recorded for it, as a full package's entry records them.
    unsigned mode = 0644;
    DeltaSource source = DeltaSource::whole;
    // Unchanged and patched: the SHA-256 the installed file must have. Empty for whole files.
    std::string base_sha256;
};

struct DeltaManifest {
    // The SHA-256 of the full package the delta was made against (for the record; a stage checks
    // the installed files, not a package).
    std::string base_package_sha256;
    // Every directory of the new tree, in path order.
    std::vector<std::string> directories;
    // Every file of the new tree, in path order.
    std::vector<DeltaFile> files;
};

// The entry of the zip that holds the patch of the file at `path`.
std::string patch_entry_name(const std::string& path);

// The manifest as JSON: the same bytes for the same manifest (keys in a fixed order).
std::string manifest_json(const DeltaManifest& manifest);

// Reads a manifest. A text that is not a manifest of a format this build knows logs "Malformed
// delta manifest" or "Unsupported delta format {n}" and gives nothing. Values are checked for
// their form (hexadecimal digests, known sources, modes within 0777); the paths are not checked
// here, as the names of entries are checked where they are used.
std::optional<DeltaManifest> parse_manifest(std::string_view text);
