#include <cerrno>
#include <cstring>

#include "native_error.h"

NativeError last_error() {
    return NativeError(static_cast<unsigned long>(errno));
}

std::string error_text(NativeError error) {
    const char* text = std::strerror(static_cast<int>(error.code()));
    return text != nullptr && *text != '\0' ? text : "unknown error";
}
