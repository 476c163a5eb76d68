#pragma once

#include <filesystem>
#include <string>

// File-system operations whose failures carry the system's own error code (GetLastError value
// or errno), so that logged failures read like the system's messages.

// Creates dir and every missing parent. Returns 0 (also when dir is already a directory) or the
// error code of the step that failed.
unsigned long make_directories(const std::filesystem::path& dir);

// Creates one directory whose parent exists. Returns 0 when it was created or already is a
// directory, else the error code.
unsigned long make_directory(const std::filesystem::path& dir);

// True for the error code make_directory gives when a parent is missing.
bool is_missing_parent(unsigned long error);

// Writes `bytes` as the whole content of the file at path, creating or truncating it; other
// openers may read and write it meanwhile. Returns 0 or the error code.
unsigned long write_whole_file(const std::filesystem::path& path, const std::string& bytes);

// True for an error saying that someone else has the file open for the moment.
bool is_in_use(unsigned long error);

// rename_path, tried again for a few seconds while the source is in use: on Windows a program
// that has just exited can keep its files open a moment longer. Returns 0 or the error code.
unsigned long rename_when_free(const std::filesystem::path& from, const std::filesystem::path& to);

// Removes path with everything below it, best effort. Links and junctions met on the way are
// removed themselves; what they point to is never touched.
void remove_tree(const std::filesystem::path& path);

// Removes a single file, best effort.
void remove_file(const std::filesystem::path& path);

// The path as narrow text for a log line; never fails (characters that have no narrow form are
// shown in UTF-8).
std::string path_text(const std::filesystem::path& path);

// make_directories that logs its failure as "Failed to create directory {}: {}".
bool create_directory_logged(const std::filesystem::path& dir);
