#pragma once

// The exclusive hold on an application root that every run changing the root takes, and the mark
// a running stage keeps beside it, through which an apply asks the stage to give the root up.

#include <filesystem>

#include "files.h"

// Platform piece: the exclusive hold on an application root for the length of one run.
FileLock lock_root(const std::filesystem::path& root);

// The mark a running stage keeps beside the root's lock, so that an apply can tell that the
// holder is a stage. An apply removes it to ask the stage to stop.
std::filesystem::path stage_mark_path(const std::filesystem::path& root);

// A stage's mark, present from just after the root's lock is taken until just before it is
// released. Its disappearance is the request to stop.
class StageMark {
  public:
    explicit StageMark(const std::filesystem::path& root);
    ~StageMark();
    StageMark(const StageMark&) = delete;
    StageMark& operator=(const StageMark&) = delete;

    // True once the mark is gone. Without a mark of its own, no one can ask the stage to stop.
    // Asked between entries and pieces of data: one look costs far less than writing either,
    // and the same package makes the same calls on every run.
    [[nodiscard]] bool stop_requested();

  private:
    std::filesystem::path path_;
    bool made_ = false;
    bool stopped_ = false;
};

// How an apply's claim on the root ended.
struct RootClaim {
    FileLock lock;
    // True when a stage held the root and still did after it was asked to stop and waited for.
    bool stage_kept_it = false;
};

// The root's lock for an apply. Held by a stage, the stage is asked to stop and the lock is
// waited for up to 5 s; held by anything else, the answer is at once.
RootClaim lock_root_stopping_stage(const std::filesystem::path& root);

// Removes a mark that a stage killed while it held the root left behind: it would make a later
// apply wait for nothing. Called with the root's lock held.
void remove_stale_stage_mark(const std::filesystem::path& root);
