#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

// Narrow text is what the command line delivers: the ANSI code page on Windows, raw bytes on
// Linux. Conversions to and from native paths never substitute characters: a character that
// has no exact counterpart raises std::filesystem::filesystem_error.
std::filesystem::path to_path(const std::string& narrow);
std::string to_narrow(const std::filesystem::path& path);

// The path as narrow text for a log line; never fails (characters that have no narrow form are
// shown in UTF-8).
std::string path_text(const std::filesystem::path& path);

// The application root named by --app-dir: the current directory when it is empty. Raises as
// to_path does.
std::filesystem::path application_root(const std::string& app_dir);

// ASCII letters folded to lower case, whatever the process locale; other bytes stay as they are.
std::string ascii_lower(std::string text);

// The lines of text without their ends (LF or CR LF); the last line may lack its end.
std::vector<std::string> split_lines(const std::string& text);

// The native path for one name given in UTF-8; nothing when a character has no exact native
// form (Windows: text that is not valid UTF-8).
std::optional<std::filesystem::path> utf8_to_path(const std::string& utf8);
