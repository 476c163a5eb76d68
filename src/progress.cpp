#include "progress.h"

#include <spdlog/sinks/base_sink.h>
#include <spdlog/spdlog.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <filesystem>
#include <mutex>
#include <thread>
#include <utility>

#include "text.h"

namespace {

// Lines within a phase are at least this far apart, which leaves room in every second for the
// phase's closing line: at most 4 lines a second.
constexpr std::int64_t line_spacing_ms = 334;

// The length of the UTF-8 sequence that starts at text[i], or 0 when none does.
std::size_t utf8_sequence_length(const std::string& text, std::size_t i) {
    const auto byte = [&text](std::size_t at) { return static_cast<unsigned char>(text[at]); };
    const unsigned char lead = byte(i);
    std::size_t length = 0;
    unsigned char low = 0x80;
    unsigned char high = 0xbf;
    if (lead < 0x80) {
        return 1;
    } else if (lead >= 0xc2 && lead <= 0xdf) {
        length = 2;
    } else if (lead >= 0xe0 && lead <= 0xef) {
        length = 3;
        low = lead == 0xe0 ? 0xa0 : 0x80;   // no overlong forms
        high = lead == 0xed ? 0x9f : 0xbf;  // no surrogates
    } else if (lead >= 0xf0 && lead <= 0xf4) {
        length = 4;
        low = lead == 0xf0 ? 0x90 : 0x80;
        high = lead == 0xf4 ? 0x8f : 0xbf;
    } else {
        return 0;
    }
    if (i + length > text.size() || byte(i + 1) < low || byte(i + 1) > high) {
        return 0;
    }
    for (std::size_t k = 2; k < length; ++k) {
        if (byte(i + k) < 0x80 || byte(i + k) > 0xbf) {
            return 0;
        }
    }
    return length;
}

}  // namespace

std::string json_string(const std::string& text) {
    std::string out = "\"";
    for (std::size_t i = 0; i < text.size();) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
            ++i;
        } else if (c < 0x20) {
            static const char hex[] = "0123456789abcdef";
            out += "\\u00";
            out += hex[c >> 4];
            out += hex[c & 0xf];
            ++i;
        } else if (const std::size_t length = utf8_sequence_length(text, i); length > 0) {
            out.append(text, i, length);
            i += length;
        } else {
            out += "\\ufffd";
            ++i;
        }
    }
    return out + "\"";
}

ProgressLines::Lines ProgressLines::enter(const char* phase, std::int64_t total, std::int64_t ms) {
    return begin_attempt_in(phase, 0, total, ms, false);
}

ProgressLines::Lines ProgressLines::begin_attempt(const char* phase, std::uint64_t done,
                                                  std::int64_t total, std::int64_t ms) {
    return begin_attempt_in(phase, done, total, ms, true);
}

ProgressLines::Lines ProgressLines::begin_attempt_in(const char* phase, std::uint64_t done,
                                                     std::int64_t total, std::int64_t ms,
                                                     bool counts_attempts) {
    const bool current = state_ && state_->phase == phase;
    if (!current && std::find(left_.begin(), left_.end(), phase) != left_.end()) {
        // Never back to a phase once left: the run has moved on from the current one too, and
        // what follows is not shown until the next phase.
        Lines lines = leave_phase(ms);
        muted_ = true;
        return lines;
    }
    if (current) {
        if (!counts_attempts || muted_) {
            return {};
        }
        ++state_->attempt;
        state_->done = done;
        state_->total = total;
        return changed(ms);
    }
    Lines lines = leave_phase(ms);
    state_ = State{phase, counts_attempts ? 1 : 0, done, total};
    muted_ = false;
    lines.push_back(line(ms));
    last_line_ms_ = ms;
    unwritten_ = false;
    return lines;
}

ProgressLines::Lines ProgressLines::set_done(std::uint64_t done, std::int64_t ms) {
    // Within an attempt the count only grows.
    if (!state_ || muted_ || done <= state_->done) {
        return {};
    }
    state_->done = done;
    return changed(ms);
}

ProgressLines::Lines ProgressLines::add_done(std::uint64_t amount, std::int64_t ms) {
    if (!state_ || muted_) {
        return {};
    }
    return set_done(state_->done + amount, ms);
}

ProgressLines::Lines ProgressLines::set_total(std::int64_t total, std::int64_t ms) {
    if (!state_ || muted_ || total == state_->total) {
        return {};
    }
    state_->total = total;
    return changed(ms);
}

ProgressLines::Lines ProgressLines::finish(int exit_code, const std::optional<std::string>& error,
                                           std::int64_t ms) {
    Lines lines = leave_phase(ms);
    std::string last = "{\"phase\":\"done\",\"exit\":" + std::to_string(exit_code) +
                       ",\"done\":0,\"total\":0,\"ms\":" + std::to_string(ms);
    if (error) {
        last += ",\"error\":" + json_string(*error);
    }
    lines.push_back(last + "}\n");
    return lines;
}

ProgressLines::Lines ProgressLines::changed(std::int64_t ms) {
    unwritten_ = true;
    if (ms - last_line_ms_ < line_spacing_ms) {
        return {};
    }
    last_line_ms_ = ms;
    unwritten_ = false;
    return {line(ms)};
}

ProgressLines::Lines ProgressLines::leave_phase(std::int64_t ms) {
    Lines lines;
    if (state_) {
        if (unwritten_ && !muted_) {
            lines.push_back(line(ms));
        }
        left_.push_back(state_->phase);
        state_.reset();
    }
    unwritten_ = false;
    return lines;
}

std::string ProgressLines::line(std::int64_t ms) const {
    // Never past a known total, whatever a source reports.
    const std::uint64_t done =
        state_->total >= 0 ? std::min(state_->done, static_cast<std::uint64_t>(state_->total))
                           : state_->done;
    std::string text = "{\"phase\":" + json_string(state_->phase);
    if (state_->attempt > 0) {
        text += ",\"attempt\":" + std::to_string(state_->attempt);
    }
    return text + ",\"done\":" + std::to_string(done) +
           ",\"total\":" + std::to_string(state_->total) + ",\"ms\":" + std::to_string(ms) + "}\n";
}

namespace {

using Clock = std::chrono::steady_clock;

// The last line may wait this long for a slow reader; every other line is dropped rather than
// make the run wait.
constexpr auto last_line_wait = std::chrono::seconds(1);
// Lines handed over and not yet written; beyond that, new lines are dropped.
constexpr std::size_t queued_lines_limit = 16;

// Writes lines to standard output on a thread of its own, so that a reader that does not read
// never holds up the run: a line that finds the queue full is dropped. Kept alive by its thread,
// which may still wait in a write when the run ends.
class LineWriter : public std::enable_shared_from_this<LineWriter> {
  public:
    void start() {
        std::thread([self = shared_from_this()] { self->write_lines(); }).detach();
    }
    void offer(std::string line) {
        {
            const std::lock_guard<std::mutex> lock(mutex_);
            if (failed_ || queue_.size() >= queued_lines_limit) {
                return;
            }
            queue_.push_back(std::move(line));
        }
        changed_.notify_all();
    }
    // Hands the line over once there is room, then waits for everything to be written; gives
    // up at the deadline. The thread ends once it has written what it holds.
    void offer_last(std::string line, Clock::time_point deadline) {
        std::unique_lock<std::mutex> lock(mutex_);
        if (changed_.wait_until(lock, deadline,
                                [this] { return failed_ || queue_.size() < queued_lines_limit; }) &&
            !failed_) {
            queue_.push_back(std::move(line));
            changed_.notify_all();
        }
        changed_.wait_until(lock, deadline,
                            [this] { return failed_ || (queue_.empty() && !writing_); });
        closing_ = true;
        changed_.notify_all();
    }
    [[nodiscard]] bool failed() {
        const std::lock_guard<std::mutex> lock(mutex_);
        return failed_;
    }

  private:
    void write_lines() {
        std::unique_lock<std::mutex> lock(mutex_);
        for (;;) {
            changed_.wait(lock, [this] { return !queue_.empty() || closing_; });
            if (queue_.empty()) {
                return;
            }
            const std::string line = std::move(queue_.front());
            queue_.pop_front();
            writing_ = true;
            lock.unlock();
            const bool written = write_standard_output(line);
            lock.lock();
            writing_ = false;
            if (!written) {
                failed_ = true;
                queue_.clear();
            }
            changed_.notify_all();
            if (failed_) {
                return;
            }
        }
    }

    std::mutex mutex_;
    std::condition_variable changed_;
    std::deque<std::string> queue_;
    bool writing_ = false;
    bool failed_ = false;
    bool closing_ = false;
};

// Remembers the message of the run's last error line, for the run's last progress line.
class LastErrorSink : public spdlog::sinks::base_sink<std::mutex> {
  public:
    std::optional<std::string> last_error() {
        const std::lock_guard<std::mutex> lock(mutex_);
        return last_error_;
    }

  protected:
    void sink_it_(const spdlog::details::log_msg& message) override {
        if (message.level == spdlog::level::err) {
            last_error_.emplace(message.payload.data(), message.payload.size());
        }
    }
    void flush_() override {}

  private:
    std::optional<std::string> last_error_;
};

// The run's progress: like the default logger, one per process, reachable from wherever a step
// counts its work.
struct Channel {
    std::mutex mutex;
    Clock::time_point start = Clock::now();
    bool output_open = true;
    bool warned = false;
    bool logging = false;
    ProgressLines lines;
    std::shared_ptr<LineWriter> writer;
    std::shared_ptr<LastErrorSink> errors;
};

Channel& channel() {
    static Channel instance;
    return instance;
}

// Checked before anything else, so that a run without --progress pays for one load per call.
std::atomic<bool> enabled{false};

std::int64_t run_ms(const Channel& c) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - c.start).count();
}

// The message of a log line in UTF-8: log text is narrow text, the ANSI code page on Windows.
std::string utf8_text(const std::string& narrow) {
    try {
        return to_path(narrow).u8string();
    } catch (const std::exception&) {
        return narrow;  // json_string replaces what is not UTF-8
    }
}

void warn_output_closed(Channel& c) {
    // Logged once, outside the channel's lock: logging may take its own.
    bool warn = false;
    {
        const std::lock_guard<std::mutex> lock(c.mutex);
        warn = c.logging && !c.warned;
        c.warned = c.warned || warn;
    }
    if (warn) {
        spdlog::warn("Progress output closed, continuing without it");
    }
}

// Hands the lines a call made to the writer; a writer that failed ends the output for the rest
// of the run.
template <typename Step>
void report(Step step) {
    if (!enabled.load(std::memory_order_relaxed)) {
        return;
    }
    Channel& c = channel();
    bool closed = false;
    {
        const std::lock_guard<std::mutex> lock(c.mutex);
        for (std::string& line : step(c.lines, run_ms(c))) {
            c.writer->offer(std::move(line));
        }
        closed = c.writer->failed();
        if (closed) {
            enabled = false;
        }
    }
    if (closed) {
        warn_output_closed(c);
    }
}

}  // namespace

void prepare_progress() {
    Channel& c = channel();
    c.start = Clock::now();
    c.output_open = occupy_standard_streams();
}

void start_progress(bool wanted) {
    if (!wanted) {
        return;
    }
    Channel& c = channel();
    survive_closed_pipes();
    c.errors = std::make_shared<LastErrorSink>();
    if (c.output_open) {
        c.writer = std::make_shared<LineWriter>();
        c.writer->start();
        enabled = true;
    }
}

bool progress_enabled() {
    return enabled.load(std::memory_order_relaxed);
}

void attach_progress_to_log(spdlog::logger& logger) {
    Channel& c = channel();
    if (!c.errors) {
        return;  // no --progress
    }
    logger.sinks().push_back(c.errors);
    {
        const std::lock_guard<std::mutex> lock(c.mutex);
        c.logging = true;
    }
    if (!c.output_open) {
        warn_output_closed(c);
    }
}

void finish_progress(int exit_code) {
    Channel& c = channel();
    // Only a run that got as far as its log ends with a line.
    if (!enabled || !c.logging) {
        return;
    }
    const Clock::time_point deadline = Clock::now() + last_line_wait;
    std::optional<std::string> error;
    if (exit_code != 0) {
        error = c.errors->last_error();
        if (error) {
            error = utf8_text(*error);
        }
    }
    {
        const std::lock_guard<std::mutex> lock(c.mutex);
        ProgressLines::Lines lines = c.lines.finish(exit_code, error, run_ms(c));
        for (std::size_t i = 0; i + 1 < lines.size(); ++i) {
            c.writer->offer(std::move(lines[i]));
        }
        c.writer->offer_last(std::move(lines.back()), deadline);
        enabled = false;
    }
    if (c.writer->failed()) {
        warn_output_closed(c);
    }
}

void progress_phase(const char* phase, std::int64_t total) {
    report([&](ProgressLines& lines, std::int64_t ms) { return lines.enter(phase, total, ms); });
}

void progress_attempt(const char* phase, std::uint64_t done, std::int64_t total) {
    report([&](ProgressLines& lines, std::int64_t ms) {
        return lines.begin_attempt(phase, done, total, ms);
    });
}

void progress_done(std::uint64_t done) {
    report([&](ProgressLines& lines, std::int64_t ms) { return lines.set_done(done, ms); });
}

void progress_add(std::uint64_t amount) {
    report([&](ProgressLines& lines, std::int64_t ms) { return lines.add_done(amount, ms); });
}

void progress_total(std::int64_t total) {
    report([&](ProgressLines& lines, std::int64_t ms) { return lines.set_total(total, ms); });
}
