#include "stall.h"

#include <utility>

StallRule::StallRule(long seconds, long bytes_per_second, Clock clock)
    : window_(std::chrono::seconds(seconds)),
      least_(static_cast<std::uint64_t>(bytes_per_second) * static_cast<std::uint64_t>(seconds)),
      clock_(std::move(clock)),
      window_start_(clock_()) {}

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
    // Asked late, the next window still starts now: a late check never counts a quiet stretch
    // against a window that has not passed.
    window_start_ = now;
    received_at_window_start_ = received_;
    return false;
}
