#pragma once

#include <cstdint>

// How far a transfer may go. The updater's values are in limits.cpp; tests build a second
// program with small ones, so that a floor or a stall can be reached quickly.
struct TransferLimits {
    // Bytes that must stay free on the output's file system when the size is not known.
    std::int64_t free_space_floor;
    // A transfer slower than stall_bytes_per_second for stall_seconds is a stall.
    long stall_seconds;
    long stall_bytes_per_second;
};
extern const TransferLimits transfer_limits;
