#pragma once

#include <filesystem>
#include <string>

// How a run treats the log it finds: every run empties it first, except one that was refused
// because another run is writing it, which adds its one line to that run's log.
enum class LogStart { fresh, append };

// Makes updater.log in app_dir (or the current directory when app_dir is empty) the destination
// of every log line. A link at the log's name, or a file that has other names too, is replaced
// by a new file of the root's own: the log is never written through to somewhere else. Raises
// when the file cannot be opened.
void init_logging(const std::string& app_dir, LogStart start = LogStart::fresh);

class FileLock;

// Sets up the log of a run that must hold `lock`, taken on `locked`. When another run holds it,
// that run's log is left as it is but for `busy_line` added as an error; any other failure to
// lock is "Failed to lock {}: {}" in a fresh log. True when the run holds the lock and may go on.
[[nodiscard]] bool start_log_under_lock(const std::string& app_dir, const FileLock& lock,
                                        const std::filesystem::path& locked,
                                        const std::string& busy_line);
