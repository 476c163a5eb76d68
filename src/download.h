#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

// Handler of `download`: makes sure a verified package lies at `output`. Returns the exit code.
int run_download(const std::string& url, const std::string& output, const std::string& sha256,
                 std::int64_t size);

// True when `path` is a regular file of the expected size (negative: not tested) and digest
// (empty: not tested). Every reason for false except a missing file is logged.
[[nodiscard]] bool verify_package(const std::filesystem::path& path,
                                  const std::string& expected_sha256, std::int64_t expected_size);

// Lower-case hexadecimal SHA-256 of the whole file; nothing when it fails (already logged).
std::optional<std::string> sha256_file(const std::filesystem::path& path);

// Platform pieces (download_win.cpp, download_posix.cpp).

// Fetches the complete content of `url` into the file `path_text`, blocking until the transfer
// ends. Returns an HRESULT-style code: zero or positive is success, negative is the failure code.
std::int32_t download_url_to_file(const std::string& url, const std::string& path_text);

// A SHA-256 computation by the platform's crypto provider. Each step that fails is logged.
class Sha256 {
  public:
    Sha256();
    ~Sha256();
    Sha256(const Sha256&) = delete;
    Sha256& operator=(const Sha256&) = delete;

    // False when the provider could not be set up.
    [[nodiscard]] bool ready() const;
    [[nodiscard]] bool update(const unsigned char* data, std::size_t size);
    // The digest of everything given to update; nothing when it fails.
    [[nodiscard]] std::optional<std::vector<unsigned char>> finish();

  private:
    struct Native;  // the provider's objects
    std::unique_ptr<Native> native_;
};
