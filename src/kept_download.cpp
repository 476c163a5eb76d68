#include "kept_download.h"

#include <spdlog/spdlog.h>

#include <optional>
#include <set>
#include <vector>

#include "files.h"
#include "record_file.h"
#include "text.h"

namespace fs = std::filesystem;

namespace {

constexpr const char* record_kind = "partial 1";
// No record of ours comes near this; a larger file is not one.
constexpr std::uint64_t record_size_limit = 64 * 1024;

// True for a regular file with one name, its name not a link: what the updater itself wrote.
[[nodiscard]] bool is_own_file(const fs::path& path) {
    WrittenFile probe(path, WriteMode::continue_existing);
    return probe.error().ok();
}

void remove_as_itself(const fs::path& path) {
    remove_file(path);
    if (path_exists(path)) {
        remove_tree(path);
    }
}

// The record goes first: bytes without one are nothing to the next run either.
void drop_kept(const KeptPaths& paths) {
    remove_as_itself(paths.source);
    remove_as_itself(paths.bytes);
}

std::optional<KeptSource> read_source(const fs::path& path) {
    const std::optional<std::string> text = read_small_file(path, record_size_limit);
    const std::optional<std::vector<std::string>> fields =
        text ? parse_record(*text, record_kind, {"url", "sha256", "validator"}) : std::nullopt;
    if (!fields) {
        return std::nullopt;
    }
    return KeptSource{(*fields)[0], (*fields)[1], (*fields)[2]};
}

using NameText = fs::path::string_type;

[[nodiscard]] bool ends_with(const NameText& name, const NameText& suffix) {
    return name.size() > suffix.size() &&
           name.compare(name.size() - suffix.size(), suffix.size(), suffix) == 0;
}

// The output that a file the updater leaves beside it belongs to, by its name: <output>.partial,
// <output>.partial.source, <output>.download or <output>.minisig.download.
std::optional<NameText> output_of(const fs::path& name) {
    static const NameText suffixes[] = {
        fs::path(".partial.source").native(), fs::path(".partial").native(),
        fs::path(".minisig.download").native(), fs::path(".download").native()};
    const NameText& text = name.native();
    for (const NameText& suffix : suffixes) {
        if (ends_with(text, suffix)) {
            return text.substr(0, text.size() - suffix.size());
        }
    }
    return std::nullopt;
}

// With the output's lock held.
void remove_leftovers_of(const fs::path& output) {
    const KeptPaths kept = kept_paths(output);
    if (is_own_file(kept.bytes) && is_own_file(kept.source) && read_source(kept.source)) {
        drop_kept(kept);
    }
    for (const char* suffix : {".download", ".minisig.download"}) {
        if (const fs::path stray = with_suffix(output, suffix); is_own_file(stray)) {
            remove_file(stray);
        }
    }
}

}  // namespace

void remove_abandoned_downloads(const fs::path& package) {
    const fs::path dir = package.parent_path();
    std::set<NameText> outputs;
    for (const fs::path& name : names_in_directory(dir)) {
        if (std::optional<NameText> output = output_of(name)) {
            outputs.insert(std::move(*output));
        }
    }
    outputs.erase(package.filename().native());
    for (const NameText& name : outputs) {
        const fs::path output = dir / name;
        if (const FileLock lock = lock_file_leaving_none(with_suffix(output, ".lock"));
            lock.held()) {
            remove_leftovers_of(output);
        }
    }
}

KeptPaths kept_paths(const fs::path& package) {
    return {with_suffix(package, ".partial"), with_suffix(package, ".partial.source")};
}

KeptDownload load_kept_download(const KeptPaths& paths) {
    KeptDownload kept(paths);
    const bool bytes_there = path_exists(paths.bytes);
    const bool source_there = path_exists(paths.source);
    if (!bytes_there && !source_there) {
        return kept;
    }
    std::optional<KeptSource> source;
    std::optional<std::uint64_t> size;
    if (bytes_there && source_there && is_own_file(paths.bytes) && is_own_file(paths.source)) {
        source = read_source(paths.source);
        size = regular_file_size(paths.bytes);
    }
    if (!source || !size) {
        drop_kept(paths);
        return kept;
    }
    kept.kept_ = KeptDownload::Held{std::move(*source), *size};
    return kept;
}

bool KeptDownload::belongs_to(const std::string& url, const std::string& sha256) const {
    return kept_ && !sha256.empty() && kept_->source.url == url &&
           kept_->source.sha256 == ascii_lower(sha256);
}

void KeptDownload::drop() {
    kept_.reset();
    drop_kept(paths_);
}

void KeptDownload::keep(const fs::path& download, const std::string& url, const std::string& sha256,
                        const ResumePoint& point) {
    drop();
    KeptSource source{url, ascii_lower(sha256), point.validator};
    const std::string record = record_text(
        record_kind,
        {{"url", source.url}, {"sha256", source.sha256}, {"validator", source.validator}});
    // The bytes must be on the disk before a record vouches for them.
    const bool kept =
        make_file_durable(download) && write_durable_file(paths_.source, record) && [&] {
            if (const NativeError error = rename_path(download, paths_.bytes); error.failed()) {
                spdlog::warn("Failed to keep the bytes received: {}", error_text(error));
                return false;
            }
            return make_rename_durable(paths_.bytes);
        }();
    // Held as a later load would find them: as many bytes as the file holds.
    const std::optional<std::uint64_t> size = kept ? regular_file_size(paths_.bytes) : std::nullopt;
    if (!size) {
        drop();
        remove_file(download);
        return;
    }
    kept_ = Held{std::move(source), *size};
}

std::optional<ResumePoint> KeptDownload::take_back(const fs::path& download) {
    if (!kept_) {
        return std::nullopt;
    }
    const Held held = std::move(*kept_);
    kept_.reset();
    remove_as_itself(download);
    if (const NativeError error = rename_path(paths_.bytes, download); error.failed()) {
        spdlog::warn("Failed to take back the bytes kept from an earlier download: {}",
                     error_text(error));
        drop_kept(paths_);
        return std::nullopt;
    }
    remove_file(paths_.source);
    return ResumePoint{held.size, held.source.validator};
}
