#pragma once

// The receiving end of a transfer, the same on every build: the platform piece drives the
// network and hands over the response's head and the body's pieces as they arrive; this side
// writes them to a new file, counts and bounds them and feeds them to the digests, so that the
// file never holds more than allowed and is never read back to be hashed.

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "digest.h"
#include "files.h"
#include "native_error.h"

// The result codes of a transfer, as the Windows URL download calls name them, so that the log
// reads the same on both builds. Zero or positive is success.
namespace transfer_code {
constexpr std::int32_t aborted = static_cast<std::int32_t>(0x80004004);           // E_ABORT
constexpr std::int32_t general_failure = static_cast<std::int32_t>(0x80004005);   // E_FAIL
constexpr std::int32_t download_failure = static_cast<std::int32_t>(0x800c0008);  // INET_E_...
constexpr std::int32_t timed_out = static_cast<std::int32_t>(0x800c000b);  // ..._CONNECTION_TIMEOUT
// The server can't continue kept bytes: a 416, or a 206 for another range than the one asked.
constexpr std::int32_t range_refused =
    static_cast<std::int32_t>(0x801901a0);  // HTTP_E_STATUS_RANGE_NOT_SATISFIABLE
}  // namespace transfer_code

// Platform piece (receive_win.cpp, receive_posix.cpp): the code of a failed write of the file.
std::int32_t write_failure_code(NativeError error);

// "bytes first-last/total" of a partial answer; the total is "*" when the server does not say.
struct ContentRange {
    std::uint64_t first = 0;
    std::uint64_t last = 0;
    std::optional<std::uint64_t> total;
};

// The status line and header fields of one HTTP response.
struct ResponseHead {
    int status = 0;
    // Names as sent, values without the white space around them, in order.
    std::vector<std::pair<std::string, std::string>> fields;

    // The value of the first field of that name, compared without regard to case.
    std::optional<std::string> field(const std::string& name) const;
    // The length of the body as the server announced it (Content-Length, else the size of the
    // Content-Range), when the body arrives as it was sent: nothing for a chunked or an encoded
    // one, whose length on the wire is not the length received.
    std::optional<std::uint64_t> body_length() const;
    std::optional<ContentRange> content_range() const;
};

// Whether the body comes encoded (Content-Encoding other than identity): what the transfer hands
// over is then decoded, and no count of it matches the bytes on the wire.
bool is_encoded(const ResponseHead& head);

// The head in `text`: a status line "HTTP/<version> <code> ..." and the header lines after it,
// ended by CR LF or LF, up to an empty line or the end. Nothing when the first line is not an
// HTTP status line.
std::optional<ResponseHead> parse_response_head(const std::string& text);

// Where a transfer continues bytes kept from an earlier one: the file already holds `kept` bytes,
// and the server is asked for the rest on condition that its copy is still the one the validator
// (an ETag or a Last-Modified date; empty: none) names.
struct ResumePoint {
    std::uint64_t kept = 0;
    std::string validator;
};

// The validator of a response, for a later If-Range: its strong ETag, else its Last-Modified
// date; empty when it has neither (a weak ETag can't be used for a range) or only ones that are
// not printable ASCII.
std::string range_validator(const ResponseHead& head);

// Feeds digests on a thread of their own, so that hashing runs beside the transfer instead of
// after each piece of it: the pieces are copied into a few blocks, each handed over when full.
class DigestPipe;

// How long a body may be: at most `bytes` (negative: as much as the disk holds above the
// free-space floor). An exact length is the package's known size: a 2xx body that ends before
// it has ended early, whatever the transfer reported, since a chunked or encoded body announces
// no length of its own that could show the cut.
struct BodyLimit {
    std::int64_t bytes = -1;
    bool exact = false;

    static BodyLimit at_most(std::int64_t bytes) { return {bytes, false}; }
    static BodyLimit exactly(std::int64_t bytes) { return {bytes, bytes >= 0}; }
};

class BodyReceiver {
  public:
    // The body goes to a new file at path, made as WriteMode::replace makes it, within `limit`;
    // every piece is fed
    // in order to each of the digests. With a resume point, the file at path holds the kept
    // bytes and is continued (WriteMode::continue_existing) when the server sends the rest, or
    // emptied when it sends the whole body; the bound counts the kept bytes. body_begins, when
    // given, is called once, just before the first byte of a body is written.
    BodyReceiver(const std::filesystem::path& path, BodyLimit limit, std::vector<Digest*> digests,
                 std::optional<ResumePoint> resume = std::nullopt,
                 std::function<void()> body_begins = {});
    ~BodyReceiver();
    BodyReceiver(const BodyReceiver&) = delete;
    BodyReceiver& operator=(const BodyReceiver&) = delete;

    // Makes this transfer the run's progress: an attempt of the download phase, counting the
    // bytes received (the kept bytes included), out of the announced length, else the bound.
    void show_progress();
    // Zero when the transfer may begin; otherwise its failure code: the file could not be made,
    // or no size is known and the disk is already at its floor.
    std::int32_t start();
    // The kept bytes to ask the server to continue; nothing for a whole body.
    const std::optional<ResumePoint>& resume() const { return resume_; }
    // The head of the final response of an HTTP or HTTPS transfer. False when the body must not
    // be taken: a status other than 2xx, a body announced longer than allowed, or (when
    // resuming) an answer that doesn't continue the kept bytes nor sends the whole body (an
    // encoded 206 doesn't: its range counts encoded bytes). A 206 that continues them has them
    // hashed and logs "Resuming download at byte {kept}".
    [[nodiscard]] bool accept_head(const ResponseHead& head);
    // The next piece of the body. False when the transfer must end: more than allowed, the floor
    // reached, or a failed write or digest.
    [[nodiscard]] bool take(const char* data, std::size_t size);
    // The transfer's outcome once it ended with transfer_result (zero or positive: it reported
    // the whole body): the first refusal of accept_head or take, else a failed transfer, else a
    // body shorter than announced or than its exact limit, else a failed digest or close of the
    // file. The digests have
    // had the whole body once it returns.
    std::int32_t finish(std::int32_t transfer_result);

    // Bytes of the body taken so far: what the file holds and the digests were fed (the kept
    // bytes included once the server continues them).
    std::uint64_t received() const { return received_; }
    // Whether accept_head or take refused; finish() then gives the reason.
    bool refused() const { return failure_ != 0; }
    // After finish() failed: what the file holds that a later transfer may continue, and the
    // validator of its source. That is everything received when the transfer ended early on the
    // network's side after part of a 2xx body was written (cut, reset, stalled, or shorter than
    // announced), or the kept bytes as they were when no new body came; nothing after a refusal
    // of what the server sent, a local failure, when nothing was received, or for a body that
    // came encoded (Content-Encoding), whose decoded bytes no range request could continue.
    std::optional<ResumePoint> worth_keeping() const;
    // The failure lies on this side: the file could not be written or the disk reached its
    // floor. Another server would meet the same disk.
    bool failed_locally() const { return failed_locally_; }

  private:
    bool refuse(std::int32_t code);
    bool refuse_locally(std::int32_t code);
    bool may_take(std::size_t size) const;
    bool continue_kept_bytes();
    bool start_over();

    std::filesystem::path path_;
    std::optional<WrittenFile> file_;
    BodyLimit limit_;
    std::unique_ptr<DigestPipe> digests_;  // none without digests
    std::optional<ResumePoint> resume_;
    std::function<void()> body_begins_;
    std::optional<std::uint64_t> announced_;
    std::string validator_;
    std::uint64_t received_ = 0;
    std::int32_t failure_ = 0;
    bool accepted_ = false;
    bool encoded_ = false;
    bool ended_early_ = false;
    bool failed_locally_ = false;
    bool shows_progress_ = false;
};
