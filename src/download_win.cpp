#include "native_win.h"
// The COM, URL download and CNG headers need windows.h first.
#include <bcrypt.h>
#include <objbase.h>
#include <urlmon.h>

#include <spdlog/spdlog.h>

#include <cstdint>

#include "download.h"

namespace {

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

[[nodiscard]] bool read_length_property(BCRYPT_ALG_HANDLE provider, const wchar_t* name,
                                        ULONG& value) {
    ULONG written = 0;
    return BCryptGetProperty(provider, name, reinterpret_cast<PUCHAR>(&value), sizeof value,
                             &written, 0) == 0;
}

}  // namespace

std::int32_t download_url_to_file(const std::string& url, const std::string& path_text) {
    // The apartment ends inside fetch, before the caller looks at the result.
    return static_cast<std::int32_t>(fetch(url, path_text));
}

// Declared in this order so that the hash is destroyed before the buffer it lives in.
struct Sha256::Native {
    Provider provider;
    std::vector<UCHAR> hash_object;
    ULONG digest_length = 0;
    Hash hash;
};

Sha256::Sha256() : native_(std::make_unique<Native>()) {
    BCRYPT_ALG_HANDLE provider = nullptr;
    if (BCryptOpenAlgorithmProvider(&provider, BCRYPT_SHA256_ALGORITHM, nullptr, 0) != 0) {
        spdlog::error("BCryptOpenAlgorithmProvider(SHA256) failed");
        return;
    }
    native_->provider.reset(provider);
    ULONG object_length = 0;
    if (!read_length_property(provider, BCRYPT_OBJECT_LENGTH, object_length) ||
        !read_length_property(provider, BCRYPT_HASH_LENGTH, native_->digest_length)) {
        spdlog::error("BCryptGetProperty(SHA256) failed");
        return;
    }
    native_->hash_object.resize(object_length);
    BCRYPT_HASH_HANDLE hash = nullptr;
    if (BCryptCreateHash(provider, &hash,
                         object_length == 0 ? nullptr : native_->hash_object.data(), object_length,
                         nullptr, 0, 0) != 0) {
        spdlog::error("BCryptCreateHash(SHA256) failed");
        return;
    }
    native_->hash.reset(hash);
}

Sha256::~Sha256() = default;

bool Sha256::ready() const {
    return native_->hash != nullptr;
}

bool Sha256::update(const unsigned char* data, std::size_t size) {
    if (BCryptHashData(native_->hash.get(), const_cast<PUCHAR>(data), static_cast<ULONG>(size),
                       0) != 0) {
        spdlog::error("BCryptHashData(SHA256) failed");
        return false;
    }
    return true;
}

std::optional<std::vector<unsigned char>> Sha256::finish() {
    std::vector<unsigned char> digest(native_->digest_length);
    if (BCryptFinishHash(native_->hash.get(), digest.data(), native_->digest_length, 0) != 0) {
        spdlog::error("BCryptFinishHash(SHA256) failed");
        return std::nullopt;
    }
    return digest;
}
