#include <windows.h>

#include <cstdint>

#include "receive.h"

std::int32_t write_failure_code(NativeError error) {
    return static_cast<std::int32_t>(HRESULT_FROM_WIN32(static_cast<DWORD>(error.code())));
}
