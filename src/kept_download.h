#pragma once

// Bytes of a package transfer that ended early, kept beside the output so that the next run can
// ask the server for the rest instead of the whole package: <output>.partial holds the bytes,
// and the record <output>.partial.source names the URL they came from, the SHA-256 the package
// must have and the server's validator. Bytes without a complete record, or a record without
// bytes, are nothing and are removed.

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>

#include "receive.h"

struct KeptPaths {
    std::filesystem::path bytes;   // <output>.partial
    std::filesystem::path source;  // <output>.partial.source
};
KeptPaths kept_paths(const std::filesystem::path& package);

// Where kept bytes came from.
struct KeptSource {
    std::string url;        // the URL the run was given
    std::string sha256;     // lower-case hexadecimal
    std::string validator;  // ETag or Last-Modified; empty when the server sent neither
};

struct KeptBytes {
    KeptSource source;
    std::uint64_t size = 0;
};

// What is kept: nothing when there are no bytes or no complete record. Anything at either name
// that is not a regular file of ours with one name (a directory, a link, a file with a second
// name) is removed as itself, never followed, and so is a half of a pair without the other.
std::optional<KeptBytes> find_kept(const KeptPaths& paths);

// Removes the kept bytes and their record, best effort.
void drop_kept(const KeptPaths& paths);

// Keeps the received file `download` (its first `point.kept` bytes good) as the kept bytes of
// `url` and `sha256`: its data is flushed, the record written and flushed, then the file renamed.
// Failures are logged as warnings; nothing is kept then and `download` is removed.
void keep_received(const std::filesystem::path& download, const KeptPaths& paths,
                   const std::string& url, const std::string& sha256, const ResumePoint& point);

// Puts the kept bytes back at `download` for a transfer to continue them, dropping the record:
// a run killed from here on keeps nothing. Nothing when they can't be moved (logged; both are
// then dropped).
std::optional<ResumePoint> take_back_kept(const KeptPaths& paths, const KeptBytes& kept,
                                          const std::filesystem::path& download);

// Removes what transfers to other outputs in `package`'s directory left behind, once `package`
// is in place (the application has moved on to it): their kept pairs whose record is the
// updater's own, and their stray <output>.download and <output>.minisig.download. Each output is
// touched only while its lock is free, taken for the removal (lock_file_leaving_none); one whose
// lock is held is left alone. Nothing else is removed, and no lock file is made or removed.
void remove_abandoned_downloads(const std::filesystem::path& package);
