#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>

#include "extract.h"
#include "native_posix.h"

std::optional<std::filesystem::path> utf8_to_path(const std::string& utf8) {
    return std::filesystem::path(utf8);
}

unsigned file_creation_mask() {
    // Reading the mask means setting it, so it is put back at once.
    const mode_t mask = umask(022);
    umask(mask);
    return mask;
}
