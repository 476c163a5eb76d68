#pragma once

#include <filesystem>
#include <string>

// Narrow text is what the command line delivers: the ANSI code page on Windows, raw bytes on
// Linux. Conversions to and from native paths never substitute characters: a character that
// has no exact counterpart raises std::filesystem::filesystem_error.
std::filesystem::path to_path(const std::string& narrow);
std::string to_narrow(const std::filesystem::path& path);

// The system's message for a native error code (GetLastError value or errno).
std::string error_text(unsigned long code);

// Renames a file or directory, replacing an existing file at the target. Returns 0 or the native
// error code, so that logged failures carry the system's own text.
unsigned long rename_path(const std::filesystem::path& from, const std::filesystem::path& to);
