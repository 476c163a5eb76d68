#include "receive.h"

#include <algorithm>
#include <cctype>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>
#include <utility>

#include <spdlog/spdlog.h>

#include "progress.h"
#include "text.h"
#include "transfer_limits.h"

namespace {

std::string trimmed(const std::string& text) {
    const char* const blanks = " \t";
    const std::size_t start = text.find_first_not_of(blanks);
    if (start == std::string::npos) {
        return {};
    }
    return text.substr(start, text.find_last_not_of(blanks) - start + 1);
}

// The decimal number that is all of text; nothing for anything else, an overflow included.
std::optional<std::uint64_t> decimal(const std::string& text) {
    if (text.empty() || text.size() > 19) {
        return std::nullopt;
    }
    std::uint64_t value = 0;
    for (const char c : text) {
        if (!std::isdigit(static_cast<unsigned char>(c))) {
            return std::nullopt;
        }
        value = value * 10 + static_cast<std::uint64_t>(c - '0');
    }
    return value;
}

// The code of "HTTP/<version> <code>[ <reason>]".
std::optional<int> status_code(const std::string& line) {
    if (line.compare(0, 5, "HTTP/") != 0) {
        return std::nullopt;
    }
    const std::size_t space = line.find(' ');
    if (space == std::string::npos || line.size() < space + 4) {
        return std::nullopt;
    }
    const std::string code = line.substr(space + 1, 3);
    const std::optional<std::uint64_t> value = decimal(code);
    if (!value || (line.size() > space + 4 && line[space + 4] != ' ')) {
        return std::nullopt;
    }
    return static_cast<int>(*value);
}

}  // namespace

std::optional<std::string> ResponseHead::field(const std::string& name) const {
    const std::string wanted = ascii_lower(name);
    for (const auto& [key, value] : fields) {
        if (ascii_lower(key) == wanted) {
            return value;
        }
    }
    return std::nullopt;
}

std::optional<ContentRange> ResponseHead::content_range() const {
    const std::optional<std::string> value = field("Content-Range");
    if (!value || value->compare(0, 6, "bytes ") != 0) {
        return std::nullopt;
    }
    const std::string range = trimmed(value->substr(6));
    const std::size_t dash = range.find('-');
    const std::size_t slash = range.find('/');
    if (dash == std::string::npos || slash == std::string::npos || slash < dash) {
        return std::nullopt;
    }
    const std::optional<std::uint64_t> first = decimal(range.substr(0, dash));
    const std::optional<std::uint64_t> last = decimal(range.substr(dash + 1, slash - dash - 1));
    const std::string total_text = range.substr(slash + 1);
    const std::optional<std::uint64_t> total = decimal(total_text);
    if (!first || !last || *last < *first || (!total && total_text != "*") ||
        (total && *last >= *total)) {
        return std::nullopt;
    }
    return ContentRange{*first, *last, total};
}

bool is_encoded(const ResponseHead& head) {
    const std::optional<std::string> encoding = head.field("Content-Encoding");
    return encoding && ascii_lower(*encoding) != "identity";
}

std::optional<std::uint64_t> ResponseHead::body_length() const {
    // The length on the wire is not the length received when the body is chunked or encoded.
    if (field("Transfer-Encoding") || is_encoded(*this)) {
        return std::nullopt;
    }
    if (const std::optional<std::string> length = field("Content-Length")) {
        return decimal(*length);
    }
    if (const std::optional<ContentRange> range = content_range()) {
        return range->last - range->first + 1;
    }
    return std::nullopt;
}

std::optional<ResponseHead> parse_response_head(const std::string& text) {
    const std::vector<std::string> lines = split_lines(text);
    if (lines.empty()) {
        return std::nullopt;
    }
    const std::optional<int> status = status_code(lines.front());
    if (!status) {
        return std::nullopt;
    }
    ResponseHead head;
    head.status = *status;
    for (std::size_t i = 1; i < lines.size() && !lines[i].empty(); ++i) {
        const std::size_t colon = lines[i].find(':');
        if (colon != std::string::npos && colon > 0) {
            head.fields.emplace_back(lines[i].substr(0, colon),
                                     trimmed(lines[i].substr(colon + 1)));
        }
    }
    return head;
}

class DigestPipe : public Digest {
  public:
    explicit DigestPipe(std::vector<Digest*> digests) : digests_(std::move(digests)) {
        for (std::vector<char>& block : free_) {
            block.reserve(block_size);
        }
        filling_.reserve(block_size);
        thread_ = std::thread([this] { hash_blocks(); });
    }
    ~DigestPipe() {
        {
            const std::lock_guard<std::mutex> lock(mutex_);
            // What is still queued is of no use to anyone.
            full_.clear();
            closing_ = true;
        }
        changed_.notify_all();
        if (thread_.joinable()) {
            thread_.join();
        }
    }
    DigestPipe(const DigestPipe&) = delete;
    DigestPipe& operator=(const DigestPipe&) = delete;

    // Copies the piece in; false once a digest has failed.
    [[nodiscard]] bool update(const unsigned char* bytes, std::size_t size) override {
        const auto* data = reinterpret_cast<const char*>(bytes);
        while (size > 0) {
            if (filling_.size() == block_size && !hand_over()) {
                return false;
            }
            const std::size_t part = std::min(size, block_size - filling_.size());
            filling_.insert(filling_.end(), data, data + part);
            data += part;
            size -= part;
        }
        return true;
    }
    // Hands over the rest and waits until the digests have had everything; false when one
    // failed.
    [[nodiscard]] bool finish() {
        {
            const std::lock_guard<std::mutex> lock(mutex_);
            if (!filling_.empty()) {
                full_.push_back(std::move(filling_));
            }
            closing_ = true;
        }
        changed_.notify_all();
        thread_.join();
        return !failed_;
    }

  private:
    static constexpr std::size_t block_size = 1 << 20;
    static constexpr std::size_t spare_blocks = 2;

    // Queues the full block and takes an empty one, waiting for the thread to free one.
    bool hand_over() {
        std::unique_lock<std::mutex> lock(mutex_);
        full_.push_back(std::move(filling_));
        changed_.notify_all();
        changed_.wait(lock, [this] { return !free_.empty() || failed_; });
        if (failed_) {
            return false;
        }
        filling_ = std::move(free_.back());
        free_.pop_back();
        filling_.clear();
        return true;
    }
    void hash_blocks() {
        std::unique_lock<std::mutex> lock(mutex_);
        for (;;) {
            changed_.wait(lock, [this] { return !full_.empty() || closing_; });
            if (full_.empty()) {
                return;
            }
            std::vector<char> block = std::move(full_.front());
            full_.pop_front();
            lock.unlock();
            bool hashed = true;
            for (Digest* digest : digests_) {
                hashed =
                    hashed && digest->update(reinterpret_cast<const unsigned char*>(block.data()),
                                             block.size());
            }
            lock.lock();
            failed_ = failed_ || !hashed;
            free_.push_back(std::move(block));
            changed_.notify_all();
        }
    }

    std::vector<Digest*> digests_;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<std::vector<char>> free_ = std::vector<std::vector<char>>(spare_blocks);
    std::deque<std::vector<char>> full_;
    std::vector<char> filling_;
    bool closing_ = false;
    bool failed_ = false;
    std::thread thread_;
};

std::string range_validator(const ResponseHead& head) {
    // Only printable ASCII goes back into a request header.
    const auto printable = [](const std::string& text) {
        return std::all_of(text.begin(), text.end(), [](char c) { return c >= 0x20 && c < 0x7f; });
    };
    if (const std::optional<std::string> tag = head.field("ETag");
        tag && tag->size() >= 2 && tag->front() == '"' && printable(*tag)) {
        return *tag;
    }
    const std::optional<std::string> date = head.field("Last-Modified");
    return date && printable(*date) ? *date : std::string();
}

BodyReceiver::BodyReceiver(const std::filesystem::path& path, BodyLimit limit,
                           std::vector<Digest*> digests, std::optional<ResumePoint> resume,
                           std::function<void()> body_begins)
    : path_(path),
      limit_(limit),
      digests_(digests.empty() ? nullptr : std::make_unique<DigestPipe>(std::move(digests))),
      resume_(std::move(resume)),
      body_begins_(std::move(body_begins)) {
    file_.emplace(path, resume_ ? WriteMode::continue_existing : WriteMode::replace);
}

BodyReceiver::~BodyReceiver() = default;

void BodyReceiver::show_progress() {
    shows_progress_ = true;
    progress_attempt(phase::download, resume_ ? resume_->kept : 0,
                     limit_.bytes >= 0 ? limit_.bytes : -1);
}

std::int32_t BodyReceiver::start() {
    if (file_->error().failed()) {
        failed_locally_ = true;
        return write_failure_code(file_->error());
    }
    // A disk already at the floor ends the transfer before it connects.
    if (!may_take(0)) {
        failed_locally_ = true;
        return transfer_code::aborted;
    }
    return 0;
}

bool BodyReceiver::accept_head(const ResponseHead& head) {
    encoded_ = is_encoded(head);
    if (resume_) {
        const std::optional<ContentRange> range = head.content_range();
        if (head.status == 416 ||
            (head.status == 206 && (!range || range->first != resume_->kept || encoded_))) {
            return refuse(transfer_code::range_refused);
        }
        if (head.status == 206 ? !continue_kept_bytes()
                               : head.status >= 200 && head.status <= 299 && !start_over()) {
            return false;
        }
    }
    if (head.status < 200 || head.status > 299) {
        return refuse(transfer_code::download_failure);
    }
    accepted_ = true;
    validator_ = range_validator(head);
    if (const std::optional<std::uint64_t> length = head.body_length()) {
        announced_ = received_ + *length;
    }
    // Refused before any of it arrives.
    if (limit_.bytes >= 0 && announced_ && *announced_ > static_cast<std::uint64_t>(limit_.bytes)) {
        return refuse(transfer_code::aborted);
    }
    if (shows_progress_ && announced_) {
        progress_total(static_cast<std::int64_t>(*announced_));
    }
    return true;
}

bool BodyReceiver::continue_kept_bytes() {
    ReadOnlyFile kept;
    if (const NativeError error = kept.open(path_); error.failed()) {
        return refuse_locally(write_failure_code(error));
    }
    // Nothing has been appended yet: the file holds the kept bytes alone.
    if (kept.size() != resume_->kept || (digests_ && !feed_file(kept, {digests_.get()}))) {
        return refuse_locally(transfer_code::general_failure);
    }
    received_ = resume_->kept;
    spdlog::info("Resuming download at byte {}", resume_->kept);
    return true;
}

bool BodyReceiver::start_over() {
    // The whole body comes: the kept bytes go, and the file is made anew.
    resume_.reset();
    file_.reset();
    file_.emplace(path_, WriteMode::replace);
    if (shows_progress_) {
        progress_attempt(phase::download, 0, limit_.bytes >= 0 ? limit_.bytes : -1);
    }
    if (file_->error().failed()) {
        return refuse_locally(write_failure_code(file_->error()));
    }
    return true;
}

bool BodyReceiver::take(const char* data, std::size_t size) {
    if (failure_ != 0) {
        return false;
    }
    if (!may_take(size)) {
        return limit_.bytes >= 0 ? refuse(transfer_code::aborted)
                                 : refuse_locally(transfer_code::aborted);
    }
    if (received_ == 0 && body_begins_) {
        body_begins_();
        body_begins_ = nullptr;
    }
    if (const NativeError error = file_->write(data, size); error.failed()) {
        return refuse_locally(write_failure_code(error));
    }
    if (digests_ && !digests_->update(reinterpret_cast<const unsigned char*>(data), size)) {
        return refuse_locally(transfer_code::general_failure);
    }
    received_ += size;
    if (shows_progress_) {
        progress_done(received_);
    }
    return true;
}

std::int32_t BodyReceiver::finish(std::int32_t transfer_result) {
    if (failure_ != 0) {
        return failure_;
    }
    // A connection that ends early looks like the end of the body to some transfer calls.
    const bool short_of_size =
        limit_.exact && accepted_ && received_ < static_cast<std::uint64_t>(limit_.bytes);
    if (transfer_result < 0 || (announced_ && received_ < *announced_) || short_of_size) {
        ended_early_ = true;
        return transfer_result < 0 ? transfer_result : transfer_code::download_failure;
    }
    if (digests_ && !digests_->finish()) {
        refuse_locally(transfer_code::general_failure);
        return failure_;
    }
    if (const NativeError error = file_->close(); error.failed()) {
        refuse_locally(write_failure_code(error));
        return failure_;
    }
    return 0;
}

std::optional<ResumePoint> BodyReceiver::worth_keeping() const {
    if (ended_early_ && accepted_ && !encoded_ && received_ > 0) {
        return ResumePoint{received_, validator_};
    }
    if (resume_ && received_ == 0 && !failed_locally_ && failure_ != transfer_code::range_refused) {
        return resume_;
    }
    return std::nullopt;
}

bool BodyReceiver::refuse(std::int32_t code) {
    if (failure_ == 0) {
        failure_ = code;
    }
    return false;
}

bool BodyReceiver::refuse_locally(std::int32_t code) {
    if (failure_ == 0) {
        failed_locally_ = true;
    }
    return refuse(code);
}

bool BodyReceiver::may_take(std::size_t size) const {
    const auto incoming = static_cast<std::int64_t>(size);
    if (limit_.bytes >= 0) {
        return static_cast<std::int64_t>(received_) + incoming <= limit_.bytes;
    }
    const std::optional<std::int64_t> free = free_space(path_.parent_path());
    return !free || *free - incoming >= transfer_limits.free_space_floor;
}
