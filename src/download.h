#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>

// Handler of `download`: makes sure a verified package lies at `output`. Returns the exit code.
int run_download(const std::string& url, const std::string& output, const std::string& sha256,
                 std::int64_t size);

// True when `path` is a regular file of the expected size (negative: not tested) and digest
// (empty: not tested). Every reason for false except a missing file is logged.
bool verify_package(const std::filesystem::path& path, const std::string& expected_sha256,
                    std::int64_t expected_size);

// Lower-case hexadecimal SHA-256 of the whole file; nothing when it fails (already logged).
std::optional<std::string> sha256_file(const std::filesystem::path& path);

// Platform pieces (download_win.cpp, download_posix.cpp).

// Fetches the complete content of `url` into the file `path_text`, blocking until the transfer
// ends. Returns an HRESULT-style code: zero or positive is success, negative is the failure code.
std::int32_t download_url_to_file(const std::string& url, const std::string& path_text);
