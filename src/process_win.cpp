#include "process.h"

bool is_process_running(const std::string&) {
    return false;
}

std::optional<std::string> process_image_path(long) {
    return std::nullopt;
}
