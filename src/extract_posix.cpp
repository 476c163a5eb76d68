#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>

#include "extract.h"

unsigned file_creation_mask() {
    // Reading the mask means setting it, so it is put back at once.
    const mode_t mask = umask(022);
    umask(mask);
    return mask;
}
