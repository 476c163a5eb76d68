#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

struct SignatureRule;
class BodyReceiver;

// Handler of `download`: makes sure a verified package lies at `output`, logging to updater.log
// in root. The URLs are tried in turn until one gives a package that verifies; the one whose
// bytes an earlier run kept goes first and continues them. With public keys, the package must
// also carry a signature by one of them, fetched from signature_url (empty: the package's URL
// followed by ".minisig") into <output>.minisig, and, with a version given (even empty), every
// version in the signature's trusted comment must be that one. Returns the exit code.
int run_download(const std::vector<std::string>& urls, const std::filesystem::path& output,
                 const std::string& sha256, std::int64_t size, const std::filesystem::path& root,
                 const std::vector<std::string>& public_keys, const std::string& signature_url,
                 const std::optional<std::string>& version);

// True when `path` is a regular file of the expected size (negative: not tested) and digest
// (empty: not tested), and, with a signature rule, signed as that rule says. The package is read
// once for every digest, as the progress phase named (if any) when it is read. Every reason for
// false except a missing file is logged.
[[nodiscard]] bool verify_package(const std::filesystem::path& path,
                                  const std::string& expected_sha256, std::int64_t expected_size,
                                  const SignatureRule* signature = nullptr,
                                  const char* progress_phase_name = nullptr);

// Platform pieces (download_win.cpp, download_posix.cpp).

// What both builds ask of every request: the same encodings offered (and decoded), whatever the
// transfer library would offer by itself, and the same number of redirects followed.
constexpr const char* accepted_encodings = "gzip, deflate";
constexpr long max_redirects = 30;

// Fetches the complete content of `url` into `body`, blocking until the transfer ends. Returns an
// HRESULT-style code (receive.h): zero or positive is success, negative is the failure code:
// E_ABORT when the body would exceed its limit, INET_E_CONNECTION_TIMEOUT for a stall,
// INET_E_DOWNLOAD_FAILURE for an HTTP status other than 2xx, more than max_redirects redirects, or
// a body shorter than announced.
std::int32_t transfer_url_into(const std::string& url, BodyReceiver& body);
