#pragma once

#include <filesystem>
#include <optional>
#include <string>

// Unpacks every entry of the zip archive at zip_path into dest_dir, stopping at the first entry
// that fails. True when every entry was written.
[[nodiscard]] bool extract_zip(const std::string& zip_path, const std::string& dest_dir);

// Platform pieces of extraction.

// The permission bits the system takes away from every file it creates (the umask); none on
// Windows. Read once per run: on Linux reading it takes two system calls.
unsigned file_creation_mask();

// The native path for one name given in UTF-8; nothing when a character has no exact native
// form.
std::optional<std::filesystem::path> utf8_to_path(const std::string& utf8);
