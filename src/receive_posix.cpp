#include <cerrno>
#include <cstdint>

#include "receive.h"

std::int32_t write_failure_code(NativeError error) {
    constexpr std::uint32_t disk_full = 0x80070070;  // HRESULT of ERROR_DISK_FULL
    return error.code() == ENOSPC ? static_cast<std::int32_t>(disk_full)
                                  : transfer_code::general_failure;
}
