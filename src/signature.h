#pragma once

// Publisher signatures in the minisign format, checked with libsodium. Only the prehashed form is
// accepted: Ed25519 over the BLAKE2b-512 digest of the package, which is computed in the same
// read of the package as its SHA-256. The legacy form signs the whole file, which would have to
// be held in memory at once.

#include <array>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "digest.h"

// A publisher's public key, as the second line of a minisign .pub file gives it: base64 of the
// algorithm "Ed", an 8-byte key id and the 32-byte Ed25519 key.
struct PublicKey {
    std::array<unsigned char, 8> id;
    std::array<unsigned char, 32> key;
};

// The keys given as text. Nothing when one is malformed, logged as the failed signature check
// "malformed public key".
[[nodiscard]] std::optional<std::vector<PublicKey>> parse_public_keys(
    const std::vector<std::string>& texts);

// The most a signature file may hold: two base64 lines and minisign's two comments, with room.
constexpr std::int64_t signature_file_limit = 16 * 1024;

// What a refused signature means for the run: a package already in place is only fetched again,
// and one downloaded from a URL that another follows is fetched from that one (a warning); one
// downloaded from the last URL, or applied, ends the run (an error).
enum class SignatureFailure { fetch_again, ends_run };

// What the signature of a package must satisfy.
struct SignatureRule {
    // The signature file, normally the package's path followed by ".minisig".
    std::filesystem::path file;
    // The signature's key id picks one of them.
    std::vector<PublicKey> keys;
    // Given (even empty): every version in the trusted comment must be this one. Nothing: the
    // comment's versions are not checked.
    std::optional<std::string> version;
    // The level of "Package signature check failed: ...".
    SignatureFailure failure;
};

// True when the trusted comment names no version other than `version`. A version is a word of
// the comment (words are separated by spaces and tabs) that starts with "version:", such as
// "version:2.0.0" in "timestamp:1733500000 version:2.0.0"; every such word must be
// "version:" followed by exactly `version`. A comment without one names no version.
[[nodiscard]] bool comment_allows_version(const std::string& trusted_comment,
                                          const std::string& version);

// The version the trusted comment of the signature file at `path` names: its first word
// "version:<text>". Nothing when the file is missing or malformed, or its comment names none.
[[nodiscard]] std::optional<std::string> signed_version(const std::filesystem::path& path);

// The BLAKE2b-512 digest that a prehashed signature signs.
class Blake2b512 : public Digest {
  public:
    Blake2b512();
    ~Blake2b512() override;
    Blake2b512(const Blake2b512&) = delete;
    Blake2b512& operator=(const Blake2b512&) = delete;

    // False when the library could not be set up (logged).
    [[nodiscard]] bool ready() const { return ready_; }
    [[nodiscard]] bool update(const unsigned char* data, std::size_t size) override;
    std::array<unsigned char, 64> finish();

  private:
    struct State;  // libsodium's state, which needs 64-byte alignment: kept on the heap
    std::unique_ptr<State> state_;
    bool ready_ = false;
};

// The check of one package's signature. Everything that does not depend on the package is
// checked before the package is read: the signature file is read, its key chosen, and its global
// signature and version checked, so that a signature that can't verify whatever the package holds
// costs no read (nor download) of the package.
class PackageSignature {
  public:
    explicit PackageSignature(SignatureRule rule);

    // False when the signature can't be used (logged): no file, malformed, legacy, unknown key,
    // a global signature that does not verify under the key, or another version.
    [[nodiscard]] bool usable() const { return usable_; }
    // To be fed the whole package, once.
    Digest& package_digest() { return digest_; }
    // Verifies the signature over the package's digest; logs "Signature verified: <trusted
    // comment>" or why it failed.
    [[nodiscard]] bool verify();
    // verify() with the package's digest computed elsewhere, as the package arrived.
    [[nodiscard]] bool verify(const std::array<unsigned char, 64>& package_digest);

  private:
    SignatureRule rule_;
    Blake2b512 digest_;
    bool usable_ = false;
    std::array<unsigned char, 32> key_{};
    std::array<unsigned char, 64> signature_{};
    std::string trusted_comment_;
};

// A publisher's secret key, as a minisign secret key file holds it once decrypted: the key id and
// the 64-byte Ed25519 secret key (which ends in the public key). Wiped from memory when it goes.
struct SecretKey {
    std::array<unsigned char, 8> id{};
    std::array<unsigned char, 64> key{};

    SecretKey() = default;
    ~SecretKey();
    SecretKey(const SecretKey&) = delete;
    SecretKey& operator=(const SecretKey&) = delete;
};

// Text that holds a secret (a key file, a password), wiped from memory when it goes.
class SecretText {
  public:
    SecretText() = default;
    explicit SecretText(std::size_t capacity) { text_.reserve(capacity); }
    ~SecretText();
    SecretText(const SecretText&) = delete;
    SecretText& operator=(const SecretText&) = delete;
    std::string& text() { return text_; }
    [[nodiscard]] const std::string& text() const { return text_; }

  private:
    std::string text_;
};

// Why a secret key file could not be used; each has its own error line.
enum class SecretKeyFailure { none, malformed, needs_password, wrong_password };

// Reads the key from the text of a minisign secret key file: unencrypted (made with -W), or
// encrypted with a key derived from `password` by scrypt (minisign's default). An encrypted key
// without a password fails as needs_password; one whose checksum does not match after decryption
// as wrong_password (an unencrypted one as malformed). Logs nothing.
[[nodiscard]] SecretKeyFailure read_secret_key(const std::string& file_text,
                                               const SecretText* password, SecretKey& key);

// The key id as minisign shows it: 16 upper-case hexadecimal digits.
std::string key_id_text(const std::array<unsigned char, 8>& id);

// The text of a signature file for a package with the BLAKE2b-512 digest `package_digest`, in the
// prehashed form, with `trusted_comment`: what PackageSignature and minisign -V verify. Nothing
// when the library fails or the signature does not verify with the key's own public half (logged).
[[nodiscard]] std::optional<std::string> sign_package(
    const SecretKey& key, const std::array<unsigned char, 64>& package_digest,
    const std::string& trusted_comment);
