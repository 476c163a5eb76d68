#pragma once

#include <cstddef>
#include <ctime>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>

#include "error.h"

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

// A file being written by extraction, created or truncated when constructed; closed when it
// goes. Failures are the system's own errors, so that they can be reported as it words them.
class OutputFile {
  public:
    explicit OutputFile(const std::filesystem::path& path);
    ~OutputFile();
    OutputFile(const OutputFile&) = delete;
    OutputFile& operator=(const OutputFile&) = delete;

    // Why the file could not be created; success when it is open.
    [[nodiscard]] NativeError error() const { return error_; }
    NativeError write(const char* data, std::size_t size);
    // Gives the file its entry's time stamp and, where the file system keeps them, the
    // permission bits (already limited by file_creation_mask), then closes it. The first failure
    // of any of that.
    NativeError finish(std::optional<std::time_t> mtime, std::optional<unsigned> permissions);

  private:
    struct Native;  // the platform's open file
    std::unique_ptr<Native> native_;
    NativeError error_;
};
