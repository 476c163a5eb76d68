#pragma once

// The receiving end of a transfer, the same on every build: the platform piece drives the
// network and hands over the response's head and the body's pieces as they arrive; this side
// writes them to a new file, counts and bounds them and feeds them to the digests, so that the
// file never holds more than allowed and is never read back to be hashed.

#include <cstddef>
#include <cstdint>
#include <filesystem>
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
}  // namespace transfer_code

// Platform piece (download_win.cpp, download_posix.cpp): the code of a failed write of the file.
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

// The head in `text`: a status line "HTTP/<version> <code> ..." and the header lines after it,
// ended by CR LF or LF, up to an empty line or the end. Nothing when the first line is not an
// HTTP status line.
std::optional<ResponseHead> parse_response_head(const std::string& text);

// Feeds digests on a thread of their own, so that hashing runs beside the transfer instead of
// after each piece of it: the pieces are copied into a few blocks, each handed over when full.
class DigestPipe;

class BodyReceiver {
  public:
    // The body goes to a new file at path, made as WriteMode::replace makes it; at most max_bytes
    // of it (negative: as much as the disk holds above the free-space floor); every piece is fed
    // in order to each of the digests.
    BodyReceiver(const std::filesystem::path& path, std::int64_t max_bytes,
                 std::vector<Digest*> digests);
    ~BodyReceiver();
    BodyReceiver(const BodyReceiver&) = delete;
    BodyReceiver& operator=(const BodyReceiver&) = delete;

    // Zero when the transfer may begin; otherwise its failure code: the file could not be made,
    // or no size is known and the disk is already at its floor.
    std::int32_t start();
    // The head of the final response of an HTTP or HTTPS transfer. False when the body must not
    // be taken: a status other than 2xx, or a body announced longer than allowed.
    [[nodiscard]] bool accept_head(const ResponseHead& head);
    // The next piece of the body. False when the transfer must end: more than allowed, the floor
    // reached, or a failed write or digest.
    [[nodiscard]] bool take(const char* data, std::size_t size);
    // The transfer's outcome once it ended with transfer_result (zero or positive: it reported
    // the whole body): the first refusal of accept_head or take, else a failed transfer, else a
    // body shorter than announced, else a failed digest or close of the file. The digests have
    // had the whole body once it returns.
    std::int32_t finish(std::int32_t transfer_result);

    // Bytes of the body taken so far: what the file holds and the digests were fed.
    std::uint64_t received() const { return received_; }
    // Whether accept_head or take refused; finish() then gives the reason.
    bool refused() const { return failure_ != 0; }

  private:
    bool refuse(std::int32_t code);
    bool may_take(std::size_t size) const;

    WrittenFile file_;
    std::filesystem::path directory_;
    std::int64_t max_bytes_;
    std::unique_ptr<DigestPipe> digests_;  // none without digests
    std::optional<std::uint64_t> announced_;
    std::uint64_t received_ = 0;
    std::int32_t failure_ = 0;
};
