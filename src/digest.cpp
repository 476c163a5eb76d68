#include "digest.h"

#include <spdlog/spdlog.h>

#include <cstdint>

#include "text.h"

namespace {

// The package is hashed through a buffer of this size, never held whole in memory.
constexpr std::size_t read_chunk = 1 << 20;

const char* step_name(Sha256Step step) {
    switch (step) {
        case Sha256Step::open_provider:
            return "BCryptOpenAlgorithmProvider";
        case Sha256Step::get_property:
            return "BCryptGetProperty";
        case Sha256Step::create_hash:
            return "BCryptCreateHash";
        case Sha256Step::hash_data:
            return "BCryptHashData";
        case Sha256Step::finish_hash:
            return "BCryptFinishHash";
    }
    return "SHA-256";
}

// True when no step failed; a failed one is logged.
[[nodiscard]] bool succeeded(std::optional<Sha256Step> failed_step) {
    if (failed_step) {
        spdlog::error("{}(SHA256) failed", step_name(*failed_step));
        return false;
    }
    return true;
}

}  // namespace

bool feed_file(const ReadOnlyFile& file, const std::vector<Digest*>& digests) {
    std::vector<char> buffer(read_chunk);
    std::size_t got = 0;
    for (std::uint64_t offset = 0;
         file.read_at(offset, buffer.data(), buffer.size(), got).ok() && got > 0; offset += got) {
        for (Digest* digest : digests) {
            if (!digest->update(reinterpret_cast<const unsigned char*>(buffer.data()), got)) {
                return false;
            }
        }
    }
    return true;
}

bool feed_file(const std::filesystem::path& path, const std::vector<Digest*>& digests) {
    ReadOnlyFile file;
    if (file.open(path).failed()) {
        spdlog::error("Failed to open for hash: {}", path_text(path));
        return false;
    }
    return feed_file(file, digests);
}

std::string to_hex(const std::vector<unsigned char>& bytes) {
    static const char digits[] = "0123456789abcdef";
    std::string text;
    text.reserve(bytes.size() * 2);
    for (const unsigned char byte : bytes) {
        text += digits[byte >> 4];
        text += digits[byte & 0x0f];
    }
    return text;
}

Sha256::Sha256() : provider_(std::make_unique<Provider>()) {
    ready_ = succeeded(provider_->start());
}

Sha256::~Sha256() = default;

bool Sha256::update(const unsigned char* data, std::size_t size) {
    return succeeded(provider_->update(data, size));
}

std::optional<std::vector<unsigned char>> Sha256::finish() {
    std::vector<unsigned char> digest;
    if (!succeeded(provider_->finish(digest))) {
        return std::nullopt;
    }
    return digest;
}
