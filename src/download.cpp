#include "download.h"

#include <spdlog/spdlog.h>

#include <cstdint>
#include <system_error>

#include "files.h"
#include "text.h"

namespace fs = std::filesystem;

namespace {

std::string ascii_lower(std::string text) {
    for (char& c : text) {
        if (c >= 'A' && c <= 'Z') {
            c = static_cast<char>(c - 'A' + 'a');
        }
    }
    return text;
}

// The file's length from its metadata, following links; -1 when it cannot be read.
std::int64_t file_length(const fs::path& path) {
    std::error_code error;
    const std::uintmax_t length = fs::file_size(path, error);
    return error ? -1 : static_cast<std::int64_t>(length);
}

}  // namespace

bool verify_package(const fs::path& path, const std::string& expected_sha256,
                    std::int64_t expected_size) {
    // A missing file is the ordinary "not downloaded yet" case, so it is not logged.
    std::error_code error;
    if (!fs::is_regular_file(path, error)) {
        return false;
    }
    if (expected_size >= 0) {
        const std::int64_t actual = file_length(path);
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
                 std::int64_t size) {
    const fs::path package = to_path(output);
    const fs::path directory = package.parent_path();
    if (const unsigned long code = make_directories(directory); code != 0) {
        spdlog::error("Failed to create package directory {}: {}", to_narrow(directory),
                      error_text(code));
        return 1;
    }

    if (verify_package(package, sha256, size)) {
        spdlog::info("Package already present and verified: {}", to_narrow(package));
        return 0;
    }

    fs::path temporary = package;
    temporary += ".download";
    remove_file(temporary);

    const std::string temporary_text = to_narrow(temporary);
    spdlog::info("Downloading package: {} -> {}", url, temporary_text);
    const std::int32_t result = download_url_to_file(url, temporary_text);
    if (result < 0) {
        spdlog::error("URLDownloadToFile failed: hr=0x{:08x} url={}",
                      static_cast<std::uint32_t>(result), url);
        remove_file(temporary);
        return 1;
    }

    if (!verify_package(temporary, sha256, size)) {
        spdlog::error("Downloaded package failed integrity checks: {}", temporary_text);
        remove_file(temporary);
        return 1;
    }

    // The rename replaces a file at the package path in one step, so that file stays until the
    // new one is in place, even when the rename fails; only something else in the way (an empty
    // directory) is removed first.
    std::error_code not_a_file;
    if (!fs::is_regular_file(package, not_a_file)) {
        remove_file(package);
    }
    if (const unsigned long code = rename_path(temporary, package); code != 0) {
        spdlog::error("Failed to move package into place: {}", error_text(code));
        remove_file(temporary);
        return 1;
    }
    spdlog::info("Package downloaded and verified: {}", to_narrow(package));
    return 0;
}
