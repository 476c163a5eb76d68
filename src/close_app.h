#pragma once

#include <cstdint>
#include <string>

// Handler of `close-app`: asks the application running from `exe` to quit and waits for every
// process running from it to end, up to timeout_ms (30 s when not positive). Returns the exit
// code.
int run_close_app(const std::string& exe, std::int32_t timeout_ms);
