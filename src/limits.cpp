#include "files.h"
#include "transfer_limits.h"

// Each program sets these through its build (CMakeLists.txt): the updater its real values, the
// tests' variants small limits or no flushing.
const TransferLimits transfer_limits{UPDATER_FREE_SPACE_FLOOR, UPDATER_STALL_SECONDS,
                                     UPDATER_STALL_BYTES_PER_SECOND};
const bool durable_writes = UPDATER_DURABLE_WRITES;
