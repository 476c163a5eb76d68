#pragma once

#include <filesystem>
#include <optional>
#include <string>

// Unpacks every entry of the zip archive at `package` into dest_dir, stopping at the first entry
// that fails. True when every entry was written.
[[nodiscard]] bool extract_zip(const std::filesystem::path& package,
                               const std::filesystem::path& dest_dir);

// Logs that the package, named as given, can't be opened as an archive.
void report_unopenable_package(const std::string& package_text);

// Platform pieces of extraction.

// The permission bits the system takes away from every file it creates (the umask); none on
// Windows. Read once per run: on Linux reading it takes two system calls.
unsigned file_creation_mask();

// The native path for one name given in UTF-8; nothing when a character has no exact native
// form.
std::optional<std::filesystem::path> utf8_to_path(const std::string& utf8);
