#pragma once

#include <chrono>
#include <cstdint>
#include <functional>

// The rule that ends a transfer that stalls: fewer than bytes_per_second * seconds bytes within a
// window of `seconds`, nothing at all included. A window that had enough ends there, and the next
// one starts when the last of its bytes arrived, so that silence after a burst is a stall one
// window after the burst, not two. It only judges; whoever runs the transfer reports the count as
// it grows and asks again when the window ends, from wherever it waits for the transfer.
class StallRule {
  public:
    using Clock = std::function<std::chrono::steady_clock::time_point()>;

    StallRule(long seconds, long bytes_per_second, Clock clock = std::chrono::steady_clock::now);

    // The running count of bytes received so far.
    void received(std::uint64_t total);
    // True once a whole window has passed with too few bytes in it; it stays true. A window that
    // had enough ends there, and the next one starts.
    [[nodiscard]] bool stalled();
    // When the current window ends: until then stalled() is false.
    std::chrono::steady_clock::time_point window_end() const { return window_start_ + window_; }

  private:
    std::chrono::steady_clock::duration window_;
    std::uint64_t least_;  // bytes a window must bring
    Clock clock_;
    std::chrono::steady_clock::time_point window_start_;
    std::chrono::steady_clock::time_point last_growth_;  // when the count last grew
    std::uint64_t received_ = 0;
    std::uint64_t received_at_window_start_ = 0;
    bool stalled_ = false;
};
