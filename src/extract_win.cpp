#include "extract.h"

unsigned file_creation_mask() {
    return 0;
}
