#include <curl/curl.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "download.h"
#include "files.h"
#include "receive.h"
#include "transfer_limits.h"

namespace {

// The codes the Windows download call reports, so that the log reads the same on both builds.
constexpr std::uint32_t syntax_error = 0x800401e4;        // MK_E_SYNTAX
constexpr std::uint32_t cannot_connect = 0x800c0004;      // INET_E_CANNOT_CONNECT
constexpr std::uint32_t resource_not_found = 0x800c0005;  // INET_E_RESOURCE_NOT_FOUND
constexpr std::uint32_t security_problem = 0x800c000e;    // INET_E_SECURITY_PROBLEM

// A peer that connects and then sends nothing may not hold the updater forever.
constexpr long connect_timeout_seconds = 30;

constexpr long transfer_chunk = 512 * 1024;

std::int32_t as_result(std::uint32_t code) {
    return static_cast<std::int32_t>(code);
}

std::int32_t failure_code(CURLcode code) {
    switch (code) {
        case CURLE_UNSUPPORTED_PROTOCOL:
        case CURLE_URL_MALFORMAT:
            return as_result(syntax_error);
        case CURLE_COULDNT_RESOLVE_HOST:
        case CURLE_COULDNT_RESOLVE_PROXY:
            return as_result(resource_not_found);
        case CURLE_COULDNT_CONNECT:
            return as_result(cannot_connect);
        case CURLE_OPERATION_TIMEDOUT:
            return transfer_code::timed_out;
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
            return as_result(security_problem);
        default:
            return transfer_code::download_failure;
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

// A list of request header lines, freed when it goes.
class HeaderList {
  public:
    HeaderList() = default;
    ~HeaderList() { curl_slist_free_all(list_); }
    HeaderList(const HeaderList&) = delete;
    HeaderList& operator=(const HeaderList&) = delete;

    [[nodiscard]] bool add(const std::string& line) {
        curl_slist* longer = curl_slist_append(list_, line.c_str());
        if (longer == nullptr) {
            return false;
        }
        list_ = longer;
        return true;
    }
    curl_slist* get() const { return list_; }

  private:
    curl_slist* list_ = nullptr;
};

// One transfer's receiving end, and the head of the response that is arriving: curl hands over
// the header lines of every response, those of redirects and interim answers included, so the
// head is judged when the body begins (or, for an empty one, when the transfer ends).
struct Sink {
    BodyReceiver& body;
    std::string head;
    bool head_judged = false;
};

bool judge_head(Sink& sink) {
    sink.head_judged = true;
    // Other schemes (ftp, file) have no HTTP head.
    const std::optional<ResponseHead> head = parse_response_head(sink.head);
    return !head || sink.body.accept_head(*head);
}

std::size_t take_header(char* data, std::size_t size, std::size_t count, void* user) {
    Sink& sink = *static_cast<Sink*>(user);
    const std::string line(data, size * count);
    if (line.compare(0, 5, "HTTP/") == 0) {
        sink.head.clear();
    }
    sink.head += line;
    return size * count;
}

std::size_t write_chunk(char* data, std::size_t size, std::size_t count, void* user) {
    Sink& sink = *static_cast<Sink*>(user);
    const std::size_t bytes = size * count;
    // Anything short of `bytes` makes libcurl stop with CURLE_WRITE_ERROR.
    if (!sink.head_judged && !judge_head(sink)) {
        return 0;
    }
    return sink.body.take(data, bytes) ? bytes : 0;
}

void configure(CURL* easy, const std::string& url, Sink& sink) {
    curl_easy_setopt(easy, CURLOPT_URL, url.c_str());
    curl_easy_setopt(easy, CURLOPT_PROTOCOLS_STR, "http,https,ftp,file");
    // A server must not be able to send the updater to a local file.
    curl_easy_setopt(easy, CURLOPT_REDIR_PROTOCOLS_STR, "http,https,ftp");
    curl_easy_setopt(easy, CURLOPT_FOLLOWLOCATION, 1L);
    curl_easy_setopt(easy, CURLOPT_MAXREDIRS, max_redirects);
    // Sent as given, not libcurl's empty value (every encoding it was built with), and decoded.
    curl_easy_setopt(easy, CURLOPT_ACCEPT_ENCODING, accepted_encodings);
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
    curl_easy_setopt(easy, CURLOPT_HEADERFUNCTION, take_header);
    curl_easy_setopt(easy, CURLOPT_HEADERDATA, &sink);
    curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, write_chunk);
    curl_easy_setopt(easy, CURLOPT_WRITEDATA, &sink);
}

// Asks for the bytes after the kept ones, on condition that the server's copy is still the one
// they came from; a server that can't or won't sends the whole body (200), which the receiver
// takes from the start. CURLOPT_RESUME_FROM would fail such an answer instead.
[[nodiscard]] bool ask_for_the_rest(CURL* easy, const ResumePoint& resume, HeaderList& headers) {
    const std::string range = std::to_string(resume.kept) + "-";
    curl_easy_setopt(easy, CURLOPT_RANGE, range.c_str());  // copied by libcurl
    if (!resume.validator.empty() && !headers.add("If-Range: " + resume.validator)) {
        return false;
    }
    curl_easy_setopt(easy, CURLOPT_HTTPHEADER, headers.get());
    return true;
}

}  // namespace

std::int32_t transfer_url_into(const std::string& url, BodyReceiver& body) {
    const Transfer transfer;
    if (transfer.easy() == nullptr) {
        return transfer_code::download_failure;
    }
    if (const std::int32_t refused = body.start(); refused != 0) {
        return refused;
    }
    Sink sink{body, {}};
    configure(transfer.easy(), url, sink);
    HeaderList headers;
    if (body.resume() && !ask_for_the_rest(transfer.easy(), *body.resume(), headers)) {
        return body.finish(transfer_code::general_failure);
    }
    const CURLcode code = curl_easy_perform(transfer.easy());
    // A response without a body (an empty one, or an error status that libcurl stops at) is
    // judged here.
    if ((code == CURLE_OK || code == CURLE_HTTP_RETURNED_ERROR) && !sink.head_judged) {
        static_cast<void>(judge_head(sink));
    }
    return body.finish(code == CURLE_OK ? 0 : failure_code(code));
}
