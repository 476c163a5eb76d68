#include "download.h"

// Each program sets these through its build (CMakeLists.txt): the updater its real values, the
// tests' second build small ones.
const TransferLimits transfer_limits{UPDATER_FREE_SPACE_FLOOR, UPDATER_STALL_SECONDS,
                                     UPDATER_STALL_BYTES_PER_SECOND};
