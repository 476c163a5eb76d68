#pragma once

// What a package's entries must be for the updater to install them: the rules for their names and
// methods. Extraction refuses what they refuse, and pack writes nothing they would refuse, so that
// every package pack makes installs.

#include <zip.h>

#include <string>
#include <vector>

// Zip tools on Windows sometimes separate elements with `\`; extraction reads it as a separator.
std::string with_forward_slashes(std::string name);

// The elements of a name (separated by `/`) that lead somewhere: without empty and "." ones.
std::vector<std::string> path_elements(const std::string& name);

// A name that could reach outside the destination (absolute, with a drive letter or stream name,
// or with a `..` element) or that Windows can't hold: a device name, an element ending in a dot
// or a space, or a character Windows refuses. `name` uses `/` as its separator.
[[nodiscard]] bool is_unsafe_name(const std::string& name);

// True for text that is valid UTF-8 (no overlong forms, surrogates or code points past U+10FFFF).
[[nodiscard]] bool is_valid_utf8(const std::string& text);

// A directory entry: its name ends in `/`, or its DOS attributes say so.
[[nodiscard]] bool is_directory_entry(zip_t* archive, zip_uint64_t index, const std::string& name);

// Only the methods every build reads alike (stored and deflated, unencrypted); the library of one
// build may know more than another's.
[[nodiscard]] bool is_readable_method(const zip_stat_t& stat);

class EntryPaths;

// Why extraction would refuse an entry's name, in the order it asks.
enum class NameRefusal {
    none,
    // is_unsafe_name
    unsafe,
    // differs only in letter case from a name before it, or names a file twice (EntryPaths)
    clash,
    // an element has no exact native form (Windows: text that is not valid UTF-8)
    no_native_form,
};

// Checks the name of the next entry, `/`-separated, against the names before it in `paths`.
[[nodiscard]] NameRefusal name_refusal(EntryPaths& paths, const std::string& name, bool directory);
