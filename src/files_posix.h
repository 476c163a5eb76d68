#pragma once

// The POSIX side of the files module, for the POSIX files of the modules above it.

#include "files.h"
#include "native_posix.h"

struct HeldDirectory::Native {
    UniqueFd fd;
};

struct FileLock::Native {
    UniqueFd fd;
};

// Takes flock on what fd names (a file or a directory); fd was just opened, so that a failure to
// open is reported with its own errno.
FileLock flock_descriptor(UniqueFd fd);
