#pragma once

// Progress of a run, for the program that started the updater: with --progress, one JSON object
// per line on standard output (JSON Lines), each written whole by one system call. The run's
// steps report here wherever they count their work; without --progress every call returns at once.

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace spdlog {
class logger;
}

// The phases, by the names the lines carry. A new phase needs nothing more than a name here and a
// call of progress_phase where its step begins; phases appear in the order the run reaches them.
namespace phase {
inline constexpr const char* verify = "verify";
inline constexpr const char* download = "download";
inline constexpr const char* extract = "extract";
// Building current.new/ from a delta package and the installed files.
inline constexpr const char* build = "build";
inline constexpr const char* wait = "wait";
inline constexpr const char* swap = "swap";
inline constexpr const char* launch = "launch";
inline constexpr const char* confirm = "confirm";
}  // namespace phase

// The lines a run's progress calls make, decided from the time each call comes (milliseconds
// since the run started): a line at each phase change; within a phase, a line only when something
// changed, at least a third of a second after the one before, plus one closing line with the
// phase's final figures when it is left. That is at most 4 lines in any second of a phase, and one
// every third of a second while bytes flow. A phase once left never comes back: calls for it are
// ignored, and so are figures past them until the next phase begins.
class ProgressLines {
  public:
    using Lines = std::vector<std::string>;

    // Enters a phase of `total` work (-1: unknown), with nothing done.
    Lines enter(const char* phase, std::int64_t total, std::int64_t ms);
    // A transfer starts (over) in `phase`: entered with attempt 1, else the next attempt, whose
    // `done` may be less than the last one's.
    Lines begin_attempt(const char* phase, std::uint64_t done, std::int64_t total, std::int64_t ms);
    Lines set_done(std::uint64_t done, std::int64_t ms);
    Lines add_done(std::uint64_t amount, std::int64_t ms);
    Lines set_total(std::int64_t total, std::int64_t ms);
    // The run's last lines: the current phase's closing figures, if any are unwritten, then
    // {"phase":"done","exit":...}, with the error message when one is given.
    Lines finish(int exit_code, const std::optional<std::string>& error, std::int64_t ms);

  private:
    struct State {
        std::string phase;
        int attempt = 0;  // 0: the phase has no attempts
        std::uint64_t done = 0;
        std::int64_t total = 0;
    };
    Lines begin_attempt_in(const char* phase, std::uint64_t done, std::int64_t total,
                           std::int64_t ms, bool counts_attempts);
    Lines changed(std::int64_t ms);
    Lines leave_phase(std::int64_t ms);
    std::string line(std::int64_t ms) const;

    std::optional<State> state_;
    std::vector<std::string> left_;
    bool muted_ = false;      // a left phase was called for: figures are ignored
    bool unwritten_ = false;  // the state changed since its last line
    std::int64_t last_line_ms_ = 0;
};

// The text as a JSON string, quotes included; bytes that are not UTF-8 become U+FFFD.
std::string json_string(const std::string& text);

// The run-wide progress channel. Set up in main: prepare_progress first of all (it starts the
// run's clock and, on Linux, makes sure standard output can't be taken by a file the run opens),
// start_progress once the command line asked for it, finish_progress with the exit code.
void prepare_progress();
void start_progress(bool wanted);
[[nodiscard]] bool progress_enabled();
// Called by init_logging: the run's error lines are remembered for the last line, and a standard
// output found closed is reported, now that there is a log.
void attach_progress_to_log(spdlog::logger& logger);
void finish_progress(int exit_code);

void progress_phase(const char* phase, std::int64_t total);
void progress_attempt(const char* phase, std::uint64_t done, std::int64_t total);
void progress_done(std::uint64_t done);
void progress_add(std::uint64_t amount);
void progress_total(std::int64_t total);

// Platform pieces (progress_posix.cpp, progress_win.cpp).

// Whether standard output is open. On Linux a closed descriptor 0, 1 or 2 is occupied by
// /dev/null, so that no file the run opens later receives what is meant for it.
[[nodiscard]] bool occupy_standard_streams();
// Keeps a write to a pipe whose reader is gone from ending the process (Linux: SIGPIPE ignored).
void survive_closed_pipes();
// Writes the bytes to standard output, waiting as long as that takes; false when it fails.
[[nodiscard]] bool write_standard_output(const std::string& bytes);
