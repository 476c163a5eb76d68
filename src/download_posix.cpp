#include <curl/curl.h>
#include <openssl/evp.h>
#include <spdlog/spdlog.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <memory>
#include <vector>

#include "download.h"
#include "text.h"

namespace fs = std::filesystem;

namespace {

// The codes the Windows download call reports, so that the log reads the same on both builds.
constexpr std::uint32_t kSyntaxError = 0x800401e4;       // MK_E_SYNTAX
constexpr std::uint32_t kCannotConnect = 0x800c0004;     // INET_E_CANNOT_CONNECT
constexpr std::uint32_t kResourceNotFound = 0x800c0005;  // INET_E_RESOURCE_NOT_FOUND
constexpr std::uint32_t kDownloadFailure = 0x800c0008;   // INET_E_DOWNLOAD_FAILURE
constexpr std::uint32_t kTimeout = 0x800c000b;           // INET_E_CONNECTION_TIMEOUT
constexpr std::uint32_t kSecurityProblem = 0x800c000e;   // INET_E_SECURITY_PROBLEM
constexpr std::uint32_t kDiskFull = 0x80070070;          // HRESULT of ERROR_DISK_FULL
constexpr std::uint32_t kFail = 0x80004005;              // E_FAIL

// A peer that connects and then sends nothing may not hold the updater forever.
constexpr long kConnectTimeoutSeconds = 30;
constexpr long kLowSpeedBytesPerSecond = 1;
constexpr long kLowSpeedSeconds = 60;
constexpr long kMaxRedirects = 30;

constexpr std::size_t kReadChunk = 1 << 20;
constexpr long kTransferChunk = 512 * 1024;

std::int32_t as_result(std::uint32_t code) {
    return static_cast<std::int32_t>(code);
}

std::uint32_t write_failure(int error) {
    return error == ENOSPC ? kDiskFull : kFail;
}

std::uint32_t failure_code(CURLcode code, int write_errno) {
    switch (code) {
        case CURLE_UNSUPPORTED_PROTOCOL:
        case CURLE_URL_MALFORMAT:
            return kSyntaxError;
        case CURLE_COULDNT_RESOLVE_HOST:
        case CURLE_COULDNT_RESOLVE_PROXY:
            return kResourceNotFound;
        case CURLE_COULDNT_CONNECT:
            return kCannotConnect;
        case CURLE_OPERATION_TIMEDOUT:
            return kTimeout;
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
            return kSecurityProblem;
        case CURLE_WRITE_ERROR:
            return write_failure(write_errno);
        default:
            return kDownloadFailure;
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
    curl_easy_setopt(easy, CURLOPT_MAXREDIRS, kMaxRedirects);
    curl_easy_setopt(easy, CURLOPT_FAILONERROR, 1L);
    curl_easy_setopt(easy, CURLOPT_SSL_VERIFYPEER, 1L);
    curl_easy_setopt(easy, CURLOPT_SSL_VERIFYHOST, 2L);
    curl_easy_setopt(easy, CURLOPT_CONNECTTIMEOUT, kConnectTimeoutSeconds);
    curl_easy_setopt(easy, CURLOPT_LOW_SPEED_LIMIT, kLowSpeedBytesPerSecond);
    curl_easy_setopt(easy, CURLOPT_LOW_SPEED_TIME, kLowSpeedSeconds);
    curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 1L);
    // Larger pieces than the default 16 KiB: fewer write calls for a large package.
    curl_easy_setopt(easy, CURLOPT_BUFFERSIZE, kTransferChunk);
    curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, write_chunk);
    curl_easy_setopt(easy, CURLOPT_WRITEDATA, &sink);
}

struct MdFree {
    void operator()(EVP_MD* md) const { EVP_MD_free(md); }
};
struct MdCtxFree {
    void operator()(EVP_MD_CTX* context) const { EVP_MD_CTX_free(context); }
};

std::string to_hex(const unsigned char* bytes, std::size_t count) {
    static const char digits[] = "0123456789abcdef";
    std::string text;
    text.reserve(count * 2);
    for (std::size_t i = 0; i < count; ++i) {
        text += digits[bytes[i] >> 4];
        text += digits[bytes[i] & 0x0f];
    }
    return text;
}

}  // namespace

std::int32_t download_url_to_file(const std::string& url, const std::string& path_text) {
    const Transfer transfer;
    if (transfer.easy() == nullptr) {
        return as_result(kDownloadFailure);
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
std::optional<std::string> sha256_file(const fs::path& path) {
    const std::unique_ptr<EVP_MD, MdFree> md(EVP_MD_fetch(nullptr, "SHA256", nullptr));
    if (!md) {
        spdlog::error("BCryptOpenAlgorithmProvider(SHA256) failed");
        return std::nullopt;
    }
    const int digest_length = EVP_MD_get_size(md.get());
    if (digest_length <= 0 || digest_length > EVP_MAX_MD_SIZE) {
        spdlog::error("BCryptGetProperty(SHA256) failed");
        return std::nullopt;
    }
    const std::unique_ptr<EVP_MD_CTX, MdCtxFree> context(EVP_MD_CTX_new());
    if (!context || EVP_DigestInit_ex(context.get(), md.get(), nullptr) != 1) {
        spdlog::error("BCryptCreateHash(SHA256) failed");
        return std::nullopt;
    }

    std::ifstream in(path, std::ios::binary);
    if (in.fail()) {
        spdlog::error("Failed to open for hash: {}", to_narrow(path));
        return std::nullopt;
    }
    // A read error ends the loop like the end of the file does; the digest then covers only the
    // bytes read so far and cannot match the expected one.
    std::vector<char> buffer(kReadChunk);
    while (!in.fail()) {
        in.read(buffer.data(), static_cast<std::streamsize>(buffer.size()));
        const std::streamsize read = in.gcount();
        if (read > 0 &&
            EVP_DigestUpdate(context.get(), buffer.data(), static_cast<std::size_t>(read)) != 1) {
            spdlog::error("BCryptHashData(SHA256) failed");
            return std::nullopt;
        }
    }

    std::vector<unsigned char> digest(static_cast<std::size_t>(digest_length));
    unsigned int written = 0;
    if (EVP_DigestFinal_ex(context.get(), digest.data(), &written) != 1 ||
        written != digest.size()) {
        spdlog::error("BCryptFinishHash(SHA256) failed");
        return std::nullopt;
    }
    return to_hex(digest.data(), digest.size());
}
