#pragma once

#include <zip.h>

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <memory>

#include "files.h"

// The package as libzip reads it: through a buffer of a mebibyte, so that reading the archive
// costs about one system call per MiB and libzip's many small seeks and reads cost none.

// A source reading the open archive file, which must stay open until the source is freed; it
// reads at its own offsets, so others may read the file meanwhile. nullptr (and `error` set) when
// the file is not open. An empty file is no archive.
zip_source_t* archive_source(const ReadOnlyFile& file, zip_error_t* error);
