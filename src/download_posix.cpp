#include <curl/curl.h>

#include <cerrno>
#include <cstdint>
#include <memory>
#include <optional>

#include "download.h"
#include "files.h"

namespace {

// The codes the Windows download call reports, so that the log reads the same on both builds.
constexpr std::uint32_t syntax_error = 0x800401e4;        // MK_E_SYNTAX
constexpr std::uint32_t cannot_connect = 0x800c0004;      // INET_E_CANNOT_CONNECT
constexpr std::uint32_t resource_not_found = 0x800c0005;  // INET_E_RESOURCE_NOT_FOUND
constexpr std::uint32_t download_failure = 0x800c0008;    // INET_E_DOWNLOAD_FAILURE
constexpr std::uint32_t timed_out = 0x800c000b;           // INET_E_CONNECTION_TIMEOUT
constexpr std::uint32_t security_problem = 0x800c000e;    // INET_E_SECURITY_PROBLEM
constexpr std::uint32_t disk_full = 0x80070070;           // HRESULT of ERROR_DISK_FULL
constexpr std::uint32_t general_failure = 0x80004005;     // E_FAIL
constexpr std::uint32_t aborted = 0x80004004;             // E_ABORT

// A peer that connects and then sends nothing may not hold the updater forever.
constexpr long connect_timeout_seconds = 30;
constexpr long max_redirects = 30;

constexpr long transfer_chunk = 512 * 1024;

std::int32_t as_result(std::uint32_t code) {
    return static_cast<std::int32_t>(code);
}

std::uint32_t write_failure(int error) {
    return error == ENOSPC ? disk_full : general_failure;
}

std::uint32_t failure_code(CURLcode code, int write_errno) {
    switch (code) {
        case CURLE_ABORTED_BY_CALLBACK:
            return aborted;
        case CURLE_UNSUPPORTED_PROTOCOL:
        case CURLE_URL_MALFORMAT:
            return syntax_error;
        case CURLE_COULDNT_RESOLVE_HOST:
        case CURLE_COULDNT_RESOLVE_PROXY:
            return resource_not_found;
        case CURLE_COULDNT_CONNECT:
            return cannot_connect;
        case CURLE_OPERATION_TIMEDOUT:
            return timed_out;
        case CURLE_SSL_CONNECT_ERROR:
        case CURLE_SSL_ENGINE_NOTFOUND:
        case CURLE_SSL_ENGINE_SETFAILED:
        case CURLE_SSL_CERTPROBLEM:
        case CURLE_SSL_CIPHER:
        case CURLE_PEER_FAILED_VERIFICATION:
        case CURLE_USE_SSL_FAILED:
        case CURLE_SSL_ENGINE_INITFAILED:
        case CURLE_SSL_CACERT_BADFILE:
        case CURLE_SSL_SHUTDOWN_FAILED:
        case CURLE_SSL_CRL_BADFILE:
        case CURLE_SSL_ISSUER_ERROR:
        case CURLE_SSL_PINNEDPUBKEYNOTMATCH:
        case CURLE_SSL_INVALIDCERTSTATUS:
        case CURLE_SSL_CLIENTCERT:
            return security_problem;
        case CURLE_WRITE_ERROR:
            return write_failure(write_errno);
        default:
            return download_failure;
    }
}

// libcurl's process-wide set-up and one transfer handle, held only around the transfer.
class Transfer {
  public:
    Transfer()
        : global_(curl_global_init(CURL_GLOBAL_DEFAULT) == CURLE_OK),
          easy_(global_ ? curl_easy_init() : nullptr) {}
    ~Transfer() {
        if (easy_ != nullptr) {
            curl_easy_cleanup(easy_);
        }
        if (global_) {
            curl_global_cleanup();
        }
    }
    Transfer(const Transfer&) = delete;
    Transfer& operator=(const Transfer&) = delete;
    CURL* easy() const { return easy_; }

  private:
    bool global_;
    CURL* easy_;
};

// Where the body goes, and how much of it may come.
struct Sink {
    WrittenFile& file;
    std::filesystem::path directory;
    std::int64_t max_bytes;  // negative: no size known, the free-space floor applies
    std::int64_t received = 0;
    int error = 0;         // errno of a failed write
    bool refused = false;  // more than max_bytes, or the disk would fill past the floor
};

bool may_take(Sink& sink, std::size_t bytes) {
    const auto incoming = static_cast<std::int64_t>(bytes);
    if (sink.max_bytes >= 0) {
        return sink.received + incoming <= sink.max_bytes;
    }
    const std::optional<std::int64_t> free = free_space(sink.directory);
    return !free || *free - incoming >= transfer_limits.free_space_floor;
}

std::size_t write_chunk(char* data, std::size_t size, std::size_t count, void* user) {
    Sink& sink = *static_cast<Sink*>(user);
    const std::size_t bytes = size * count;
    // Anything short of `bytes` makes libcurl stop with CURLE_WRITE_ERROR.
    if (!may_take(sink, bytes)) {
        sink.refused = true;
        return 0;
    }
    if (const NativeError error = sink.file.write(data, bytes); error.failed()) {
        sink.error = static_cast<int>(error.code());
        return 0;
    }
    sink.received += static_cast<std::int64_t>(bytes);
    return bytes;
}

// A length announced beyond the allowed size ends the transfer before any of the body is taken.
int check_announced_length(void* user, curl_off_t total, curl_off_t, curl_off_t, curl_off_t) {
    const Sink& sink = *static_cast<const Sink*>(user);
    return sink.max_bytes >= 0 && total > sink.max_bytes ? 1 : 0;
}

void configure(CURL* easy, const std::string& url, Sink& sink) {
    curl_easy_setopt(easy, CURLOPT_URL, url.c_str());
    curl_easy_setopt(easy, CURLOPT_PROTOCOLS_STR, "http,https,ftp,file");
    // A server must not be able to send the updater to a local file.
    curl_easy_setopt(easy, CURLOPT_REDIR_PROTOCOLS_STR, "http,https,ftp");
    curl_easy_setopt(easy, CURLOPT_FOLLOWLOCATION, 1L);
    curl_easy_setopt(easy, CURLOPT_MAXREDIRS, max_redirects);
    curl_easy_setopt(easy, CURLOPT_FAILONERROR, 1L);
    curl_easy_setopt(easy, CURLOPT_SSL_VERIFYPEER, 1L);
    curl_easy_setopt(easy, CURLOPT_SSL_VERIFYHOST, 2L);
    curl_easy_setopt(easy, CURLOPT_CONNECTTIMEOUT, connect_timeout_seconds);
    // Too slow for too long, or nothing at all, is a stall.
    curl_easy_setopt(easy, CURLOPT_LOW_SPEED_LIMIT, transfer_limits.stall_bytes_per_second);
    curl_easy_setopt(easy, CURLOPT_LOW_SPEED_TIME, transfer_limits.stall_seconds);
    curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 1L);
    // Larger pieces than the default 16 KiB: fewer write calls for a large package.
    curl_easy_setopt(easy, CURLOPT_BUFFERSIZE, transfer_chunk);
    curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, write_chunk);
    curl_easy_setopt(easy, CURLOPT_WRITEDATA, &sink);
    curl_easy_setopt(easy, CURLOPT_NOPROGRESS, 0L);
    curl_easy_setopt(easy, CURLOPT_XFERINFOFUNCTION, check_announced_length);
    curl_easy_setopt(easy, CURLOPT_XFERINFODATA, &sink);
}

}  // namespace

std::int32_t download_url_to_file(const std::string& url, const std::filesystem::path& path,
                                  std::int64_t max_bytes) {
    const Transfer transfer;
    if (transfer.easy() == nullptr) {
        return as_result(download_failure);
    }
    WrittenFile file(path, WriteMode::replace);
    if (file.error().failed()) {
        return as_result(write_failure(static_cast<int>(file.error().code())));
    }
    Sink sink{file, path.parent_path(), max_bytes};
    // A disk already at the free-space floor ends the transfer before it connects.
    if (!may_take(sink, 0)) {
        return as_result(aborted);
    }
    configure(transfer.easy(), url, sink);
    const CURLcode code = curl_easy_perform(transfer.easy());
    if (sink.refused) {
        return as_result(aborted);
    }
    if (code != CURLE_OK) {
        return as_result(failure_code(code, sink.error));
    }
    if (const NativeError error = file.close(); error.failed()) {
        return as_result(write_failure(static_cast<int>(error.code())));
    }
    return 0;
}
