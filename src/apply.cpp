#include "apply.h"

#include <spdlog/spdlog.h>

int run_apply(std::int32_t, const std::string&, const std::string&, const std::string&,
              const std::string&, const std::string&) {
    spdlog::error("apply is not available in this build");
    return 1;
}
