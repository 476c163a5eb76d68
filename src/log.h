#pragma once

#include <filesystem>
#include <string>

// How a run treats the log it finds: every run empties it first, except one that was refused
// because another run is writing it, which adds its one line to that run's log.
enum class LogStart { fresh, append };

// The log's path: updater.log in the application root.
std::filesystem::path log_path(const std::filesystem::path& root);

// Makes the log at log_path(root) the destination of every log line. A link at the log's
// name, or a file that has other names too, is replaced by a new file of the root's own: the log
// is never written through to somewhere else. Raises when the file cannot be opened.
void init_logging(const std::filesystem::path& root, LogStart start = LogStart::fresh);

// Makes standard error the destination of every log line, in the log's line layout, for a run
// that has no application root (pack).
void init_stderr_logging();
