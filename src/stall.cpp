#include "stall.h"

#include <utility>

StallRule::StallRule(long seconds, long bytes_per_second, Clock clock)
    : window_(std::chrono::seconds(seconds)),
      least_(static_cast<std::uint64_t>(bytes_per_second) * static_cast<std::uint64_t>(seconds)),
      clock_(std::move(clock)),
      window_start_(clock_()),
      last_growth_(window_start_) {}

void StallRule::received(std::uint64_t total) {
    if (total != received_) {
        received_ = total;
        last_growth_ = clock_();
    }
}

bool StallRule::stalled() {
    if (stalled_) {
        return true;
    }
    const auto now = clock_();
    if (now < window_end()) {
        return false;
    }
    if (received_ - received_at_window_start_ < least_) {
        stalled_ = true;
        return true;
    }
    // The quiet stretch since the last bytes counts against the next window: silence after a
    // burst is caught a window after the burst.
    window_start_ = last_growth_;
    received_at_window_start_ = received_;
    if (now >= window_end()) {
        stalled_ = least_ > 0;
    }
    return stalled_;
}
