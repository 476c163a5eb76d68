#include "download.h"

#include <spdlog/spdlog.h>

#include <cstdint>
#include <functional>
#include <system_error>

#include "digest.h"
#include "files.h"
#include "kept_download.h"
#include "log.h"
#include "package_verification.h"
#include "progress.h"
#include "receive.h"
#include "run_start.h"
#include "signature.h"
#include "text.h"

namespace fs = std::filesystem;

namespace {

// What became of the package from one URL.
enum class Attempt {
    verified,  // in place and verified
    failed,    // another URL may do better
    ends_run,  // a failure on this side (the disk, the file): another URL would meet it too
};

// The level of a failure line: a warning while another URL is left to try, an error for the last.
spdlog::level::level_enum failure_level(bool last_url) {
    return last_url ? spdlog::level::err : spdlog::level::warn;
}

void log_transfer_failure(std::int32_t result, const std::string& url,
                          spdlog::level::level_enum level) {
    spdlog::log(level, "URLDownloadToFile failed: hr=0x{:08x} url={}",
                static_cast<std::uint32_t>(result), url);
}

// Fetches the signature at url into `temporary`; a failure is logged at `level` and leaves no
// file behind.
[[nodiscard]] bool fetch_signature(const std::string& url, const fs::path& temporary,
                                   spdlog::level::level_enum level) {
    spdlog::info("Downloading signature: {} -> {}", url, path_text(temporary));
    std::int32_t result = 0;
    {
        // Closed before a failed file is removed: Windows removes no open file.
        BodyReceiver body(temporary, BodyLimit::at_most(signature_file_limit), {});
        result = transfer_url_into(url, body);
    }
    if (result < 0) {
        log_transfer_failure(result, url, level);
        remove_file(temporary);
        return false;
    }
    return true;
}

// The rename replaces a file at the target in one step, so that file stays until the new one is
// in place, even when the rename fails; only something else in the way (an empty directory) is
// removed first. `what` names the file in the log.
[[nodiscard]] bool move_into_place(const char* what, const fs::path& temporary,
                                   const fs::path& target) {
    if (!regular_file_size(target)) {
        remove_file(target);
    }
    // Flushed first: after a power cut the target must be the old file or all of the new one.
    if (!make_file_durable(temporary)) {
        remove_file(temporary);
        return false;
    }
    if (const NativeError error = rename_path(temporary, target); error.failed()) {
        spdlog::error("Failed to move {} into place: {}", what, error_text(error));
        remove_file(temporary);
        return false;
    }
    // The new file is in place, and complete on the disk: should the rename itself not survive
    // a power cut, the old file is back, whole. So a failure here is logged and no more.
    static_cast<void>(make_rename_durable(target));
    return true;
}

// A downloaded package that failed its checks goes, with the bytes kept for it.
void reject_package(const fs::path& temporary, spdlog::level::level_enum level) {
    spdlog::log(level, "Downloaded package failed integrity checks: {}", path_text(temporary));
    remove_file(temporary);
}

// The package a run is after, and the files beside it.
struct PackageTarget {
    fs::path package;
    fs::path temporary;  // <package>.download
    std::string sha256;  // empty: not checked, and no bytes are kept
    std::int64_t size;   // negative: not checked
};

// Moves the verified package into place; a failure there lies on this side.
[[nodiscard]] Attempt put_in_place(const PackageTarget& target) {
    return move_into_place("package", target.temporary, target.package) ? Attempt::verified
                                                                        : Attempt::ends_run;
}

// Kept bytes that already make the whole package are checked as they are, without a request.
[[nodiscard]] Attempt verify_kept_package(const PackageTarget& target, PackageVerification& check,
                                          spdlog::level::level_enum level) {
    progress_attempt(phase::download, static_cast<std::uint64_t>(target.size), target.size);
    bool verified = false;
    {
        // Closed before a failed file is removed: Windows removes no open file.
        ReadOnlyFile file;
        if (file.open(target.temporary).failed()) {
            spdlog::error("Failed to open for hash: {}", path_text(target.temporary));
        } else {
            verified = verify_file(check, file, path_text(target.temporary));
        }
    }
    if (!verified) {
        reject_package(target.temporary, level);
        return Attempt::failed;
    }
    return put_in_place(target);
}

// Fetches the package from url into <package>.download, continuing the bytes kept from url when
// there are any and feeding it to the started check as it arrives, finishes the check and moves
// the package into place. A transfer that ends early with a SHA-256 to check the result
// by keeps what it received for the next run; bytes kept from anywhere else are dropped once a
// body from url starts to arrive.
[[nodiscard]] Attempt fetch_package(const std::string& url, const PackageTarget& target,
                                    KeptDownload& kept, PackageVerification& check,
                                    spdlog::level::level_enum level) {
    spdlog::info("Downloading package: {} -> {}", url, path_text(target.temporary));
    const bool bytes_were_kept = kept.holds_bytes();
    std::optional<ResumePoint> resume;
    if (kept.belongs_to(url, target.sha256)) {
        resume = kept.take_back(target.temporary);
    }
    if (resume && target.size >= 0 && resume->kept >= static_cast<std::uint64_t>(target.size)) {
        if (resume->kept == static_cast<std::uint64_t>(target.size)) {
            return verify_kept_package(target, check, level);
        }
        resume.reset();  // more than the package holds: of no use
    }
    std::function<void()> body_begins;
    if (bytes_were_kept && !resume) {
        body_begins = [&kept] { kept.drop(); };
    }
    for (;;) {
        std::int32_t result = 0;
        std::uint64_t received = 0;
        std::optional<ResumePoint> worth_keeping;
        bool failed_locally = false;
        {
            // Closed before the file is kept or removed: Windows renames or removes no open file.
            // A range the server refuses is refused before any byte is fed, so the same
            // digests serve the request for the whole body.
            BodyReceiver body(target.temporary, BodyLimit::exactly(target.size), check.digests(),
                              resume, body_begins);
            body.show_progress();
            result = transfer_url_into(url, body);
            received = body.received();
            worth_keeping = body.worth_keeping();
            failed_locally = body.failed_locally();
        }
        if (result == transfer_code::range_refused && resume) {
            // The server can't continue the kept bytes: they go, and the whole body is asked for.
            resume.reset();
            continue;
        }
        if (result < 0) {
            // A failure on this side ends the run, so it is the last one whatever URLs are left.
            log_transfer_failure(result, url, failed_locally ? spdlog::level::err : level);
            if (worth_keeping && !target.sha256.empty()) {
                kept.keep(target.temporary, url, target.sha256, *worth_keeping);
            } else {
                remove_file(target.temporary);
            }
            return failed_locally ? Attempt::ends_run : Attempt::failed;
        }
        if (!check.finish(path_text(target.temporary), received)) {
            reject_package(target.temporary, level);
            return Attempt::failed;
        }
        return put_in_place(target);
    }
}

// fetch_package for a package without a signature.
[[nodiscard]] Attempt fetch_unsigned_package(const std::string& url, const PackageTarget& target,
                                             KeptDownload& kept, spdlog::level::level_enum level) {
    PackageVerification check({target.sha256, target.size, nullptr});
    return check.start() ? fetch_package(url, target, kept, check, level) : Attempt::failed;
}

// fetch_package for a signed package: its signature is fetched first into <signature>.download
// (it is small, and one that is missing or can't verify whatever the package holds ends the
// attempt before the package is requested), the package is verified against it, and both are
// moved into place, the package first. An interruption between the two moves leaves a package
// that fails its next check and is fetched again.
[[nodiscard]] Attempt fetch_signed_package(const std::string& url, const std::string& signature_url,
                                           const PackageTarget& target, KeptDownload& kept,
                                           const fs::path& signature,
                                           const std::vector<PublicKey>& keys,
                                           const std::optional<std::string>& version,
                                           bool last_url) {
    const spdlog::level::level_enum level = failure_level(last_url);
    const fs::path temporary_signature = with_suffix(signature, ".download");
    const SignatureRule rule{temporary_signature, keys, version,
                             last_url ? SignatureFailure::ends_run : SignatureFailure::fetch_again};
    Attempt attempt = Attempt::failed;
    PackageVerification check({target.sha256, target.size, &rule});
    if (fetch_signature(signature_url, temporary_signature, level) && check.start()) {
        attempt = fetch_package(url, target, kept, check, level);
        if (attempt == Attempt::verified &&
            !move_into_place("signature", temporary_signature, signature)) {
            attempt = Attempt::ends_run;
        }
    }
    // Left only by a failure after the signature was fetched.
    remove_file(temporary_signature);
    return attempt;
}

// The URLs in the order they are tried: the one whose bytes are kept first, the rest as given.
std::vector<std::string> urls_to_try(const std::vector<std::string>& urls, const KeptDownload& kept,
                                     const std::string& sha256) {
    std::vector<std::string> order;
    for (const std::string& url : urls) {
        if (kept.belongs_to(url, sha256)) {
            order.push_back(url);
            break;
        }
    }
    for (const std::string& url : urls) {
        if (order.empty() || url != order.front()) {
            order.push_back(url);
        }
    }
    return order;
}

}  // namespace

[[nodiscard]] bool verify_package(const fs::path& path, const std::string& expected_sha256,
                                  std::int64_t expected_size, const SignatureRule* signature_rule,
                                  const char* progress_phase_name) {
    // A missing file is the ordinary "not downloaded yet" case, so it is not logged.
    const std::optional<std::uint64_t> length = regular_file_size(path);
    if (!length) {
        return false;
    }
    PackageVerification check({expected_sha256, expected_size, signature_rule});
    if (!check.size_matches(path_text(path), *length) || !check.start()) {
        return false;
    }
    // Without digests the package is not read.
    if (check.digests().empty()) {
        return check.finish(path_text(path), *length);
    }
    ReadOnlyFile file;
    if (file.open(path).failed()) {
        spdlog::error("Failed to open for hash: {}", path_text(path));
        return false;
    }
    return verify_file(check, file, path_text(path), progress_phase_name);
}

int run_download(const std::vector<std::string>& urls, const fs::path& package,
                 const std::string& sha256, std::int64_t size, const fs::path& root,
                 const std::vector<std::string>& public_keys, const std::string& signature_url,
                 const std::optional<std::string>& version) {
    // The lock file lies beside the package, so its directory is made before anything else.
    if (const NativeError error = make_directories(package.parent_path()); error.failed()) {
        init_logging(root);
        spdlog::error("Failed to create package directory {}: {}", path_text(package.parent_path()),
                      error_text(error));
        return 1;
    }
    // Two runs for one output would share its .download files: one could move the other's
    // unfinished file into place.
    const fs::path lock_path = with_suffix(package, ".lock");
    const FileLock lock = start_locked_run(
        root, [&lock_path] { return lock_file(lock_path); }, lock_path,
        "Another download to " + path_text(package) + " is in progress");
    if (!lock.held()) {
        return 1;
    }
    const std::optional<std::vector<PublicKey>> keys = parse_public_keys(public_keys);
    if (!keys) {
        return 1;
    }
    // Without keys no signature is read or fetched.
    const fs::path signature = with_suffix(package, ".minisig");
    // A package in place signed for another version is fetched again.
    const SignatureRule in_place{signature, *keys, version, SignatureFailure::fetch_again};
    const PackageTarget target{package, with_suffix(package, ".download"), sha256, size};
    // Loaded even when the package is in place, for what loading clears: half of a kept pair (a
    // removal that failed) is of use to no one; a whole pair may still be another package's.
    KeptDownload kept = load_kept_download(kept_paths(package));
    if (verify_package(package, sha256, size, keys->empty() ? nullptr : &in_place, phase::verify)) {
        spdlog::info("Package already present and verified: {}", path_text(package));
        return 0;
    }
    const std::vector<std::string> order = urls_to_try(urls, kept, sha256);
    for (std::size_t i = 0; i < order.size(); ++i) {
        const bool last_url = i + 1 == order.size();
        const Attempt attempt =
            keys->empty()
                ? fetch_unsigned_package(order[i], target, kept, failure_level(last_url))
                : fetch_signed_package(
                      order[i], signature_url.empty() ? order[i] + ".minisig" : signature_url,
                      target, kept, signature, *keys, version, last_url);
        if (attempt == Attempt::verified) {
            // Whatever is still kept is of no more use: this package is in place, and so are the
            // bytes kept for packages the application has moved on from.
            kept.drop();
            remove_abandoned_downloads(package);
            spdlog::info("Package downloaded and verified: {}", path_text(package));
            return 0;
        }
        if (attempt == Attempt::ends_run) {
            break;
        }
    }
    return 1;
}
