#pragma once

#include <filesystem>
#include <functional>
#include <optional>
#include <string>

#include "files.h"

// Asked between entries and between the pieces of an entry's data; true ends the extraction at
// once, with nothing logged.
using StopCheck = std::function<bool()>;

// Unpacks every entry of the zip archive held open in `package` into dest_dir, stopping at the
// first entry that fails, or when `stop_requested` says so; `path`, where it was opened from,
// names it in the log. True when every entry was written. A package whose opening failed fails
// as one that can't be opened.
[[nodiscard]] bool extract_zip(const ReadOnlyFile& package, const std::filesystem::path& path,
                               const std::filesystem::path& dest_dir,
                               const StopCheck& stop_requested = {});

// extract_zip for the package at `package`, opened for the extraction alone.
[[nodiscard]] bool extract_zip(const std::filesystem::path& package,
                               const std::filesystem::path& dest_dir);

void report_unopenable_package(const std::string& package_text);

// Platform pieces of extraction.

// The permission bits the system takes away from every file it creates (the umask); none on
// Windows. Read once per run: on Linux reading it takes two system calls.
unsigned file_creation_mask();
