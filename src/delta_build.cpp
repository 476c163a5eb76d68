#include "delta_build.h"

#include <spdlog/spdlog.h>
#include <zstd.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

#include "digest.h"
#include "entry_data.h"
#include "entry_paths.h"
#include "entry_rules.h"
#include "files.h"
#include "install.h"
#include "progress.h"
#include "text.h"
#include "transfer_limits.h"

namespace {

namespace fs = std::filesystem;

// No manifest of ours comes near this: a few hundred bytes per file.
constexpr std::uint64_t manifest_size_limit = 64 << 20;
// Installed files are hashed, and patch entries read, in pieces of this size.
constexpr std::size_t piece_size = 1 << 20;
// What a zstd patch may take as its window: zstd's largest, as pack makes them.
constexpr int patch_window_log_max = 31;

[[nodiscard]] bool stopped(const StopCheck& stop_requested) {
    return stop_requested && stop_requested();
}

// The delta's own entries, which are not files of the tree.
[[nodiscard]] bool is_delta_entry(const std::string& name) {
    const std::string own = std::string(delta_directory) + "/";
    return name.rfind(own, 0) == 0 || name == delta_directory;
}

OpenArchive open_package(const HeldPackage& package) {
    if (!package.path || !package.file.is_open()) {
        return {};
    }
    std::string refusal;
    return open_archive(package.file, refusal);
}

void report_unusable_file(const std::string& path) {
    spdlog::error("Built file does not match the delta: {}", path);
}
void report_base_mismatch(const std::string& path) {
    spdlog::error("Installed file does not match the delta's base: {}", path);
}

std::string sha256_hex(Sha256& sha) {
    const std::optional<std::vector<unsigned char>> digest = sha.finish();
    return digest ? to_hex(*digest) : std::string();
}

// --- The manifest ---

// The entry's text, when it is no larger than `limit`; false when it can't be read (logged).
[[nodiscard]] bool read_entry_text(zip_t* archive, zip_uint64_t index, const zip_stat_t& stat,
                                   std::string& text) {
    EntryReader reader(archive, piece_size);
    return reader.read(index, stat, [&text](const char* data, std::size_t size) {
        text.append(data, size);
        return true;
    });
}

// A manifest path as pack writes it: elements joined by single `/`, none empty or ".", and not
// within the delta's own directory in any letter case.
[[nodiscard]] bool is_plain_path(const std::string& path) {
    const std::vector<std::string> elements = path_elements(path);
    std::string joined;
    for (const std::string& element : elements) {
        joined += (joined.empty() ? "" : "/") + element;
    }
    return joined == path && !elements.empty() &&
           ascii_lower(elements.front()) != std::string(delta_directory);
}

// The manifest's paths, checked as a package's entries are: safe, with a native form, no two
// that differ only in letter case, no file named twice or as a directory too.
[[nodiscard]] bool paths_are_safe(const DeltaManifest& manifest) {
    EntryPaths paths;
    const auto refused = [&paths](const std::string& path, bool directory) {
        if (is_plain_path(path) && name_refusal(paths, path, directory) == NameRefusal::none) {
            return false;
        }
        spdlog::error("Unsafe path in delta manifest: {}", path);
        spdlog::error("Malformed delta manifest");
        return true;
    };
    for (const std::string& directory : manifest.directories) {
        if (refused(directory, true)) {
            return false;
        }
    }
    for (const DeltaFile& file : manifest.files) {
        if (refused(file.path, false)) {
            return false;
        }
    }
    return true;
}

// The native form of each element of a checked manifest path.
std::vector<fs::path> native_elements(const std::string& path) {
    std::vector<fs::path> natives;
    for (const std::string& element : path_elements(path)) {
        natives.push_back(utf8_to_path(element).value_or(fs::path()));
    }
    return natives;
}

// `top` followed by the elements.
fs::path below(fs::path top, const std::vector<fs::path>& elements) {
    for (const fs::path& element : elements) {
        top /= element;
    }
    return top;
}

// --- Directories held open ---

// The directories of one tree held open down to the one in use, so that every name is opened or
// made in the directory it lies in and no link on the way is followed. Files come in path order:
// most share their directory with the file before.
class HeldTree {
  public:
    [[nodiscard]] NativeError open(const fs::path& top) { return open_directory(top, top_); }

    // The directory of the first `depth` elements, opened (with `make`, made first where missing)
    // from the deepest level it shares with the directory before.
    [[nodiscard]] NativeError reach(const std::vector<fs::path>& elements, std::size_t depth,
                                    bool make, const HeldDirectory*& dir) {
        std::size_t shared = 0;
        while (shared < depth && shared < names_.size() && names_[shared] == elements[shared]) {
            ++shared;
        }
        names_.resize(shared);
        levels_.resize(shared);
        for (std::size_t level = shared; level < depth; ++level) {
            HeldDirectory next;
            const HeldDirectory& parent = level == 0 ? top_ : levels_[level - 1];
            if (const NativeError error = open_subdirectory(parent, elements[level], make, next);
                error.failed()) {
                return error;
            }
            names_.push_back(elements[level]);
            levels_.push_back(std::move(next));
        }
        dir = depth == 0 ? &top_ : &levels_[depth - 1];
        return {};
    }

  private:
    HeldDirectory top_;
    std::vector<fs::path> names_;
    std::vector<HeldDirectory> levels_;
};

// --- The base check ---

// The installed files a delta takes from, checked on two threads. Only the calling thread asks
// `stop_requested` (a stage's stop check is not made for threads); it tells the other through
// `ending`, as a mismatch does.
struct BaseCheck {
    const DeltaManifest& manifest;
    const fs::path& installed;
    std::vector<std::size_t> used;                 // indices of the files taken from
    std::vector<std::optional<FileState>> states;  // of each used file that matched
    std::vector<char> checked;                     // each used file whose check ended
    std::atomic<std::size_t> next{0};
    std::atomic<bool> ending{false};
};

// Hashes the open file; false when stopped or it can't be read whole.
[[nodiscard]] bool hash_file(const ReadOnlyFile& file, std::vector<char>& buffer, Sha256& sha,
                             BaseCheck& check, const StopCheck& stop_requested) {
    std::uint64_t offset = 0;
    for (;;) {
        if (check.ending || stopped(stop_requested)) {
            check.ending = true;
            return false;
        }
        std::size_t got = 0;
        if (file.read_at(offset, buffer.data(), buffer.size(), got).failed()) {
            return false;
        }
        if (got == 0) {
            return offset == file.size();
        }
        if (!sha.update(reinterpret_cast<const unsigned char*>(buffer.data()), got)) {
            return false;
        }
        offset += got;
    }
}

// The state of the installed file when it is a regular file in its place with the SHA-256 the
// delta was made against, and did not change while it was read.
std::optional<FileState> matching_state(HeldTree& tree, const DeltaFile& wanted,
                                        std::vector<char>& buffer, BaseCheck& check,
                                        const StopCheck& stop_requested) {
    const std::vector<fs::path> elements = native_elements(wanted.path);
    const HeldDirectory* dir = nullptr;
    ReadOnlyFile file;
    FileState before;
    if (tree.reach(elements, elements.size() - 1, false, dir).failed() ||
        file.open_in(*dir, elements.back()).failed() || file.state(before).failed()) {
        return std::nullopt;
    }
    Sha256 sha;
    FileState after;
    if (!sha.ready() || !hash_file(file, buffer, sha, check, stop_requested) ||
        sha256_hex(sha) != wanted.base_sha256 || file.state(after).failed() || !(after == before)) {
        return std::nullopt;
    }
    return before;
}

void check_files(BaseCheck& check, const StopCheck& stop_requested) {
    // A tree that can't be opened has none of the files: each is then judged missing.
    HeldTree tree;
    static_cast<void>(tree.open(check.installed));
    std::vector<char> buffer(piece_size);
    for (std::size_t i = check.next++; i < check.used.size() && !check.ending; i = check.next++) {
        const DeltaFile& file = check.manifest.files[check.used[i]];
        std::optional<FileState> state = matching_state(tree, file, buffer, check, stop_requested);
        // Ended early by a stop or by the other thread's mismatch: this file was not judged.
        if (!state && check.ending) {
            return;
        }
        check.states[i] = state;
        check.checked[i] = 1;
        if (!state) {
            check.ending = true;
        }
    }
}

// The state of every installed file the delta takes from, by manifest index, once all match;
// the first that does not is logged. Nothing more is logged when stopped.
[[nodiscard]] DeltaOutcome check_base(const DeltaManifest& manifest, const fs::path& installed,
                                      std::vector<FileState>& states,
                                      const StopCheck& stop_requested) {
    BaseCheck check{manifest, installed, {}, {}, {}};
    std::uint64_t used_bytes = 0;
    for (std::size_t i = 0; i < manifest.files.size(); ++i) {
        if (manifest.files[i].source != DeltaSource::whole) {
            check.used.push_back(i);
            used_bytes += manifest.files[i].size;
        }
    }
    check.states.resize(check.used.size());
    check.checked.resize(check.used.size());
    {
        // The second core hashes the files the first is not at. A small base is hashed sooner
        // than a thread starts, and on one thread its system calls come in the same order in
        // every run.
        constexpr std::uint64_t worth_a_thread = 8 * 1024 * 1024;
        std::thread helper;
        if (check.used.size() > 1 && used_bytes > worth_a_thread) {
            helper = std::thread([&check] { check_files(check, {}); });
        }
        check_files(check, stop_requested);
        if (helper.joinable()) {
            helper.join();
        }
    }
    if (stopped(stop_requested)) {
        return DeltaOutcome::failed;
    }
    states.assign(manifest.files.size(), FileState{});
    for (std::size_t i = 0; i < check.used.size(); ++i) {
        if (check.checked[i] && !check.states[i]) {
            report_base_mismatch(manifest.files[check.used[i]].path);
            return DeltaOutcome::unusable;
        }
    }
    for (std::size_t i = 0; i < check.used.size(); ++i) {
        if (!check.states[i]) {
            return DeltaOutcome::failed;
        }
        states[check.used[i]] = *check.states[i];
    }
    return DeltaOutcome::done;
}

// --- Building ---

// Bytes the build may still write before it asks the system again for the free space, as
// extraction counts them: a volume keeps the same floor whatever fills it.
struct SpaceAllowance {
    static constexpr std::int64_t margin_per_piece = 64 * 1024;
    fs::path dest;
    std::optional<std::int64_t> left;

    [[nodiscard]] bool take(std::uint64_t size, const std::string& path) {
        const std::int64_t needed = static_cast<std::int64_t>(size) + margin_per_piece;
        if (!left || *left < needed) {
            const std::optional<std::int64_t> free = free_space(dest);
            left = free ? std::optional<std::int64_t>(*free - transfer_limits.free_space_floor)
                        : std::nullopt;
        }
        if (!left) {
            return true;
        }
        if (*left < needed) {
            spdlog::error("Not enough free space to build {}", path);
            return false;
        }
        *left -= needed;
        return true;
    }
};

// What one build keeps from file to file.
struct Build {
    const HeldPackage& package;
    const DeltaPackage& delta;
    fs::path installed;
    fs::path destination;
    const StopCheck& stop_requested;
    unsigned creation_mask;
    std::vector<FileState> base_states;
    HeldTree source_tree;
    HeldTree target_tree;
    SpaceAllowance space;
    OpenArchive archive;
    std::unique_ptr<EntryReader> reader;
};

FileStamp stamp_for(const Build& build, const DeltaFile& file) {
    return {build.delta.time, file.mode & ~build.creation_mask};
}

// The whole files: entries extracted as a package's, each hashed as it is written and compared
// with the manifest. Any other file entry outside the delta's directory is refused.
class WholeFiles : public ExtractionWatcher {
  public:
    explicit WholeFiles(const DeltaManifest& manifest) {
        for (const DeltaFile& file : manifest.files) {
            if (file.source == DeltaSource::whole) {
                expected_.emplace(file.path, Expected{&file, false});
            }
        }
    }
    bool skips(const std::string& name) override { return is_delta_entry(name); }
    bool begin_file(const std::string& name) override {
        const auto found = expected_.find(name);
        if (found == expected_.end() || found->second.written) {
            report_unusable_file(name);
            refused_ = true;
            return false;
        }
        current_ = &found->second;
        current_->written = true;
        size_ = 0;
        sha_ = std::make_unique<Sha256>();
        return sha_->ready();
    }
    void add_data(const char* data, std::size_t size) override {
        size_ += size;
        hashed_ = hashed_ && sha_->update(reinterpret_cast<const unsigned char*>(data), size);
    }
    bool end_file() override {
        const DeltaFile& file = *current_->file;
        if (!hashed_ || size_ != file.size || sha256_hex(*sha_) != file.sha256) {
            report_unusable_file(file.path);
            refused_ = true;
            return false;
        }
        return true;
    }
    // An entry was refused as not what the manifest lists.
    [[nodiscard]] bool refused() const { return refused_; }
    // The first whole file of the manifest that no entry gave, logged; nothing when all came.
    [[nodiscard]] bool all_written(const DeltaManifest& manifest) const {
        for (const DeltaFile& file : manifest.files) {
            if (file.source == DeltaSource::whole && !expected_.at(file.path).written) {
                report_unusable_file(file.path);
                return false;
            }
        }
        return true;
    }

  private:
    struct Expected {
        const DeltaFile* file;
        bool written;
    };
    std::unordered_map<std::string, Expected> expected_;
    Expected* current_ = nullptr;
    std::uint64_t size_ = 0;
    bool hashed_ = true;
    bool refused_ = false;
    std::unique_ptr<Sha256> sha_;
};

[[nodiscard]] DeltaOutcome extract_whole_files(Build& build) {
    WholeFiles watcher(build.delta.manifest);
    const bool extracted = extract_zip(build.package.file, *build.package.path, build.destination,
                                       build.stop_requested, &watcher);
    if (stopped(build.stop_requested)) {
        return DeltaOutcome::failed;
    }
    if (!extracted) {
        // A refusal of the watcher is the delta's; any other failure (logged) a package's.
        return watcher.refused() ? DeltaOutcome::unusable : DeltaOutcome::failed;
    }
    return watcher.all_written(build.delta.manifest) ? DeltaOutcome::done : DeltaOutcome::unusable;
}

[[nodiscard]] bool make_manifest_directories(Build& build) {
    for (const std::string& directory : build.delta.manifest.directories) {
        const std::vector<fs::path> elements = native_elements(directory);
        const HeldDirectory* dir = nullptr;
        if (const NativeError error = build.target_tree.reach(elements, elements.size(), true, dir);
            error.failed()) {
            spdlog::error("Failed to create directory {}: {}",
                          path_text(below(build.destination, elements)), error_text(error));
            return false;
        }
    }
    return true;
}

// Where one file of the manifest is read from and written to.
struct FilePlace {
    const DeltaFile& file;
    const FileState& base_state;
    std::vector<fs::path> elements;
    fs::path source;
    fs::path target;
    const HeldDirectory* source_dir = nullptr;
    const HeldDirectory* target_dir = nullptr;
};

[[nodiscard]] bool failed_to_write(const fs::path& path, NativeError error) {
    if (error.failed()) {
        spdlog::error("Failed to write {}: {}", path_text(path), error_text(error));
    }
    return error.failed();
}

// Opens the installed file again, as it was when checked; a mismatch when it changed since.
[[nodiscard]] DeltaOutcome open_base(const FilePlace& place, ReadOnlyFile& source) {
    FileState now;
    if (source.open_in(*place.source_dir, place.elements.back()).failed() ||
        source.state(now).failed() || !(now == place.base_state)) {
        report_base_mismatch(place.file.path);
        return DeltaOutcome::unusable;
    }
    return DeltaOutcome::done;
}

[[nodiscard]] DeltaOutcome copy_unchanged(Build& build, const FilePlace& place) {
    ReadOnlyFile source;
    if (const DeltaOutcome opened = open_base(place, source); opened != DeltaOutcome::done) {
        return opened;
    }
    if (!build.space.take(place.file.size, place.file.path) ||
        failed_to_write(place.target,
                        source.copy_into(*place.target_dir, place.elements.back(), place.source,
                                         place.target, stamp_for(build, place.file)))) {
        return DeltaOutcome::failed;
    }
    // The copy is the checked file only if the file did not change while it was copied.
    FileState after;
    if (source.state(after).failed() || !(after == place.base_state) ||
        source.size() != place.file.size) {
        report_base_mismatch(place.file.path);
        return DeltaOutcome::unusable;
    }
    progress_add(place.file.size);
    return DeltaOutcome::done;
}

// The installed file a patch refers to, read whole into memory and checked again as it is read.
[[nodiscard]] DeltaOutcome read_reference(const FilePlace& place, std::vector<char>& bytes) {
    ReadOnlyFile source;
    if (const DeltaOutcome opened = open_base(place, source); opened != DeltaOutcome::done) {
        return opened;
    }
    Sha256 sha;
    bytes.resize(static_cast<std::size_t>(source.size()));
    std::uint64_t offset = 0;
    while (offset < bytes.size()) {
        std::size_t got = 0;
        if (source
                .read_at(offset, bytes.data() + offset,
                         std::min<std::size_t>(piece_size, bytes.size() - offset), got)
                .failed() ||
            got == 0) {
            break;
        }
        offset += got;
    }
    if (!sha.ready() || offset != bytes.size() ||
        !sha.update(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size()) ||
        sha256_hex(sha) != place.file.base_sha256) {
        report_base_mismatch(place.file.path);
        return DeltaOutcome::unusable;
    }
    return DeltaOutcome::done;
}

struct DecoderFree {
    void operator()(ZSTD_DCtx* context) const { ZSTD_freeDCtx(context); }
};
using Decoder = std::unique_ptr<ZSTD_DCtx, DecoderFree>;

// One patched file's decoding: the patch entry streamed through the decoder, its output written
// and hashed piece by piece.
struct PatchRun {
    Build& build;
    const FilePlace& place;
    ZSTD_DCtx* decoder;
    WrittenFile& out;
    Sha256 sha;
    std::vector<char> output;
    std::uint64_t written;
    std::size_t last_result;            // the decoder's last answer: 0 once the frame is complete
    std::optional<DeltaOutcome> ended;  // why the decoding ended early, logged
};

void patch_failed(const PatchRun& run, const std::string& reason) {
    spdlog::error("Patch failed for {}: {}", run.place.file.path, reason);
}

[[nodiscard]] bool take_output(PatchRun& run, const ZSTD_outBuffer& produced) {
    if (produced.pos == 0) {
        return true;
    }
    const DeltaFile& file = run.place.file;
    run.written += produced.pos;
    if (run.written > file.size) {
        report_unusable_file(file.path);
        run.ended = DeltaOutcome::unusable;
        return false;
    }
    if (!run.build.space.take(produced.pos, file.path) ||
        failed_to_write(run.place.target, run.out.write(run.output.data(), produced.pos)) ||
        !run.sha.update(reinterpret_cast<const unsigned char*>(run.output.data()), produced.pos)) {
        run.ended = DeltaOutcome::failed;
        return false;
    }
    progress_add(produced.pos);
    return true;
}

// Decodes one piece of the patch; false ends the decoding (`ended` says why).
[[nodiscard]] bool decode_piece(PatchRun& run, const char* data, std::size_t size) {
    ZSTD_inBuffer input{data, size, 0};
    for (;;) {
        if (stopped(run.build.stop_requested)) {
            run.ended = DeltaOutcome::failed;
            return false;
        }
        ZSTD_outBuffer produced{run.output.data(), run.output.size(), 0};
        const std::size_t result = ZSTD_decompressStream(run.decoder, &produced, &input);
        if (ZSTD_isError(result)) {
            patch_failed(run, ZSTD_getErrorName(result));
            run.ended = DeltaOutcome::unusable;
            return false;
        }
        run.last_result = result;
        if (!take_output(run, produced)) {
            return false;
        }
        // A full output buffer may leave more to flush from what was already read.
        if (input.pos == input.size && produced.pos < produced.size) {
            return true;
        }
    }
}

[[nodiscard]] bool setup_decoder(const PatchRun& run, const std::vector<char>& reference) {
    std::size_t result =
        ZSTD_DCtx_setParameter(run.decoder, ZSTD_d_windowLogMax, patch_window_log_max);
    if (!ZSTD_isError(result)) {
        result = ZSTD_DCtx_refPrefix(run.decoder, reference.data(), reference.size());
    }
    if (ZSTD_isError(result)) {
        patch_failed(run, ZSTD_getErrorName(result));
        return false;
    }
    return true;
}

[[nodiscard]] DeltaOutcome decode_patch(Build& build, const FilePlace& place,
                                        const std::vector<char>& reference, WrittenFile& out) {
    zip_t* archive = build.archive.archive.get();
    const std::string entry = patch_entry_name(place.file.path);
    const zip_int64_t index = zip_name_locate(archive, entry.c_str(), 0);
    zip_stat_t stat;
    zip_stat_init(&stat);
    Decoder decoder(ZSTD_createDCtx());
    PatchRun run{build, place, decoder.get(), out, {}, std::vector<char>(ZSTD_DStreamOutSize()),
                 0,     1,     std::nullopt};
    if (index < 0 || zip_stat_index(archive, static_cast<zip_uint64_t>(index), 0, &stat) != 0 ||
        !is_readable_method(stat)) {
        patch_failed(run, "no readable patch entry " + entry);
        return DeltaOutcome::unusable;
    }
    if (!decoder || !run.sha.ready() || !setup_decoder(run, reference)) {
        return DeltaOutcome::unusable;
    }
    const bool read = build.reader->read(
        static_cast<zip_uint64_t>(index), stat,
        [&run](const char* data, std::size_t size) { return decode_piece(run, data, size); });
    if (run.ended) {
        return *run.ended;
    }
    if (!read) {
        // The entry's own data is damaged: as a package's entry that fails its check.
        spdlog::error("Failed to extract: {}", entry);
        return DeltaOutcome::failed;
    }
    if (run.last_result != 0) {
        patch_failed(run, "the patch ends inside its frame");
        return DeltaOutcome::unusable;
    }
    if (run.written != place.file.size || sha256_hex(run.sha) != place.file.sha256) {
        report_unusable_file(place.file.path);
        return DeltaOutcome::unusable;
    }
    return DeltaOutcome::done;
}

[[nodiscard]] DeltaOutcome build_patched(Build& build, const FilePlace& place) {
    std::vector<char> reference;
    if (const DeltaOutcome read = read_reference(place, reference); read != DeltaOutcome::done) {
        return read;
    }
    WrittenFile out(*place.target_dir, place.elements.back());
    if (failed_to_write(place.target, out.error())) {
        return DeltaOutcome::failed;
    }
    const DeltaOutcome decoded = decode_patch(build, place, reference, out);
    if (decoded != DeltaOutcome::done) {
        return decoded;
    }
    return failed_to_write(place.target, out.close(stamp_for(build, place.file)))
               ? DeltaOutcome::failed
               : DeltaOutcome::done;
}

// Opens the directories of the file in the installed tree and in the one being built.
[[nodiscard]] bool reach_directories(Build& build, FilePlace& place) {
    const std::size_t depth = place.elements.size() - 1;
    if (const NativeError error =
            build.target_tree.reach(place.elements, depth, true, place.target_dir);
        error.failed()) {
        spdlog::error("Failed to create directory {}: {}", path_text(place.target.parent_path()),
                      error_text(error));
        return false;
    }
    if (build.source_tree.reach(place.elements, depth, false, place.source_dir).failed()) {
        report_base_mismatch(place.file.path);
        return false;
    }
    return true;
}

[[nodiscard]] DeltaOutcome build_from_installed(Build& build, const DeltaFile& file,
                                                std::size_t index) {
    std::vector<fs::path> elements = native_elements(file.path);
    const fs::path source = below(build.installed, elements);
    const fs::path target = below(build.destination, elements);
    FilePlace place{file, build.base_states[index], std::move(elements), source, target};
    if (!reach_directories(build, place)) {
        return place.target_dir == nullptr ? DeltaOutcome::failed : DeltaOutcome::unusable;
    }
    return file.source == DeltaSource::unchanged ? copy_unchanged(build, place)
                                                 : build_patched(build, place);
}

[[nodiscard]] DeltaOutcome build_files_from_installed(Build& build) {
    const std::vector<DeltaFile>& files = build.delta.manifest.files;
    if (build.source_tree.open(build.installed).failed() ||
        build.target_tree.open(build.destination).failed()) {
        spdlog::error("Failed to open {}", path_text(build.installed));
        return DeltaOutcome::failed;
    }
    for (std::size_t i = 0; i < files.size(); ++i) {
        if (stopped(build.stop_requested)) {
            return DeltaOutcome::failed;
        }
        if (files[i].source == DeltaSource::whole) {
            continue;
        }
        if (const DeltaOutcome built = build_from_installed(build, files[i], i);
            built != DeltaOutcome::done) {
            return built;
        }
    }
    return DeltaOutcome::done;
}

std::int64_t built_size(const DeltaManifest& manifest) {
    std::uint64_t total = 0;
    for (const DeltaFile& file : manifest.files) {
        total += file.size;
    }
    return static_cast<std::int64_t>(total);
}

void log_counts(const DeltaManifest& manifest) {
    std::size_t counts[3] = {0, 0, 0};
    for (const DeltaFile& file : manifest.files) {
        ++counts[static_cast<int>(file.source)];
    }
    spdlog::info("Built {} files: {} unchanged, {} patched, {} whole", manifest.files.size(),
                 counts[0], counts[1], counts[2]);
}

[[nodiscard]] DeltaOutcome build_tree(Build& build) {
    if (!create_directory_logged(build.destination)) {
        return DeltaOutcome::failed;
    }
    progress_phase(phase::build, built_size(build.delta.manifest));
    if (build.target_tree.open(build.destination).failed() || !make_manifest_directories(build)) {
        return DeltaOutcome::failed;
    }
    if (const DeltaOutcome whole = extract_whole_files(build); whole != DeltaOutcome::done) {
        return whole;
    }
    build.archive = open_package(build.package);
    if (!build.archive.archive) {
        report_unopenable_package(build.package.text);
        return DeltaOutcome::failed;
    }
    build.reader = std::make_unique<EntryReader>(build.archive.archive.get(), piece_size);
    return build_files_from_installed(build);
}

}  // namespace

bool is_delta_package(const HeldPackage& package) {
    const OpenArchive opened = open_package(package);
    return opened.archive &&
           zip_name_locate(opened.archive.get(), std::string(delta_manifest_entry).c_str(), 0) >= 0;
}

DeltaOutcome read_delta(const HeldPackage& package, DeltaPackage& delta) {
    const OpenArchive opened = open_package(package);
    zip_t* archive = opened.archive.get();
    const std::string name(delta_manifest_entry);
    const zip_int64_t index = archive ? zip_name_locate(archive, name.c_str(), 0) : -1;
    zip_stat_t stat;
    zip_stat_init(&stat);
    if (index < 0 || zip_stat_index(archive, static_cast<zip_uint64_t>(index), 0, &stat) != 0) {
        report_unopenable_package(package.text);
        return DeltaOutcome::failed;
    }
    if ((stat.valid & ZIP_STAT_SIZE) == 0 || stat.size > manifest_size_limit ||
        !is_readable_method(stat)) {
        spdlog::error("Malformed delta manifest");
        return DeltaOutcome::unusable;
    }
    std::string text;
    if (!read_entry_text(archive, static_cast<zip_uint64_t>(index), stat, text)) {
        spdlog::error("Failed to extract: {}", name);
        return DeltaOutcome::failed;
    }
    std::optional<DeltaManifest> manifest = parse_manifest(text);
    if (!manifest || !paths_are_safe(*manifest)) {
        return DeltaOutcome::unusable;
    }
    delta.manifest = std::move(*manifest);
    delta.time =
        (stat.valid & ZIP_STAT_MTIME) != 0 ? std::optional<std::time_t>(stat.mtime) : std::nullopt;
    return DeltaOutcome::done;
}

std::size_t installed_files_used(const DeltaManifest& manifest) {
    return static_cast<std::size_t>(
        std::count_if(manifest.files.begin(), manifest.files.end(),
                      [](const DeltaFile& file) { return file.source != DeltaSource::whole; }));
}

DeltaOutcome build_from_delta(const HeldPackage& package, const DeltaPackage& delta,
                              const fs::path& installed, const fs::path& destination,
                              const fs::path& exe, const StopCheck& stop_requested) {
    if (!package.path) {
        report_unopenable_package(package.text);
        return DeltaOutcome::failed;
    }
    std::vector<FileState> base_states;
    if (const DeltaOutcome checked =
            check_base(delta.manifest, installed, base_states, stop_requested);
        checked != DeltaOutcome::done) {
        return checked;
    }
    Build build{package,
                delta,
                installed,
                destination,
                stop_requested,
                file_creation_mask(),
                std::move(base_states),
                {},
                {},
                {destination, {}},
                {},
                {}};
    if (const DeltaOutcome built = build_tree(build); built != DeltaOutcome::done) {
        return built;
    }
    if (stopped(stop_requested)) {
        return DeltaOutcome::failed;
    }
    if (!package_unchanged(package) || !has_executable(package, destination, exe)) {
        return DeltaOutcome::failed;
    }
    log_counts(delta.manifest);
    return DeltaOutcome::done;
}
