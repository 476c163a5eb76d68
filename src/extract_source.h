#pragma once

#include <zip.h>

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <memory>

#include "files.h"

// The package as libzip reads it: through a buffer of a mebibyte, so that reading the archive
// costs about one system call per MiB and libzip's many small seeks and reads cost none.

// A source reading the archive file at its native path; nullptr (and `error` set) when the file
// can't be opened. An empty file is no archive.
zip_source_t* archive_source(const std::filesystem::path& path, zip_error_t* error);
