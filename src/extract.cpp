#include "extract.h"

#include <spdlog/spdlog.h>

#include <algorithm>
#include <cstring>
#include <ctime>
#include <iterator>
#include <memory>
#include <optional>
#include <vector>

#include "download.h"
#include "entry_data.h"
#include "entry_layout.h"
#include "entry_paths.h"
#include "entry_rules.h"
#include "extract_source.h"
#include "files.h"
#include "text.h"

namespace {

namespace fs = std::filesystem;

// Entries are streamed through a buffer of this size; none is ever held whole in memory.
constexpr std::size_t chunk_size = UPDATER_SMALL_BUFFERS ? 4 * 1024 : 256 * 1024;
constexpr unsigned unix_file_type_mask = 0170000;
constexpr unsigned unix_regular_file = 0100000;

struct ArchiveCloser {
    void operator()(zip_t* archive) const { zip_discard(archive); }
};
using Archive = std::unique_ptr<zip_t, ArchiveCloser>;

struct SourceReleaser {
    void operator()(zip_source_t* source) const { zip_source_free(source); }
};
using SourceReference = std::unique_ptr<zip_source_t, SourceReleaser>;

// An open archive, and a reference of our own to the source it reads, through which the raw
// records are read as well. The archive goes first; the source lives until both are done.
struct OpenArchive {
    SourceReference source;
    Archive archive;
};

OpenArchive open_archive(const ReadOnlyFile& file) {
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
    }
    zip_error_fini(&error);
    return opened;
}

// What one extraction keeps from entry to entry.
struct Run {
    zip_t* archive;
    fs::path dest;
    unsigned creation_mask;
    EntryPaths paths;
    EntryReader reader;
    const StopCheck& stop_requested;
};

[[nodiscard]] bool stopping(const Run& run) {
    return run.stop_requested && run.stop_requested();
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

// The directories on the way to the first `depth` elements of `path` that are not known yet,
// made one level at a time below the deepest known one.
NativeError make_missing_levels(Run& run, const Levels& path, std::size_t depth) {
    if (!run.paths.is_known_directory(EntryPaths::root)) {
        if (const NativeError error = make_directories(run.dest); error.failed()) {
            return error;
        }
        run.paths.set_known_directory(EntryPaths::root);
    }
    // Known directories lie on the way to those below them: they come first.
    std::size_t known = 0;
    while (known < depth && run.paths.is_known_directory(path.nodes[known])) {
        ++known;
    }
    return make_directory_levels(run.dest, path.natives, known, depth);
}

// True when `dir`, the first `depth` elements of `path`, is a directory now. Entries only ever
// add to the tree, so one that was a directory stays one until the run ends and needs no second
// system call; one not known yet goes to the file system, which reports its failure as
// create_directory_logged does. Only when a directory above it is missing are the levels made
// one by one.
[[nodiscard]] bool create_directory(Run& run, const Levels& path, std::size_t depth,
                                    const fs::path& dir) {
    const EntryPaths::Node node = depth == 0 ? EntryPaths::root : path.nodes[depth - 1];
    if (run.paths.is_known_directory(node)) {
        return true;
    }
    NativeError error = make_directory(dir);
    if (is_missing_parent(error)) {
        error = make_missing_levels(run, path, depth);
    }
    if (error.failed()) {
        spdlog::error("Failed to create directory {}: {}", path_text(dir), error_text(error));
        return false;
    }
    run.paths.set_known_directory(node);
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
std::optional<unsigned> permissions_to_set(const Run& run, zip_uint64_t index) {
    const std::optional<unsigned> recorded = unix_permissions(run.archive, index);
    return recorded ? std::optional<unsigned>(*recorded & ~run.creation_mask) : std::nullopt;
}

// What the system said when it refused an entry's file (a name too long, a full disk), on a line
// of its own: the entry's failure line says only which entry it was.
[[nodiscard]] bool refused(const char* action, const fs::path& path, NativeError error) {
    if (error.failed()) {
        spdlog::error("Failed to {} {}: {}", action, path_text(path), error_text(error));
    }
    return error.failed();
}

// An installation must leave its volume as much room as a download does: the system and the
// application need some to go on working. No answer from the system lets the write go ahead
// (the write itself then reports a full disk).
[[nodiscard]] bool leaves_free_space_floor(const Run& run, const zip_stat_t& stat,
                                           std::size_t size) {
    const std::optional<std::int64_t> free = free_space(run.dest);
    if (!free || *free - static_cast<std::int64_t>(size) >= transfer_limits.free_space_floor) {
        return true;
    }
    spdlog::error("Not enough free space to extract {}", stat.name);
    return false;
}

// Streams one entry into its file, checking its data against the recorded size and CRC-32 as
// it goes (entry_data.h). The file is created with the first piece of data (or once an empty
// entry has been read), so an entry that can't be opened leaves nothing behind.
[[nodiscard]] bool write_entry(Run& run, zip_uint64_t index, const zip_stat_t& stat,
                               const fs::path& path) {
    std::optional<WrittenFile> file;
    const auto opened = [&file, &path] {
        if (!file) {
            file.emplace(path, WriteMode::overwrite);
            return !refused("create", path, file->error());
        }
        return file->error().ok();
    };
    // An entry may not inflate beyond the size the directory records: a lying size would
    // otherwise turn a small archive into a full disk. The reader hands over nothing past that
    // size. Overlapping entries were refused when the archive was opened.
    const bool read = run.reader.read(index, stat, [&](const char* data, std::size_t size) {
        return !stopping(run) && leaves_free_space_floor(run, stat, size) && opened() &&
               !refused("write", path, file->write(data, size));
    });
    if (!read || !opened()) {
        return false;
    }
    const std::optional<std::time_t> mtime =
        (stat.valid & ZIP_STAT_MTIME) != 0 ? std::optional<std::time_t>(stat.mtime) : std::nullopt;
    return !refused("write", path, file->close({mtime, permissions_to_set(run, index)}));
}

[[nodiscard]] bool extract_entry(Run& run, zip_uint64_t index, const zip_stat_t& stat) {
    const std::string name = stat.name;
    const std::string relative = with_forward_slashes(name);
    const bool is_directory = is_directory_entry(run.archive, index, relative);
    if (is_unsafe_name(relative)) {
        spdlog::error("Unsafe path in zip: {}", name);
        return false;
    }
    const std::vector<std::string> parts = path_elements(relative);
    std::optional<std::vector<EntryPaths::Node>> nodes = run.paths.add(parts, is_directory);
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
    const fs::path dir = joined(run.dest, path.natives, depth);
    if (!create_directory(run, path, depth, dir)) {
        return false;
    }
    if (is_directory) {
        return true;
    }
    const fs::path file = parts.empty() ? dir : dir / path.natives.back();
    if (!write_entry(run, index, stat, file)) {
        if (!stopping(run)) {
            spdlog::error("Failed to extract: {}", name);
        }
        return false;
    }
    return true;
}

}  // namespace

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
                               const fs::path& dest_dir, const StopCheck& stop_requested) {
    const OpenArchive opened = open_archive(package_file);
    const Archive& archive = opened.archive;
    // An archive whose entries share data or disagree with their local headers is refused as a
    // whole, before anything of it is written.
    if (!archive || !entries_lie_apart_as_recorded(archive.get(), opened.source.get())) {
        report_unopenable_package(path_text(package));
        return false;
    }
    Run run{
        archive.get(), dest_dir, file_creation_mask(), {}, EntryReader(archive.get(), chunk_size),
        stop_requested};
    const zip_uint64_t count = static_cast<zip_uint64_t>(zip_get_num_entries(archive.get(), 0));
    spdlog::info("Extracting {} files from {}", count, path_text(package));

    for (zip_uint64_t index = 0; index < count; ++index) {
        if (stopping(run)) {
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
        if (!extract_entry(run, index, stat)) {
            return false;
        }
    }
    spdlog::info("Extraction complete: {} files", count);
    return true;
}
