#include "root_lock.h"

#include <chrono>
#include <thread>

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

constexpr auto stage_stop_wait = std::chrono::seconds(5);
constexpr auto lock_poll_pause = std::chrono::milliseconds(20);

}  // namespace

fs::path stage_mark_path(const fs::path& root) {
    return root / ".staging";
}

StageMark::StageMark(const fs::path& root) : path_(stage_mark_path(root)) {
    WrittenFile file(path_, WriteMode::replace);
    made_ = file.error().ok() && file.close().ok();
}

StageMark::~StageMark() {
    if (made_) {
        remove_file(path_);
    }
}

bool StageMark::stop_requested() {
    if (made_ && !stopped_) {
        stopped_ = !path_exists(path_);
    }
    return stopped_;
}

RootClaim lock_root_stopping_stage(const fs::path& root) {
    FileLock lock = lock_root(root);
    const fs::path mark = stage_mark_path(root);
    if (!lock.busy() || !path_exists(mark)) {
        return {std::move(lock), false};
    }
    remove_file(mark);
    const Clock::time_point deadline = Clock::now() + stage_stop_wait;
    while (lock.busy() && Clock::now() < deadline) {
        std::this_thread::sleep_for(lock_poll_pause);
        lock = lock_root(root);
    }
    const bool stage_kept_it = lock.busy();
    return {std::move(lock), stage_kept_it};
}

void remove_stale_stage_mark(const fs::path& root) {
    remove_file(stage_mark_path(root));
}
