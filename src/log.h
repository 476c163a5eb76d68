#pragma once

#include <filesystem>
#include <functional>
#include <string>

#include "files.h"

// How a run treats the log it finds: every run empties it first, except one that was refused
// because another run is writing it, which adds its one line to that run's log.
enum class LogStart { fresh, append };

// Makes updater.log in app_dir (or the current directory when app_dir is empty) the destination
// of every log line. A link at the log's name, or a file that has other names too, is replaced
// by a new file of the root's own: the log is never written through to somewhere else. Raises
// when the file cannot be opened.
void init_logging(const std::string& app_dir, LogStart start = LogStart::fresh);

// Takes the lock a run must hold with take_lock (the lock on `locked`) and sets up the run's log.
// When another run holds the lock, that run's log is left as it is but for `busy_line` added as
// an error; any other failure to lock is "Failed to lock {}: {}" in a fresh log. The run may go
// on when the returned lock is held. Both steps happen inside a gate on the log that every run
// passes, so that a refused run's line never lands before the holder has emptied the log.
[[nodiscard]] FileLock lock_and_start_log(const std::string& app_dir,
                                          const std::function<FileLock()>& take_lock,
                                          const std::filesystem::path& locked,
                                          const std::string& busy_line);
