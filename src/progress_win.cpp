#include <windows.h>

#include "progress.h"

namespace {

HANDLE standard_output() {
    return GetStdHandle(STD_OUTPUT_HANDLE);
}

}  // namespace

bool occupy_standard_streams() {
    // A program started without handles has none to give away: no file the run opens takes
    // their place.
    const HANDLE output = standard_output();
    return output != nullptr && output != INVALID_HANDLE_VALUE;
}

void survive_closed_pipes() {
    // A write to a pipe without a reader fails with an error; nothing ends the process.
}

bool write_standard_output(const std::string& bytes) {
    const char* data = bytes.data();
    DWORD left = static_cast<DWORD>(bytes.size());
    while (left > 0) {
        DWORD written = 0;
        if (!WriteFile(standard_output(), data, left, &written, nullptr) || written == 0) {
            return false;
        }
        data += written;
        left -= written;
    }
    return true;
}
