#include "files_win.h"
// The CNG header needs windows.h first.
#include <bcrypt.h>

#include <memory>

#include "digest.h"

namespace {

struct ProviderCloser {
    void operator()(BCRYPT_ALG_HANDLE provider) const { BCryptCloseAlgorithmProvider(provider, 0); }
};
using AlgorithmProvider = std::unique_ptr<void, ProviderCloser>;

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

// Declared in this order so that the hash is destroyed before the buffer it lives in.
struct Sha256::Provider::Native {
    AlgorithmProvider provider;
    std::vector<UCHAR> hash_object;
    ULONG digest_length = 0;
    Hash hash;
};

Sha256::Provider::Provider() : native_(std::make_unique<Native>()) {}

Sha256::Provider::~Provider() = default;

std::optional<Sha256Step> Sha256::Provider::start() {
    BCRYPT_ALG_HANDLE provider = nullptr;
    if (BCryptOpenAlgorithmProvider(&provider, BCRYPT_SHA256_ALGORITHM, nullptr, 0) != 0) {
        return Sha256Step::open_provider;
    }
    native_->provider.reset(provider);
    ULONG object_length = 0;
    if (!read_length_property(provider, BCRYPT_OBJECT_LENGTH, object_length) ||
        !read_length_property(provider, BCRYPT_HASH_LENGTH, native_->digest_length)) {
        return Sha256Step::get_property;
    }
    native_->hash_object.resize(object_length);
    BCRYPT_HASH_HANDLE hash = nullptr;
    if (BCryptCreateHash(provider, &hash,
                         object_length == 0 ? nullptr : native_->hash_object.data(), object_length,
                         nullptr, 0, 0) != 0) {
        return Sha256Step::create_hash;
    }
    native_->hash.reset(hash);
    return std::nullopt;
}

std::optional<Sha256Step> Sha256::Provider::update(const unsigned char* data, std::size_t size) {
    if (BCryptHashData(native_->hash.get(), const_cast<PUCHAR>(data), static_cast<ULONG>(size),
                       0) != 0) {
        return Sha256Step::hash_data;
    }
    return std::nullopt;
}

std::optional<Sha256Step> Sha256::Provider::finish(std::vector<unsigned char>& digest) {
    digest.resize(native_->digest_length);
    if (BCryptFinishHash(native_->hash.get(), digest.data(), native_->digest_length, 0) != 0) {
        return Sha256Step::finish_hash;
    }
    return std::nullopt;
}
