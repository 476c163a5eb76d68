#include <curl/curl.h>
#include <openssl/evp.h>
#include <spdlog/spdlog.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <memory>

#include "download.h"

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

// A peer that connects and then sends nothing may not hold the updater forever.
constexpr long connect_timeout_seconds = 30;
constexpr long low_speed_bytes_per_second = 1;
constexpr long low_speed_seconds = 60;
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

struct FileCloser {
    void operator()(std::FILE* file) const { std::fclose(file); }
};
using File = std::unique_ptr<std::FILE, FileCloser>;

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

struct Sink {
    std::FILE* file = nullptr;
    int error = 0;
};

std::size_t write_chunk(char* data, std::size_t size, std::size_t count, void* user) {
    Sink* sink = static_cast<Sink*>(user);
    const std::size_t bytes = size * count;
    if (std::fwrite(data, 1, bytes, sink->file) != bytes) {
        sink->error = errno;
        return 0;  // anything short of `bytes` makes libcurl stop with CURLE_WRITE_ERROR
    }
    return bytes;
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
    curl_easy_setopt(easy, CURLOPT_LOW_SPEED_LIMIT, low_speed_bytes_per_second);
    curl_easy_setopt(easy, CURLOPT_LOW_SPEED_TIME, low_speed_seconds);
    curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 1L);
    // Larger pieces than the default 16 KiB: fewer write calls for a large package.
    curl_easy_setopt(easy, CURLOPT_BUFFERSIZE, transfer_chunk);
    curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, write_chunk);
    curl_easy_setopt(easy, CURLOPT_WRITEDATA, &sink);
}

struct MdFree {
    void operator()(EVP_MD* md) const { EVP_MD_free(md); }
};
struct MdCtxFree {
    void operator()(EVP_MD_CTX* context) const { EVP_MD_CTX_free(context); }
};

}  // namespace

std::int32_t download_url_to_file(const std::string& url, const std::string& path_text) {
    const Transfer transfer;
    if (transfer.easy() == nullptr) {
        return as_result(download_failure);
    }
    File file(std::fopen(path_text.c_str(), "wb"));
    if (!file) {
        return as_result(write_failure(errno));
    }
    Sink sink{file.get()};
    configure(transfer.easy(), url, sink);
    const CURLcode code = curl_easy_perform(transfer.easy());
    if (code != CURLE_OK) {
        return as_result(failure_code(code, sink.error));
    }
    // Buffered data reaches the disk only now; a full disk may show up here.
    if (std::fclose(file.release()) != 0) {
        return as_result(write_failure(errno));
    }
    return 0;
}

// OpenSSL EVP stands in for the CNG provider; each step keeps the message of its CNG twin.
struct Sha256::Native {
    std::unique_ptr<EVP_MD, MdFree> md;
    std::unique_ptr<EVP_MD_CTX, MdCtxFree> context;
    bool ready = false;
};

Sha256::Sha256() : native_(std::make_unique<Native>()) {
    native_->md.reset(EVP_MD_fetch(nullptr, "SHA256", nullptr));
    if (!native_->md) {
        spdlog::error("BCryptOpenAlgorithmProvider(SHA256) failed");
        return;
    }
    const int digest_length = EVP_MD_get_size(native_->md.get());
    if (digest_length <= 0 || digest_length > EVP_MAX_MD_SIZE) {
        spdlog::error("BCryptGetProperty(SHA256) failed");
        return;
    }
    native_->context.reset(EVP_MD_CTX_new());
    if (!native_->context ||
        EVP_DigestInit_ex(native_->context.get(), native_->md.get(), nullptr) != 1) {
        spdlog::error("BCryptCreateHash(SHA256) failed");
        return;
    }
    native_->ready = true;
}

Sha256::~Sha256() = default;

bool Sha256::ready() const {
    return native_->ready;
}

bool Sha256::update(const unsigned char* data, std::size_t size) {
    if (EVP_DigestUpdate(native_->context.get(), data, size) != 1) {
        spdlog::error("BCryptHashData(SHA256) failed");
        return false;
    }
    return true;
}

std::optional<std::vector<unsigned char>> Sha256::finish() {
    std::vector<unsigned char> digest(static_cast<std::size_t>(EVP_MD_get_size(native_->md.get())));
    unsigned int written = 0;
    if (EVP_DigestFinal_ex(native_->context.get(), digest.data(), &written) != 1 ||
        written != digest.size()) {
        spdlog::error("BCryptFinishHash(SHA256) failed");
        return std::nullopt;
    }
    return digest;
}
