#include "signature.h"

#include <sodium.h>
#include <spdlog/spdlog.h>

#include <algorithm>
#include <cstring>
#include <utility>

#include "files.h"
#include "text.h"

namespace fs = std::filesystem;

namespace {

constexpr char untrusted_prefix[] = "untrusted comment: ";
constexpr char trusted_prefix[] = "trusted comment: ";
constexpr std::size_t digest_bytes = 64;
// Public keys and signature lines start with the algorithm (2 bytes) and the key id (8 bytes).
constexpr std::size_t key_id_offset = 2;
constexpr std::size_t material_offset = 10;

[[nodiscard]] bool refuse(SignatureFailure failure, const char* reason) {
    spdlog::log(failure == SignatureFailure::fetch_again ? spdlog::level::warn : spdlog::level::err,
                "Package signature check failed: {}", reason);
    return false;
}

// Decodes base64 (the original alphabet, with padding) that must hold exactly N bytes.
template <std::size_t N>
[[nodiscard]] bool decode_base64(const std::string& text, std::array<unsigned char, N>& bytes) {
    std::size_t length = 0;
    return sodium_base642bin(bytes.data(), bytes.size(), text.data(), text.size(), nullptr, &length,
                             nullptr, sodium_base64_VARIANT_ORIGINAL) == 0 &&
           length == N;
}

template <std::size_t N, std::size_t M>
void copy_part(const std::array<unsigned char, M>& from, std::size_t offset,
               std::array<unsigned char, N>& to) {
    std::copy_n(from.begin() + static_cast<std::ptrdiff_t>(offset), N, to.begin());
}

std::optional<PublicKey> parse_public_key(const std::string& text) {
    std::array<unsigned char, 2 + 8 + 32> bytes;  // algorithm, key id, key
    if (!decode_base64(text, bytes) || bytes[0] != 'E' || bytes[1] != 'd') {
        return std::nullopt;
    }
    PublicKey key;
    copy_part(bytes, key_id_offset, key.id);
    copy_part(bytes, material_offset, key.key);
    return key;
}

// The file's content up to one byte more than any signature file holds; nothing when it can't be
// opened. Read through the platform's own file calls, as the package is: they take paths of any
// length.
std::optional<std::string> read_signature_file(const fs::path& path) {
    ReadOnlyFile file;
    if (file.open(path).failed()) {
        return std::nullopt;
    }
    const auto wanted = static_cast<std::uint64_t>(signature_file_limit) + 1;
    std::string text(static_cast<std::size_t>(std::min(file.size(), wanted)), '\0');
    std::size_t filled = 0;
    std::size_t got = 0;
    while (filled < text.size() &&
           file.read_at(filled, text.data() + filled, text.size() - filled, got).ok() && got > 0) {
        filled += got;
    }
    text.resize(filled);
    return text;
}

bool starts_with(const std::string& text, const char* prefix) {
    return text.compare(0, std::strlen(prefix), prefix) == 0;
}

// The parts of a signature file: the untrusted comment, the signature line (base64 of the
// algorithm, the key id and the signature), the trusted comment and the global signature (base64
// of the signature over the signature and the trusted comment's text).
struct SignatureFile {
    std::array<unsigned char, 2 + 8 + 64> signature_line;
    std::string trusted_comment;
    std::array<unsigned char, 64> global_signature;
};

std::optional<SignatureFile> parse_signature_file(const std::string& text) {
    if (text.size() > static_cast<std::size_t>(signature_file_limit)) {
        return std::nullopt;
    }
    std::vector<std::string> lines = split_lines(text);
    // Empty lines at the end (an editor's or `echo >>`'s) are no part of the signature; the
    // publisher's own tool ignores them too.
    while (!lines.empty() && lines.back().empty()) {
        lines.pop_back();
    }
    SignatureFile parsed;
    if (lines.size() != 4 || !starts_with(lines[0], untrusted_prefix) ||
        !starts_with(lines[2], trusted_prefix) || !decode_base64(lines[1], parsed.signature_line) ||
        !decode_base64(lines[3], parsed.global_signature)) {
        return std::nullopt;
    }
    parsed.trusted_comment = lines[2].substr(std::strlen(trusted_prefix));
    return parsed;
}

// What follows "version:" in each word of a trusted comment that starts with it (words are
// separated by spaces and tabs).
std::vector<std::string> comment_versions(const std::string& trusted_comment) {
    const std::string key = "version:";
    const char* const separators = " \t";
    std::vector<std::string> versions;
    std::size_t start = trusted_comment.find_first_not_of(separators);
    while (start != std::string::npos) {
        const std::size_t end = trusted_comment.find_first_of(separators, start);
        const std::string word = trusted_comment.substr(start, end - start);
        if (starts_with(word, key.c_str())) {
            versions.push_back(word.substr(key.size()));
        }
        start = trusted_comment.find_first_not_of(separators, end);
    }
    return versions;
}

}  // namespace

std::optional<std::vector<PublicKey>> parse_public_keys(const std::vector<std::string>& texts) {
    std::vector<PublicKey> keys;
    for (const std::string& text : texts) {
        const std::optional<PublicKey> key = parse_public_key(text);
        if (!key) {
            static_cast<void>(refuse(SignatureFailure::ends_run, "malformed public key"));
            return std::nullopt;
        }
        keys.push_back(*key);
    }
    return keys;
}

bool comment_allows_version(const std::string& trusted_comment, const std::string& version) {
    const std::vector<std::string> named = comment_versions(trusted_comment);
    return std::all_of(named.begin(), named.end(),
                       [&version](const std::string& text) { return text == version; });
}

std::optional<std::string> signed_version(const fs::path& path) {
    const std::optional<std::string> text = read_signature_file(path);
    const std::optional<SignatureFile> parsed = text ? parse_signature_file(*text) : std::nullopt;
    if (!parsed) {
        return std::nullopt;
    }
    const std::vector<std::string> named = comment_versions(parsed->trusted_comment);
    return named.empty() ? std::nullopt : std::optional(named.front());
}

struct Blake2b512::State {
    crypto_generichash_state state;
};

Blake2b512::Blake2b512() : state_(std::make_unique<State>()) {
    // libsodium chooses its implementations for this processor here; later calls do nothing.
    if (sodium_init() < 0) {
        spdlog::error("sodium_init failed");
        return;
    }
    // Without a key and with a valid length the set-up cannot fail.
    static_cast<void>(crypto_generichash_init(&state_->state, nullptr, 0, digest_bytes));
    ready_ = true;
}

Blake2b512::~Blake2b512() = default;

bool Blake2b512::update(const unsigned char* data, std::size_t size) {
    if (crypto_generichash_update(&state_->state, data, size) != 0) {
        spdlog::error("crypto_generichash_update failed");
        return false;
    }
    return true;
}

std::array<unsigned char, 64> Blake2b512::finish() {
    std::array<unsigned char, 64> digest{};
    static_cast<void>(crypto_generichash_final(&state_->state, digest.data(), digest.size()));
    return digest;
}

PackageSignature::PackageSignature(SignatureRule rule) : rule_(std::move(rule)) {
    const SignatureFailure failure = rule_.failure;
    const std::optional<std::string> text = read_signature_file(rule_.file);
    if (!text) {
        static_cast<void>(refuse(failure, "no signature file"));
        return;
    }
    const std::optional<SignatureFile> parsed = parse_signature_file(*text);
    if (!parsed) {
        static_cast<void>(refuse(failure, "malformed signature"));
        return;
    }
    const std::array<unsigned char, 74>& line = parsed->signature_line;
    if (line[0] == 'E' && line[1] == 'd') {
        static_cast<void>(refuse(failure, "legacy signature, sign again without -l"));
        return;
    }
    if (line[0] != 'E' || line[1] != 'D') {
        static_cast<void>(refuse(failure, "malformed signature"));
        return;
    }
    const auto key = std::find_if(rule_.keys.begin(), rule_.keys.end(), [&](const PublicKey& k) {
        return std::equal(k.id.begin(), k.id.end(), line.begin() + key_id_offset);
    });
    if (key == rule_.keys.end()) {
        static_cast<void>(refuse(failure, "no key with that key id"));
        return;
    }
    key_ = key->key;
    copy_part(line, material_offset, signature_);
    trusted_comment_ = parsed->trusted_comment;
    // The global signature covers the signature and the trusted comment, not the package, so it
    // is checked before the package is read. Failing here, it can't tell an altered comment from
    // a signature made by another key under a borrowed key id.
    std::vector<unsigned char> signed_comment(signature_.begin(), signature_.end());
    signed_comment.insert(signed_comment.end(), trusted_comment_.begin(), trusted_comment_.end());
    if (crypto_sign_verify_detached(parsed->global_signature.data(), signed_comment.data(),
                                    signed_comment.size(), key_.data()) != 0) {
        static_cast<void>(refuse(failure, "trusted comment altered or signed by another key"));
        return;
    }
    if (rule_.version && !comment_allows_version(trusted_comment_, *rule_.version)) {
        static_cast<void>(refuse(failure, "version mismatch"));
        return;
    }
    usable_ = digest_.ready();
}

bool PackageSignature::verify() {
    return verify(digest_.finish());
}

bool PackageSignature::verify(const std::array<unsigned char, 64>& digest) {
    if (crypto_sign_verify_detached(signature_.data(), digest.data(), digest.size(), key_.data()) !=
        0) {
        return refuse(rule_.failure, "signature does not match the package");
    }
    spdlog::info("Signature verified: {}", trusted_comment_);
    return true;
}

namespace {

// A minisign secret key file's second line decodes to these parts, in this order.
struct SecretKeyFile {
    std::array<unsigned char, 2> signature_algorithm;  // "Ed"
    std::array<unsigned char, 2> kdf_algorithm;        // "Sc" (scrypt) or two zero bytes
    std::array<unsigned char, 2> checksum_algorithm;   // "B2" (BLAKE2b-256)
    std::array<unsigned char, 32> kdf_salt;
    std::uint64_t kdf_opslimit;  // little-endian in the file
    std::uint64_t kdf_memlimit;
    // Encrypted together: the key id, the secret key and the checksum.
    std::array<unsigned char, 8 + 64 + 32> sealed;
};
constexpr std::size_t secret_key_file_bytes = 2 + 2 + 2 + 32 + 8 + 8 + 8 + 64 + 32;
// The most work and memory a key may ask of scrypt: minisign's own "sensitive" settings, with room.
constexpr std::uint64_t scrypt_opslimit_cap = std::uint64_t{1} << 32;
constexpr std::uint64_t scrypt_memlimit_cap = std::uint64_t{4} << 30;

std::uint64_t load_little_endian(const unsigned char* bytes) {
    std::uint64_t value = 0;
    for (int i = 7; i >= 0; --i) {
        value = (value << 8) | bytes[i];
    }
    return value;
}

bool decode_secret_key_file(const std::string& text, SecretKeyFile& parsed) {
    std::vector<std::string> lines = split_lines(text);
    if (lines.size() < 2 || !starts_with(lines[0], untrusted_prefix)) {
        return false;
    }
    std::array<unsigned char, secret_key_file_bytes> bytes{};
    const bool decoded = decode_base64(lines[1], bytes);
    sodium_memzero(lines[1].data(), lines[1].size());
    if (!decoded) {
        sodium_memzero(bytes.data(), bytes.size());
        return false;
    }
    const unsigned char* at = bytes.data();
    const auto take = [&at](auto& part) {
        std::copy_n(at, part.size(), part.begin());
        at += part.size();
    };
    take(parsed.signature_algorithm);
    take(parsed.kdf_algorithm);
    take(parsed.checksum_algorithm);
    take(parsed.kdf_salt);
    parsed.kdf_opslimit = load_little_endian(at);
    parsed.kdf_memlimit = load_little_endian(at + 8);
    at += 16;
    take(parsed.sealed);
    sodium_memzero(bytes.data(), bytes.size());
    return true;
}

// BLAKE2b-256 of the algorithm, the key id and the secret key: what the key file's checksum holds.
std::array<unsigned char, 32> secret_key_checksum(const SecretKeyFile& file) {
    crypto_generichash_state state;
    std::array<unsigned char, 32> checksum{};
    static_cast<void>(crypto_generichash_init(&state, nullptr, 0, checksum.size()));
    static_cast<void>(crypto_generichash_update(&state, file.signature_algorithm.data(), 2));
    static_cast<void>(crypto_generichash_update(&state, file.sealed.data(), 8 + 64));
    static_cast<void>(crypto_generichash_final(&state, checksum.data(), checksum.size()));
    sodium_memzero(&state, sizeof state);
    return checksum;
}

// XORs the sealed part with the scrypt stream of the password; false when scrypt fails.
bool unseal(SecretKeyFile& file, const std::string& password) {
    std::array<unsigned char, 8 + 64 + 32> stream{};
    if (crypto_pwhash_scryptsalsa208sha256(stream.data(), stream.size(), password.data(),
                                           password.size(), file.kdf_salt.data(),
                                           static_cast<unsigned long long>(file.kdf_opslimit),
                                           static_cast<std::size_t>(file.kdf_memlimit)) != 0) {
        return false;
    }
    for (std::size_t i = 0; i < stream.size(); ++i) {
        file.sealed[i] ^= stream[i];
    }
    sodium_memzero(stream.data(), stream.size());
    return true;
}

}  // namespace

SecretKey::~SecretKey() {
    sodium_memzero(key.data(), key.size());
}

SecretText::~SecretText() {
    sodium_memzero(text_.data(), text_.capacity());
}

SecretKeyFailure read_secret_key(const std::string& file_text, const SecretText* password,
                                 SecretKey& key) {
    if (sodium_init() < 0) {
        return SecretKeyFailure::malformed;
    }
    SecretKeyFile file{};
    const auto wipe = [&file] { sodium_memzero(&file, sizeof file); };
    if (!decode_secret_key_file(file_text, file) ||
        std::memcmp(file.signature_algorithm.data(), "Ed", 2) != 0 ||
        std::memcmp(file.checksum_algorithm.data(), "B2", 2) != 0) {
        wipe();
        return SecretKeyFailure::malformed;
    }
    const bool encrypted = std::memcmp(file.kdf_algorithm.data(), "Sc", 2) == 0;
    if (!encrypted && (file.kdf_algorithm[0] != 0 || file.kdf_algorithm[1] != 0)) {
        wipe();
        return SecretKeyFailure::malformed;
    }
    if (encrypted) {
        if (password == nullptr) {
            wipe();
            return SecretKeyFailure::needs_password;
        }
        if (file.kdf_opslimit > scrypt_opslimit_cap || file.kdf_memlimit > scrypt_memlimit_cap ||
            !unseal(file, password->text())) {
            wipe();
            return SecretKeyFailure::malformed;
        }
    }
    // minisign leaves the checksum of an unencrypted key as zeros.
    const std::array<unsigned char, 32> checksum = secret_key_checksum(file);
    const unsigned char* recorded = file.sealed.data() + 8 + 64;
    const bool unchecked = !encrypted && sodium_is_zero(recorded, checksum.size()) == 1;
    if (!unchecked && sodium_memcmp(checksum.data(), recorded, checksum.size()) != 0) {
        wipe();
        return encrypted ? SecretKeyFailure::wrong_password : SecretKeyFailure::malformed;
    }
    // The secret key ends in its public half, which its first half (the seed) determines.
    std::array<unsigned char, 32> public_key{};
    std::array<unsigned char, 64> derived{};
    static_cast<void>(
        crypto_sign_seed_keypair(public_key.data(), derived.data(), file.sealed.data() + 8));
    const bool matches = sodium_memcmp(derived.data(), file.sealed.data() + 8, 64) == 0;
    sodium_memzero(derived.data(), derived.size());
    if (!matches) {
        wipe();
        return SecretKeyFailure::malformed;
    }
    std::copy_n(file.sealed.begin(), key.id.size(), key.id.begin());
    std::copy_n(file.sealed.begin() + 8, key.key.size(), key.key.begin());
    wipe();
    return SecretKeyFailure::none;
}

std::string key_id_text(const std::array<unsigned char, 8>& id) {
    // minisign reads the id as a little-endian number and shows it in hexadecimal.
    static const char digits[] = "0123456789ABCDEF";
    std::string text;
    for (auto byte = id.rbegin(); byte != id.rend(); ++byte) {
        text += digits[*byte >> 4];
        text += digits[*byte & 0x0F];
    }
    return text;
}

namespace {

template <std::size_t N>
std::string encode_base64(const std::array<unsigned char, N>& bytes) {
    std::string text(sodium_base64_ENCODED_LEN(N, sodium_base64_VARIANT_ORIGINAL), '\0');
    sodium_bin2base64(text.data(), text.size(), bytes.data(), N, sodium_base64_VARIANT_ORIGINAL);
    text.resize(std::strlen(text.c_str()));
    return text;
}

}  // namespace

std::optional<std::string> sign_package(const SecretKey& key,
                                        const std::array<unsigned char, 64>& package_digest,
                                        const std::string& trusted_comment) {
    std::array<unsigned char, 64> signature{};
    if (crypto_sign_detached(signature.data(), nullptr, package_digest.data(),
                             package_digest.size(), key.key.data()) != 0) {
        spdlog::error("Signing failed: crypto_sign_detached");
        return std::nullopt;
    }
    std::vector<unsigned char> signed_comment(signature.begin(), signature.end());
    signed_comment.insert(signed_comment.end(), trusted_comment.begin(), trusted_comment.end());
    std::array<unsigned char, 64> global_signature{};
    if (crypto_sign_detached(global_signature.data(), nullptr, signed_comment.data(),
                             signed_comment.size(), key.key.data()) != 0) {
        spdlog::error("Signing failed: crypto_sign_detached");
        return std::nullopt;
    }
    // The secret key ends in its public half: a key whose halves don't belong together makes
    // signatures that no one can verify.
    const unsigned char* public_key = key.key.data() + 32;
    if (crypto_sign_verify_detached(signature.data(), package_digest.data(), package_digest.size(),
                                    public_key) != 0) {
        spdlog::error("Signing failed: the secret key does not match its public key");
        return std::nullopt;
    }
    std::array<unsigned char, 2 + 8 + 64> line{};
    line[0] = 'E';
    line[1] = 'D';
    std::copy(key.id.begin(), key.id.end(), line.begin() + key_id_offset);
    std::copy(signature.begin(), signature.end(), line.begin() + material_offset);
    return std::string(untrusted_prefix) + "signature from secret key " + key_id_text(key.id) +
           "\n" + encode_base64(line) + "\n" + trusted_prefix + trusted_comment + "\n" +
           encode_base64(global_signature) + "\n";
}
