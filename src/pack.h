#pragma once

#include <filesystem>
#include <optional>
#include <string>

#include "native_error.h"

// `updater pack`: makes the package of a release from a build tree, one that apply installs as
// the tree shows it, with its signature and its release record (README, "Publishing a release").

// What one name of the tree is, as the system tells without following a link at it.
enum class TreeEntryKind { regular, directory, link, special };

struct TreeEntry {
    TreeEntryKind kind = TreeEntryKind::special;
    // A regular file's permission bits (Linux: the file's; Windows: 0644).
    unsigned mode = 0644;
};

// Platform pieces of pack.

// What is at path, a link (Windows: any reparse point, junctions included) never followed.
NativeError inspect_tree_entry(const std::filesystem::path& path, TreeEntry& entry);
// One name as UTF-8: Linux gives its bytes as they are (checked as UTF-8 afterwards); Windows
// converts, and gives nothing for a name that has no UTF-8 form.
std::optional<std::string> name_as_utf8(const std::filesystem::path& name);

// Packs `dir` into `output` (with `<output>.minisig` when `secret_key` is given, and
// `<output>.json`); with `base`, a previous full package, the delta package against it. 0 on
// success, 1 on failure. Logs to standard error.
int run_pack(const std::filesystem::path& dir, const std::filesystem::path& output,
             const std::string& version, const std::string& exe,
             const std::optional<std::filesystem::path>& secret_key,
             const std::optional<std::string>& password_file,
             const std::optional<std::filesystem::path>& base = std::nullopt);
