#include "package_verification.h"

#include <spdlog/spdlog.h>

#include "progress.h"
#include "text.h"

namespace {

// Counts the bytes it is fed as the progress of the current phase.
class ProgressCount : public Digest {
  public:
    [[nodiscard]] bool update(const unsigned char*, std::size_t size) override {
        progress_add(size);
        return true;
    }
};

// A digest that only asks whether to go on, so that reading a large package can be stopped.
class StopBetweenPieces : public Digest {
  public:
    explicit StopBetweenPieces(const std::function<bool()>& stop_requested)
        : stop_requested_(stop_requested) {}
    [[nodiscard]] bool update(const unsigned char*, std::size_t) override {
        return !stop_requested_ || !stop_requested_();
    }

  private:
    const std::function<bool()>& stop_requested_;
};

}  // namespace

PackageVerification::PackageVerification(PackageExpectation expected)
    : expected_(std::move(expected)) {}

bool PackageVerification::start() {
    if (expected_.signature != nullptr && !signature_.emplace(*expected_.signature).usable()) {
        return false;
    }
    if (!expected_.sha256.empty() || expected_.sha256_wanted) {
        sha256_.emplace();
        if (!sha256_->ready()) {
            sha256_.reset();
            // Wanted only: the package then goes without its SHA-256.
            return expected_.sha256.empty();
        }
    }
    return true;
}

std::vector<Digest*> PackageVerification::digests() {
    std::vector<Digest*> digests;
    if (sha256_) {
        digests.push_back(&*sha256_);
    }
    if (signature_) {
        digests.push_back(&signature_->package_digest());
    }
    return digests;
}

bool PackageVerification::size_matches(const std::string& package_text,
                                       std::uint64_t length) const {
    if (expected_.size < 0 || length == static_cast<std::uint64_t>(expected_.size)) {
        return true;
    }
    spdlog::warn("Package size mismatch: {} expected={} actual={}", package_text, expected_.size,
                 length);
    return false;
}

bool PackageVerification::finish(const std::string& package_text, std::uint64_t length) {
    if (!size_matches(package_text, length)) {
        return false;
    }
    if (sha256_) {
        const std::optional<std::vector<unsigned char>> digest = sha256_->finish();
        if (!digest) {
            return false;
        }
        sha256_text_ = to_hex(*digest);
        // Compared in any letter case.
        if (!expected_.sha256.empty() && ascii_lower(expected_.sha256) != *sha256_text_) {
            spdlog::warn("Package sha256 mismatch: {} expected={} actual={}", package_text,
                         expected_.sha256, *sha256_text_);
            return false;
        }
    }
    return !signature_ || signature_->verify();
}

bool verify_file(PackageVerification& check, const ReadOnlyFile& file,
                 const std::string& package_text, const char* progress_phase_name,
                 const std::function<bool()>& stop_requested) {
    if (!check.size_matches(package_text, file.size())) {
        return false;
    }
    std::vector<Digest*> digests = check.digests();
    if (digests.empty()) {
        return check.finish(package_text, file.size());
    }
    ProgressCount progress_count;
    if (progress_phase_name != nullptr) {
        progress_phase(progress_phase_name, static_cast<std::int64_t>(file.size()));
        digests.push_back(&progress_count);
    }
    StopBetweenPieces stop(stop_requested);
    if (stop_requested) {
        digests.insert(digests.begin(), &stop);
    }
    return feed_file(file, digests) && check.finish(package_text, file.size());
}
