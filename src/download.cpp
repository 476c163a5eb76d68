#include "download.h"

#include <spdlog/spdlog.h>

#include <cstdint>
#include <fstream>
#include <system_error>

#include "files.h"
#include "log.h"
#include "text.h"

namespace fs = std::filesystem;

namespace {

// The package is hashed through a buffer of this size, never held whole in memory.
constexpr std::size_t read_chunk = 1 << 20;

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

// Fetches url into `temporary`; a failure is logged and leaves no file behind.
[[nodiscard]] bool fetch_package(const std::string& url, const fs::path& temporary,
                                 std::int64_t size) {
    remove_file(temporary);
    const std::string temporary_text = to_narrow(temporary);
    spdlog::info("Downloading package: {} -> {}", url, temporary_text);
    const std::int32_t result = download_url_to_file(url, temporary, size);
    if (result < 0) {
        spdlog::error("URLDownloadToFile failed: hr=0x{:08x} url={}",
                      static_cast<std::uint32_t>(result), url);
        remove_file(temporary);
        return false;
    }
    return true;
}

[[nodiscard]] bool verify_download(const fs::path& temporary, const std::string& sha256,
                                   std::int64_t size) {
    if (!verify_package(temporary, sha256, size)) {
        spdlog::error("Downloaded package failed integrity checks: {}", to_narrow(temporary));
        remove_file(temporary);
        return false;
    }
    return true;
}

// The rename replaces a file at the package path in one step, so that file stays until the new
// one is in place, even when the rename fails; only something else in the way (an empty
// directory) is removed first.
[[nodiscard]] bool move_into_place(const fs::path& temporary, const fs::path& package) {
    if (!regular_file_size(package)) {
        remove_file(package);
    }
    if (const NativeError error = rename_path(temporary, package); error.failed()) {
        spdlog::error("Failed to move package into place: {}", error_text(error));
        remove_file(temporary);
        return false;
    }
    return true;
}

}  // namespace

bool feed_file(const fs::path& path, const std::vector<Digest*>& digests) {
    std::ifstream in(path, std::ios::binary);
    if (in.fail()) {
        spdlog::error("Failed to open for hash: {}", to_narrow(path));
        return false;
    }
    std::vector<char> buffer(read_chunk);
    while (!in.fail()) {
        in.read(buffer.data(), static_cast<std::streamsize>(buffer.size()));
        const std::streamsize read = in.gcount();
        if (read <= 0) {
            continue;
        }
        for (Digest* digest : digests) {
            if (!digest->update(reinterpret_cast<const unsigned char*>(buffer.data()),
                                static_cast<std::size_t>(read))) {
                return false;
            }
        }
    }
    return true;
}

std::optional<std::string> sha256_file(const fs::path& path) {
    Sha256 hash;
    if (!hash.ready() || !feed_file(path, {&hash})) {
        return std::nullopt;
    }
    const std::optional<std::vector<unsigned char>> digest = hash.finish();
    if (!digest) {
        return std::nullopt;
    }
    return to_hex(*digest);
}

[[nodiscard]] bool verify_package(const fs::path& path, const std::string& expected_sha256,
                                  std::int64_t expected_size) {
    // A missing file is the ordinary "not downloaded yet" case, so it is not logged.
    const std::optional<std::uint64_t> length = regular_file_size(path);
    if (!length) {
        return false;
    }
    if (expected_size >= 0) {
        const auto actual = static_cast<std::int64_t>(*length);
        if (actual != expected_size) {
            spdlog::warn("Package size mismatch: {} expected={} actual={}", to_narrow(path),
                         expected_size, actual);
            return false;
        }
    }
    if (expected_sha256.empty()) {
        return true;
    }
    const std::optional<std::string> actual = sha256_file(path);
    if (!actual) {
        return false;
    }
    if (ascii_lower(expected_sha256) == ascii_lower(*actual)) {
        return true;
    }
    spdlog::warn("Package sha256 mismatch: {} expected={} actual={}", to_narrow(path),
                 expected_sha256, *actual);
    return false;
}

int run_download(const std::string& url, const std::string& output, const std::string& sha256,
                 std::int64_t size, const std::string& app_dir) {
    const fs::path package = to_path(output);
    // The lock file lies beside the package, so its directory is made before anything else.
    if (const NativeError error = make_directories(package.parent_path()); error.failed()) {
        init_logging(app_dir);
        spdlog::error("Failed to create package directory {}: {}", to_narrow(package.parent_path()),
                      error_text(error));
        return 1;
    }
    // Two runs for one output would share its .download file: one could move the other's
    // unfinished file into place.
    fs::path lock_path = package;
    lock_path += ".lock";
    const FileLock lock = lock_file(lock_path);
    if (!start_log_under_lock(app_dir, lock, lock_path,
                              "Another download to " + output + " is in progress")) {
        return 1;
    }
    if (verify_package(package, sha256, size)) {
        spdlog::info("Package already present and verified: {}", to_narrow(package));
        return 0;
    }
    fs::path temporary = package;
    temporary += ".download";
    if (!fetch_package(url, temporary, size) || !verify_download(temporary, sha256, size) ||
        !move_into_place(temporary, package)) {
        return 1;
    }
    spdlog::info("Package downloaded and verified: {}", to_narrow(package));
    return 0;
}
