#pragma once

// Digests of files the updater checks, computed piece by piece so that a package is never held
// whole in memory.

#include <cstddef>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "files.h"

// A digest computed piece by piece.
class Digest {
  public:
    virtual ~Digest() = default;
    // False when the computation failed (logged).
    [[nodiscard]] virtual bool update(const unsigned char* data, std::size_t size) = 0;
};

// Reads the open file once from its start, through one buffer, and feeds every piece to each of
// the digests, so that a package is read from disk only once however many digests it is checked
// with. False when a digest fails (logged). A read error ends the reading like the end of the
// file does: the digests then cover only what was read and cannot match.
[[nodiscard]] bool feed_file(const ReadOnlyFile& file, const std::vector<Digest*>& digests);

// feed_file for the file at path; also false when it can't be opened (logged).
[[nodiscard]] bool feed_file(const std::filesystem::path& path,
                             const std::vector<Digest*>& digests);

// Lower-case hexadecimal text of the bytes.
std::string to_hex(const std::vector<unsigned char>& bytes);

// A SHA-256 computation by the platform's crypto provider. Each step that fails is logged.
class Sha256 : public Digest {
  public:
    Sha256();
    ~Sha256() override;
    Sha256(const Sha256&) = delete;
    Sha256& operator=(const Sha256&) = delete;

    // False when the provider could not be set up.
    [[nodiscard]] bool ready() const { return ready_; }
    [[nodiscard]] bool update(const unsigned char* data, std::size_t size) override;
    // The digest of everything given to update; nothing when it fails.
    [[nodiscard]] std::optional<std::vector<unsigned char>> finish();

  private:
    class Provider;
    std::unique_ptr<Provider> provider_;
    bool ready_ = false;
};

// Platform piece: the steps of a SHA-256 computation with the system's provider (CNG on Windows,
// OpenSSL's EVP elsewhere). Each call reports the step that failed, named after the CNG call, and
// nothing when it succeeded.
enum class Sha256Step { open_provider, get_property, create_hash, hash_data, finish_hash };

class Sha256::Provider {
  public:
    Provider();
    ~Provider();
    Provider(const Provider&) = delete;
    Provider& operator=(const Provider&) = delete;

    std::optional<Sha256Step> start();
    std::optional<Sha256Step> update(const unsigned char* data, std::size_t size);
    std::optional<Sha256Step> finish(std::vector<unsigned char>& digest);

  private:
    struct Native;  // the provider's objects
    std::unique_ptr<Native> native_;
};
