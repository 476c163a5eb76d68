#pragma once

#include <zip.h>

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <memory>

#include "error.h"

// The package as libzip reads it: through a buffer of a mebibyte, so that reading the archive
// costs about one system call per MiB and libzip's many small seeks and reads cost none.

// A source reading the archive file at its native path; nullptr (and `error` set) when the file
// can't be opened. An empty file is no archive.
zip_source_t* archive_source(const std::filesystem::path& path, zip_error_t* error);

// Platform piece: the package file, opened for reading at any offset.
class ArchiveFile {
  public:
    ArchiveFile();
    ~ArchiveFile();
    ArchiveFile(const ArchiveFile&) = delete;
    ArchiveFile& operator=(const ArchiveFile&) = delete;

    // Opens the regular file at path and learns its size.
    NativeError open(const std::filesystem::path& path);
    std::uint64_t size() const { return size_; }
    // Reads up to `size` bytes at `offset`; `got` is 0 only at the file's end.
    NativeError read_at(std::uint64_t offset, char* data, std::size_t size, std::size_t& got) const;

  private:
    struct Native;  // the platform's open file
    std::unique_ptr<Native> native_;
    std::uint64_t size_ = 0;
};
