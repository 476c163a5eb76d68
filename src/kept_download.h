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
#include <utility>

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

// The kept download of one output, loaded once per run while the output's lock is held, so
// that nothing else changes it: it knows what it holds, and decides in memory whether a URL may
// continue the bytes, taking them back, keeping new ones or dropping them on the disk as it goes.
class KeptDownload {
  public:
    explicit KeptDownload(KeptPaths paths) : paths_(std::move(paths)) {}

    // Whether bytes with a complete record are kept.
    bool holds_bytes() const { return kept_.has_value(); }
    // True when the kept bytes came from url for the package of sha256 (never for an empty one):
    // only then may url continue them.
    bool belongs_to(const std::string& url, const std::string& sha256) const;

    // Puts the kept bytes back at `download` for a transfer to continue them, dropping the
    // record: a run killed from here on keeps nothing, and nothing is held any more. Nothing
    // when none are held or they can't be moved (logged; both are then dropped).
    std::optional<ResumePoint> take_back(const std::filesystem::path& download);

    // Keeps the received file `download` (its first `point.kept` bytes good) as the bytes of
    // `url` and `sha256` in place of anything held: its data is flushed, the record written and
    // flushed, then the file renamed. Failures are logged as warnings; nothing is kept then and
    // `download` is removed.
    void keep(const std::filesystem::path& download, const std::string& url,
              const std::string& sha256, const ResumePoint& point);

    // Removes the kept bytes and their record from the disk, best effort, whatever is held.
    void drop();

  private:
    struct Held {
        KeptSource source;
        std::uint64_t size = 0;
    };
    friend KeptDownload load_kept_download(const KeptPaths& paths);

    KeptPaths paths_;
    std::optional<Held> kept_;
};

// Loads the kept download at `paths`: the bytes are held when there are bytes and a complete
// record. Anything at either name that is not a regular file of ours with one name (a directory,
// a link, a file with a second name) is removed as itself, never followed, and so is a half of a
// pair without the other or a pair whose record can't be read.
KeptDownload load_kept_download(const KeptPaths& paths);

// Removes what transfers to other outputs in `package`'s directory left behind, once `package`
// is in place (the application has moved on to it): their kept pairs whose record is the
// updater's own, and their stray <output>.download and <output>.minisig.download. Each output is
// touched only while its lock is free, taken for the removal (lock_file_leaving_none); one whose
// lock is held is left alone. Nothing else is removed, and no lock file is made or removed.
void remove_abandoned_downloads(const std::filesystem::path& package);
