#include "process.h"

bool is_process_running(const std::string&) {
    return false;
}
