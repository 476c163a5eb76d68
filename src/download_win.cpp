#include <windows.h>
// The COM, URL download and CNG headers need windows.h first.
#include <bcrypt.h>
#include <objbase.h>
#include <urlmon.h>

#include <spdlog/spdlog.h>

#include <cstdint>
#include <fstream>
#include <memory>
#include <vector>

#include "download.h"
#include "text.h"

namespace fs = std::filesystem;

namespace {

constexpr std::size_t kReadChunk = 1 << 20;

// The thread's COM apartment, entered only around the download. A failed initialisation (for
// instance COM already set up in another mode) is not undone.
class ComApartment {
  public:
    ComApartment() : result_(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED)) {}
    ~ComApartment() {
        if (SUCCEEDED(result_)) {
            CoUninitialize();
        }
    }
    ComApartment(const ComApartment&) = delete;
    ComApartment& operator=(const ComApartment&) = delete;

  private:
    HRESULT result_;
};

HRESULT fetch(const std::string& url, const std::string& path_text) {
    const ComApartment apartment;
    return URLDownloadToFileA(nullptr, url.c_str(), path_text.c_str(), 0, nullptr);
}

struct ProviderCloser {
    void operator()(BCRYPT_ALG_HANDLE provider) const { BCryptCloseAlgorithmProvider(provider, 0); }
};
using Provider = std::unique_ptr<void, ProviderCloser>;

struct HashDestroyer {
    void operator()(BCRYPT_HASH_HANDLE hash) const { BCryptDestroyHash(hash); }
};
using Hash = std::unique_ptr<void, HashDestroyer>;

bool read_length_property(BCRYPT_ALG_HANDLE provider, const wchar_t* name, ULONG& value) {
    ULONG written = 0;
    return BCryptGetProperty(provider, name, reinterpret_cast<PUCHAR>(&value), sizeof value,
                             &written, 0) == 0;
}

std::string to_hex(const std::vector<UCHAR>& bytes) {
    static const char digits[] = "0123456789abcdef";
    std::string text;
    text.reserve(bytes.size() * 2);
    for (UCHAR byte : bytes) {
        text += digits[byte >> 4];
        text += digits[byte & 0x0f];
    }
    return text;
}

}  // namespace

std::int32_t download_url_to_file(const std::string& url, const std::string& path_text) {
    // The apartment ends inside fetch, before the caller looks at the result.
    return static_cast<std::int32_t>(fetch(url, path_text));
}

std::optional<std::string> sha256_file(const fs::path& path) {
    BCRYPT_ALG_HANDLE raw_provider = nullptr;
    if (BCryptOpenAlgorithmProvider(&raw_provider, BCRYPT_SHA256_ALGORITHM, nullptr, 0) != 0) {
        spdlog::error("BCryptOpenAlgorithmProvider(SHA256) failed");
        return std::nullopt;
    }
    const Provider provider(raw_provider);

    ULONG object_length = 0;
    ULONG digest_length = 0;
    if (!read_length_property(raw_provider, BCRYPT_OBJECT_LENGTH, object_length) ||
        !read_length_property(raw_provider, BCRYPT_HASH_LENGTH, digest_length)) {
        spdlog::error("BCryptGetProperty(SHA256) failed");
        return std::nullopt;
    }
    std::vector<UCHAR> hash_object(object_length);
    std::vector<UCHAR> digest(digest_length);

    BCRYPT_HASH_HANDLE raw_hash = nullptr;
    if (BCryptCreateHash(raw_provider, &raw_hash,
                         hash_object.empty() ? nullptr : hash_object.data(), object_length, nullptr,
                         0, 0) != 0) {
        spdlog::error("BCryptCreateHash(SHA256) failed");
        return std::nullopt;
    }
    // Declared after hash_object, so the hash is destroyed before the buffer it lives in.
    const Hash hash(raw_hash);

    std::ifstream in(path, std::ios::binary);
    if (in.fail()) {
        spdlog::error("Failed to open for hash: {}", to_narrow(path));
        return std::nullopt;
    }
    // A read error ends the loop like the end of the file does; the digest then covers only the
    // bytes read so far and cannot match the expected one.
    std::vector<UCHAR> buffer(kReadChunk);
    while (!in.fail()) {
        in.read(reinterpret_cast<char*>(buffer.data()),
                static_cast<std::streamsize>(buffer.size()));
        const std::streamsize read = in.gcount();
        if (read > 0 && BCryptHashData(raw_hash, buffer.data(), static_cast<ULONG>(read), 0) != 0) {
            spdlog::error("BCryptHashData(SHA256) failed");
            return std::nullopt;
        }
    }

    if (BCryptFinishHash(raw_hash, digest.data(), digest_length, 0) != 0) {
        spdlog::error("BCryptFinishHash(SHA256) failed");
        return std::nullopt;
    }
    return to_hex(digest);
}
