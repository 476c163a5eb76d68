#include <openssl/evp.h>

#include <memory>

#include "digest.h"

namespace {

struct MdFree {
    void operator()(EVP_MD* md) const { EVP_MD_free(md); }
};
struct MdCtxFree {
    void operator()(EVP_MD_CTX* context) const { EVP_MD_CTX_free(context); }
};

}  // namespace

// OpenSSL's EVP stands in for the CNG provider; each step reports as its CNG twin.
struct Sha256::Provider::Native {
    std::unique_ptr<EVP_MD, MdFree> md;
    std::unique_ptr<EVP_MD_CTX, MdCtxFree> context;
};

Sha256::Provider::Provider() : native_(std::make_unique<Native>()) {}

Sha256::Provider::~Provider() = default;

std::optional<Sha256Step> Sha256::Provider::start() {
    native_->md.reset(EVP_MD_fetch(nullptr, "SHA256", nullptr));
    if (!native_->md) {
        return Sha256Step::open_provider;
    }
    const int digest_length = EVP_MD_get_size(native_->md.get());
    if (digest_length <= 0 || digest_length > EVP_MAX_MD_SIZE) {
        return Sha256Step::get_property;
    }
    native_->context.reset(EVP_MD_CTX_new());
    if (!native_->context ||
        EVP_DigestInit_ex(native_->context.get(), native_->md.get(), nullptr) != 1) {
        return Sha256Step::create_hash;
    }
    return std::nullopt;
}

std::optional<Sha256Step> Sha256::Provider::update(const unsigned char* data, std::size_t size) {
    if (EVP_DigestUpdate(native_->context.get(), data, size) != 1) {
        return Sha256Step::hash_data;
    }
    return std::nullopt;
}

std::optional<Sha256Step> Sha256::Provider::finish(std::vector<unsigned char>& digest) {
    digest.resize(static_cast<std::size_t>(EVP_MD_get_size(native_->md.get())));
    unsigned int written = 0;
    if (EVP_DigestFinal_ex(native_->context.get(), digest.data(), &written) != 1 ||
        written != digest.size()) {
        return Sha256Step::finish_hash;
    }
    return std::nullopt;
}
