#pragma once

// The one check of a package, for a package in place, one being received and one being applied
// or staged. Its steps come in one order: the signature is read and checked as far as it can be
// without the package (start), the package is fed once to the digests it hands out, by reading a
// file or by the receiver as the bytes arrive, and one call compares the results (finish).

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "digest.h"
#include "files.h"
#include "signature.h"

// What a package must be.
struct PackageExpectation {
    std::string sha256;                        // empty: not compared
    std::int64_t size = -1;                    // negative: not compared
    const SignatureRule* signature = nullptr;  // nothing: not signed
    // The SHA-256 is computed even when none is expected, when it can be (a stage's stamp
    // names the package by it).
    bool sha256_wanted = false;
};

class PackageVerification {
  public:
    explicit PackageVerification(PackageExpectation expected);
    PackageVerification(const PackageVerification&) = delete;
    PackageVerification& operator=(const PackageVerification&) = delete;

    // The first step, before the package is read or requested: reads the signature and refuses
    // one that can't verify whatever the package holds, and sets up the digests. False (logged)
    // when the package can't pass.
    [[nodiscard]] bool start();
    // The digests to feed the whole package to, once, in order; valid after start().
    [[nodiscard]] std::vector<Digest*> digests();
    // Whether `length` bytes is the expected size; a mismatch is logged naming `package_text`.
    [[nodiscard]] bool size_matches(const std::string& package_text, std::uint64_t length) const;
    // The last step, once the digests had the whole package of `length` bytes: compares the
    // size, the SHA-256 and the signature, in that order. False at the first mismatch (logged).
    [[nodiscard]] bool finish(const std::string& package_text, std::uint64_t length);
    // The package's SHA-256 as lower-case hexadecimal text, once finish() computed it.
    [[nodiscard]] const std::optional<std::string>& sha256() const { return sha256_text_; }

  private:
    PackageExpectation expected_;
    std::optional<PackageSignature> signature_;
    std::optional<Sha256> sha256_;
    std::optional<std::string> sha256_text_;
};

// Feeds the started check the package held open in `file`, read once, and finishes it. The size
// is compared before the read, so that a package of the wrong size is not read. With a progress
// phase named, the read shows as that phase; `stop_requested` ends the reading early (false,
// nothing logged). False at the first failure (logged, except a stop).
[[nodiscard]] bool verify_file(PackageVerification& check, const ReadOnlyFile& file,
                               const std::string& package_text,
                               const char* progress_phase_name = nullptr,
                               const std::function<bool()>& stop_requested = {});
