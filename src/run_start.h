#pragma once

#include <filesystem>
#include <functional>
#include <string>

#include "files.h"

// The start of a run that changes files (apply, download): it takes the lock it must hold with
// take_lock (the lock on `locked`) and sets up the run's log in root. When another run holds
// the lock, that run's log is left as it is but for `busy_line` added as an error; any other
// failure to lock is "Failed to lock {}: {}" in a fresh log. The run may go on when the returned
// lock is held. Both steps happen inside a gate on the log that every run passes, so that a
// refused run's line never lands before the holder has emptied the log.
[[nodiscard]] FileLock start_locked_run(const std::filesystem::path& root,
                                        const std::function<FileLock()>& take_lock,
                                        const std::filesystem::path& locked,
                                        const std::string& busy_line);

// start_locked_run for a run on an application root (apply, stage): the root is made first, since
// its lock needs it (a root that can't be made shows as a failed lock), and a root that another
// run holds adds "Another update is in progress in <root>" to that run's log.
[[nodiscard]] FileLock start_root_run(const std::filesystem::path& root,
                                      const std::function<FileLock()>& take_lock);
