#include "extract.h"

#include <spdlog/spdlog.h>

#include <algorithm>
#include <cstring>
#include <ctime>
#include <iterator>
#include <memory>
#include <optional>
#include <vector>

#include "entry_data.h"
#include "entry_layout.h"
#include "entry_paths.h"
#include "entry_rules.h"
#include "extract_source.h"
#include "files.h"
#include "progress.h"
#include "text.h"
#include "transfer_limits.h"

namespace {

namespace fs = std::filesystem;

// Entries are streamed through a buffer of this size; none is ever held whole in memory.
constexpr std::size_t chunk_size = UPDATER_SMALL_BUFFERS ? 4 * 1024 : 256 * 1024;
constexpr unsigned unix_file_type_mask = 0170000;
constexpr unsigned unix_regular_file = 0100000;

// The directories on the path of the entry being written, held open from the destination down,
// so that each name is made or opened in the directory it belongs in. The handles of the levels
// in use are kept from entry to entry; below `dense_levels`, only every `sparse_step`-th level
// keeps its handle while a deeper one is in use, so that a path thousands of levels deep holds a
// few hundred handles, and a level whose handle went is opened again from the nearest one above.
struct OpenLevels {
    static constexpr std::size_t dense_levels = 64;
    static constexpr std::size_t sparse_step = 64;

    HeldDirectory root;
    std::vector<EntryPaths::Node> nodes;  // the node of each level below the destination
    std::vector<HeldDirectory> handles;   // the handle of each level; closed where not kept

    [[nodiscard]] static bool is_kept(std::size_t level) {
        return level < dense_levels || level % sparse_step == 0;
    }
    // The directory of level `level` (0: the destination).
    [[nodiscard]] const HeldDirectory& at(std::size_t level) const {
        return level == 0 ? root : handles[level - 1];
    }
};

// Bytes extraction may still write before it asks the system again for the free space: what was
// free above the floor when it last asked, less what was written since. Each piece is counted
// with a margin for the blocks and records its file takes beyond its bytes, so that the floor
// holds without a system call per piece.
struct FreeSpaceAllowance {
    static constexpr std::int64_t margin_per_piece = 64 * 1024;
    std::optional<std::int64_t> left;
};

// What one extraction keeps from entry to entry.
struct Extraction {
    zip_t* archive;
    fs::path dest;
    unsigned creation_mask;
    EntryPaths paths;
    EntryReader reader;
    const StopCheck& stop_requested;
    OpenLevels levels;
    FreeSpaceAllowance allowance;
    ExtractionWatcher* watcher;
    // The watcher refused an entry, and logged why.
    bool watcher_refused = false;
};

[[nodiscard]] bool stopping(const Extraction& extraction) {
    return extraction.stop_requested && extraction.stop_requested();
}

std::optional<std::vector<fs::path>> native_elements(const std::vector<std::string>& parts) {
    std::vector<fs::path> natives;
    natives.reserve(parts.size());
    for (const std::string& part : parts) {
        std::optional<fs::path> native = utf8_to_path(part);
        if (!native) {
            return std::nullopt;
        }
        natives.push_back(std::move(*native));
    }
    return natives;
}

// `path` followed by the first `count` elements. The text is joined first and made a path once:
// appending to a path one element at a time splits all of it again each time on some builds.
fs::path joined(const fs::path& path, const std::vector<fs::path>& natives, std::size_t count) {
    if (count == 0) {
        return path;
    }
    // The first element joins as the path itself says (a root or drive may end it already).
    fs::path::string_type text = (path / natives[0]).native();
    for (std::size_t i = 1; i < count; ++i) {
        text += fs::path::preferred_separator;
        text += natives[i].native();
    }
    return fs::path(std::move(text));
}

// One entry's path below the destination, level by level: the native form and the node of each
// element.
struct Levels {
    std::vector<fs::path> natives;
    std::vector<EntryPaths::Node> nodes;
};

// The destination, made when missing, held open as the top of every path.
NativeError open_destination(Extraction& extraction) {
    if (!extraction.paths.is_known_directory(EntryPaths::root)) {
        if (const NativeError error = make_directories(extraction.dest); error.failed()) {
            return error;
        }
        extraction.paths.set_known_directory(EntryPaths::root);
    }
    return open_directory(extraction.dest, extraction.levels.root);
}

// Opens level `level` of `path` in the level above it, which is open; made first unless it is
// known to exist. The level above is closed then unless it is kept.
NativeError open_level(Extraction& extraction, const Levels& path, std::size_t level) {
    OpenLevels& open = extraction.levels;
    const EntryPaths::Node node = path.nodes[level - 1];
    if (open.nodes.size() < level) {
        open.nodes.push_back(node);
        open.handles.emplace_back();
    }
    const bool known = extraction.paths.is_known_directory(node);
    if (const NativeError error = open_subdirectory(open.at(level - 1), path.natives[level - 1],
                                                    !known, open.handles[level - 1]);
        error.failed()) {
        return error;
    }
    extraction.paths.set_known_directory(node);
    if (level > 1 && !OpenLevels::is_kept(level - 1)) {
        open.handles[level - 2].close();
    }
    return {};
}

// Holds the directories of `path` open down to its first `depth` elements, keeping the ones it
// shares with the entry before: entries usually come directory by directory, so most need no
// system call here. Directories not known yet are made one level at a time.
NativeError open_levels(Extraction& extraction, const Levels& path, std::size_t depth) {
    OpenLevels& open = extraction.levels;
    if (!open.root.is_open()) {
        if (const NativeError error = open_destination(extraction); error.failed()) {
            return error;
        }
    }
    std::size_t shared = 0;
    while (shared < depth && shared < open.nodes.size() &&
           open.nodes[shared] == path.nodes[shared]) {
        ++shared;
    }
    open.nodes.resize(shared);
    open.handles.resize(shared);
    // The deepest shared level still open; those below it on the way are opened again.
    std::size_t from = shared;
    while (from > 0 && !open.at(from).is_open()) {
        --from;
    }
    for (std::size_t level = from + 1; level <= depth; ++level) {
        if (const NativeError error = open_level(extraction, path, level); error.failed()) {
            open.nodes.resize(level - 1);
            open.handles.resize(level - 1);
            return error;
        }
    }
    return {};
}

// True when `dir`, the first `depth` elements of `path`, is a directory now and held open;
// otherwise the failure is logged as create_directory_logged does.
[[nodiscard]] bool create_directory(Extraction& extraction, const Levels& path, std::size_t depth,
                                    const fs::path& dir) {
    const bool known =
        extraction.paths.is_known_directory(depth == 0 ? EntryPaths::root : path.nodes[depth - 1]);
    NativeError error = known ? NativeError() : path_length_error(dir);
    if (error.ok()) {
        error = open_levels(extraction, path, depth);
    }
    if (error.failed()) {
        spdlog::error("Failed to create directory {}: {}", path_text(dir), error_text(error));
        return false;
    }
    return true;
}

// The permission bits a Unix zip tool recorded for a regular file, without setuid, setgid and
// sticky bits. Links (whose text is written as a plain file) and entries made elsewhere have
// none.
std::optional<unsigned> unix_permissions(zip_t* archive, zip_uint64_t index) {
    zip_uint8_t system = 0;
    zip_uint32_t attributes = 0;
    if (zip_file_get_external_attributes(archive, index, 0, &system, &attributes) != 0 ||
        system != ZIP_OPSYS_UNIX) {
        return std::nullopt;
    }
    const unsigned mode = attributes >> 16;
    const unsigned type = mode & unix_file_type_mask;
    if (mode == 0 || (type != 0 && type != unix_regular_file)) {
        return std::nullopt;
    }
    return mode & 0777;
}

// Recorded bits go through the umask, as for any file we create: an archive that records 0666
// must not install world-writable files.
std::optional<unsigned> permissions_to_set(const Extraction& extraction, zip_uint64_t index) {
    const std::optional<unsigned> recorded = unix_permissions(extraction.archive, index);
    return recorded ? std::optional<unsigned>(*recorded & ~extraction.creation_mask) : std::nullopt;
}

// True, and logged, when the system refused to create an entry's file or write it (a name too
// long, a full disk): what it said goes on a line of its own, as the entry's failure line says
// only which entry it was.
[[nodiscard]] bool failed_to_create(const fs::path& path, NativeError error) {
    if (error.failed()) {
        spdlog::error("Failed to create {}: {}", path_text(path), error_text(error));
    }
    return error.failed();
}
[[nodiscard]] bool failed_to_write(const fs::path& path, NativeError error) {
    if (error.failed()) {
        spdlog::error("Failed to write {}: {}", path_text(path), error_text(error));
    }
    return error.failed();
}

// An installation must leave its volume as much room as a download does: the system and the
// application need some to go on working. The system is asked once, and again only when what was
// written since used up the room it reported (FreeSpaceAllowance). No answer from the system lets
// the write go ahead (the write itself then reports a full disk).
[[nodiscard]] bool leaves_free_space_floor(Extraction& extraction, const zip_stat_t& stat,
                                           std::size_t size) {
    const std::int64_t needed =
        static_cast<std::int64_t>(size) + FreeSpaceAllowance::margin_per_piece;
    std::optional<std::int64_t>& left = extraction.allowance.left;
    if (!left || *left < needed) {
        const std::optional<std::int64_t> free = free_space(extraction.dest);
        left = free ? std::optional<std::int64_t>(*free - transfer_limits.free_space_floor)
                    : std::nullopt;
    }
    if (!left) {
        return true;
    }
    if (*left < needed) {
        spdlog::error("Not enough free space to extract {}", stat.name);
        return false;
    }
    *left -= needed;
    return true;
}

// Streams one entry into its file, checking its data against the recorded size and CRC-32 as
// it goes (entry_data.h). The file is created with the first piece of data (or once an empty
// entry has been read), so an entry that can't be opened leaves nothing behind.
[[nodiscard]] bool write_entry(Extraction& extraction, zip_uint64_t index, const zip_stat_t& stat,
                               const HeldDirectory& dir, const fs::path& name,
                               const fs::path& path) {
    std::optional<WrittenFile> file;
    const auto opened = [&file, &dir, &name, &path] {
        if (!file) {
            file.emplace(dir, name);
            return !failed_to_create(path, file->error());
        }
        return file->error().ok();
    };
    // An entry may not inflate beyond the size the directory records: a lying size would
    // otherwise turn a small archive into a full disk. The reader hands over nothing past that
    // size. Overlapping entries were refused when the archive was opened.
    ExtractionWatcher* watcher = extraction.watcher;
    if (watcher != nullptr && !watcher->begin_file(with_forward_slashes(stat.name))) {
        extraction.watcher_refused = true;
        return false;
    }
    const bool read = extraction.reader.read(index, stat, [&](const char* data, std::size_t size) {
        if (stopping(extraction) || !leaves_free_space_floor(extraction, stat, size) || !opened() ||
            failed_to_write(path, file->write(data, size))) {
            return false;
        }
        if (watcher != nullptr) {
            watcher->add_data(data, size);
        }
        progress_add(size);
        return true;
    });
    if (!read || !opened()) {
        return false;
    }
    if (watcher != nullptr && !watcher->end_file()) {
        extraction.watcher_refused = true;
        return false;
    }
    const std::optional<std::time_t> mtime =
        (stat.valid & ZIP_STAT_MTIME) != 0 ? std::optional<std::time_t>(stat.mtime) : std::nullopt;
    return !failed_to_write(path, file->close({mtime, permissions_to_set(extraction, index)}));
}

[[nodiscard]] bool extract_entry(Extraction& extraction, zip_uint64_t index,
                                 const zip_stat_t& stat) {
    const std::string name = stat.name;
    const std::string relative = with_forward_slashes(name);
    if (extraction.watcher != nullptr && extraction.watcher->skips(relative)) {
        return true;
    }
    const bool is_directory = is_directory_entry(extraction.archive, index, relative);
    if (is_unsafe_name(relative)) {
        spdlog::error("Unsafe path in zip: {}", name);
        return false;
    }
    // Its data would be dropped unseen, while zip tools extract it as a file. Empty directories
    // deflated into a few bytes hold no data.
    if (is_directory && (stat.valid & ZIP_STAT_SIZE) != 0 && stat.size > 0) {
        spdlog::error("Zip entry is marked as a directory but holds data: {}", name);
        return false;
    }
    const std::vector<std::string> parts = path_elements(relative);
    std::optional<std::vector<EntryPaths::Node>> nodes = extraction.paths.add(parts, is_directory);
    if (!nodes) {
        spdlog::error("Unsafe path in zip: {}", name);
        return false;
    }
    std::optional<std::vector<fs::path>> natives = native_elements(parts);
    if (!natives || !is_readable_method(stat)) {
        spdlog::error("Failed to extract: {}", name);
        return false;
    }
    const Levels path{std::move(*natives), std::move(*nodes)};
    // The directory to make: the entry's own, or the one that holds its file.
    const std::size_t depth = is_directory || parts.empty() ? parts.size() : parts.size() - 1;
    const fs::path dir = joined(extraction.dest, path.natives, depth);
    if (!create_directory(extraction, path, depth, dir)) {
        return false;
    }
    if (is_directory) {
        return true;
    }
    // A file entry without a name left is the destination itself, refused as a directory.
    const fs::path file_name = parts.empty() ? fs::path(".") : path.natives.back();
    const fs::path file = parts.empty() ? dir : dir / file_name;
    if (!write_entry(extraction, index, stat, extraction.levels.at(depth), file_name, file)) {
        if (!stopping(extraction) && !extraction.watcher_refused) {
            spdlog::error("Failed to extract: {}", name);
        }
        return false;
    }
    return true;
}

// The bytes the entries' data inflates to, as their records give it: what an extraction writes.
std::int64_t extracted_size(zip_t* archive, zip_uint64_t count) {
    std::uint64_t total = 0;
    for (zip_uint64_t index = 0; index < count; ++index) {
        zip_stat_t stat;
        zip_stat_init(&stat);
        if (zip_stat_index(archive, index, 0, &stat) == 0 && (stat.valid & ZIP_STAT_SIZE) != 0) {
            total += stat.size;
        }
    }
    return static_cast<std::int64_t>(total);
}

}  // namespace

// Opens the archive; when the zip library refused it, `refusal` is its reason. A file that never
// reached the library (not open) has none.
OpenArchive open_archive(const ReadOnlyFile& file, std::string& refusal) {
    zip_error_t error;
    zip_error_init(&error);
    OpenArchive opened;
    opened.source.reset(archive_source(file, &error));
    zip_t* archive =
        opened.source ? zip_open_from_source(opened.source.get(), ZIP_RDONLY, &error) : nullptr;
    if (archive != nullptr) {
        // The archive took the source's reference; ours is a second one.
        zip_source_keep(opened.source.get());
        opened.archive.reset(archive);
    } else if (opened.source) {
        refusal = zip_error_strerror(&error);
    }
    zip_error_fini(&error);
    return opened;
}

void report_unopenable_package(const std::string& package_text) {
    spdlog::error("Failed to open zip: {}", package_text);
}

[[nodiscard]] bool extract_zip(const fs::path& package, const fs::path& dest_dir) {
    // Opened by its native path, so that the package path is read in the same code page on
    // every step.
    ReadOnlyFile file;
    static_cast<void>(file.open(package));
    return extract_zip(file, package, dest_dir);
}

[[nodiscard]] bool extract_zip(const ReadOnlyFile& package_file, const fs::path& package,
                               const fs::path& dest_dir, const StopCheck& stop_requested,
                               ExtractionWatcher* watcher) {
    std::string refusal;
    const OpenArchive opened = open_archive(package_file, refusal);
    const ZipArchive& archive = opened.archive;
    if (!refusal.empty()) {
        spdlog::error("{}", refusal);
    }
    // An archive whose entries share data or disagree with their local headers is refused as a
    // whole, before anything of it is written.
    if (!archive || !entries_lie_apart_as_recorded(archive.get(), opened.source.get())) {
        report_unopenable_package(path_text(package));
        return false;
    }
    Extraction extraction{archive.get(),
                          dest_dir,
                          file_creation_mask(),
                          {},
                          EntryReader(archive.get(), chunk_size),
                          stop_requested,
                          {},
                          {},
                          watcher};
    const zip_uint64_t count = static_cast<zip_uint64_t>(zip_get_num_entries(archive.get(), 0));
    if (watcher == nullptr) {
        spdlog::info("Extracting {} files from {}", count, path_text(package));
        if (progress_enabled()) {
            progress_phase(phase::extract, extracted_size(archive.get(), count));
        }
    }

    for (zip_uint64_t index = 0; index < count; ++index) {
        if (stopping(extraction)) {
            return false;
        }
        // Names come decoded by the library: UTF-8 when flagged or valid as such, else CP437.
        zip_stat_t stat;
        zip_stat_init(&stat);
        if (zip_stat_index(archive.get(), index, 0, &stat) != 0 ||
            (stat.valid & ZIP_STAT_NAME) == 0) {
            spdlog::error("Failed to stat file index {}", index);
            return false;
        }
        if (!extract_entry(extraction, index, stat)) {
            return false;
        }
    }
    if (watcher == nullptr) {
        spdlog::info("Extraction complete: {} files", count);
    }
    return true;
}
