#include <windows.h>

#include <cstring>

#include "native_error.h"

NativeError last_error() {
    return NativeError(GetLastError());
}

std::string error_text(NativeError error) {
    constexpr DWORD flags = FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS;
    char buffer[1024];
    const DWORD languages[] = {MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US), 0,
                               MAKELANGID(LANG_NEUTRAL, SUBLANG_NEUTRAL)};
    for (DWORD language : languages) {
        DWORD length = FormatMessageA(flags, nullptr, static_cast<DWORD>(error.code()), language,
                                      buffer, sizeof buffer, nullptr);
        while (length > 0 && std::strchr(" \t\r\n", buffer[length - 1]) != nullptr) {
            --length;
        }
        if (length > 0) {
            return std::string(buffer, length);
        }
    }
    return "unknown error";
}
