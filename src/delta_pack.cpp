#include "delta_pack.h"

#include <spdlog/spdlog.h>
#include <zstd.h>
#include <zstd_errors.h>

#include <algorithm>
#include <atomic>
#include <memory>
#include <optional>
#include <thread>

#include "delta_manifest.h"
#include "digest.h"
#include "extract.h"
#include "files.h"
#include "signature.h"
#include "text.h"
#include "version.h"

namespace fs = std::filesystem;

namespace {

// zstd's largest window: a file above it (new or installed) can't be patched against the other.
constexpr std::uint64_t patch_size_limit = std::uint64_t{1} << 31;
constexpr int patch_level = 19;
constexpr int largest_window_log = 31;

struct ContextFree {
    void operator()(ZSTD_CCtx* context) const { ZSTD_freeCCtx(context); }
};

std::string sha256_hex(const std::vector<char>& bytes) {
    Sha256 digest;
    if (!digest.ready() ||
        !digest.update(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size())) {
        return {};
    }
    const std::optional<std::vector<unsigned char>> sum = digest.finish();
    return sum ? to_hex(*sum) : std::string();
}

// The SHA-256 of a file too large to hold, read piece by piece; empty when that fails (logged).
std::string file_sha256_hex(const fs::path& path) {
    Sha256 digest;
    if (!digest.ready() || !feed_file(path, {&digest})) {
        return {};
    }
    const std::optional<std::vector<unsigned char>> sum = digest.finish();
    return sum ? to_hex(*sum) : std::string();
}

// The whole file at path; false when it can't be read or its size changes meanwhile (logged).
[[nodiscard]] bool read_whole_file(const fs::path& path, std::vector<char>& bytes) {
    ReadOnlyFile file;
    NativeError error = file.open(path, ReadSharing::others_may_only_read);
    if (error.ok()) {
        bytes.resize(static_cast<std::size_t>(file.size()));
        std::size_t filled = 0;
        std::size_t got = 1;
        while (error.ok() && filled < bytes.size() && got > 0) {
            error = file.read_at(filled, bytes.data() + filled, bytes.size() - filled, got);
            filled += got;
        }
        if (error.ok() && filled < bytes.size()) {
            spdlog::error("File changed while it was packed: {}", path_text(path));
            return false;
        }
    }
    if (error.failed()) {
        spdlog::error("Failed to read {}: {}", path_text(path), error_text(error));
        return false;
    }
    return true;
}

// The smallest window that holds both files, as a zstd window log.
int window_log(std::uint64_t new_size, std::uint64_t base_size) {
    const std::uint64_t largest = std::max({new_size, base_size, std::uint64_t{1}});
    int log = 0;
    while ((std::uint64_t{1} << log) < largest) {
        ++log;
    }
    const int lowest = ZSTD_cParam_getBounds(ZSTD_c_windowLog).lowerBound;
    return std::clamp(log, lowest, largest_window_log);
}

// The zstd patch that makes `target` from `reference`, if it fits in `room` bytes. Nothing when
// it does not (no error) or zstd fails (logged).
std::optional<std::vector<char>> make_patch(const std::vector<char>& reference,
                                            const std::vector<char>& target, std::size_t room,
                                            const std::string& name) {
    const std::unique_ptr<ZSTD_CCtx, ContextFree> context(ZSTD_createCCtx());
    if (!context) {
        spdlog::error("Failed to make the patch of {}: out of memory", name);
        return std::nullopt;
    }
    std::size_t result = 0;
    const auto set = [&](ZSTD_cParameter parameter, int value) {
        if (!ZSTD_isError(result)) {
            result = ZSTD_CCtx_setParameter(context.get(), parameter, value);
        }
    };
    set(ZSTD_c_compressionLevel, patch_level);
    set(ZSTD_c_enableLongDistanceMatching, 1);
    set(ZSTD_c_windowLog, window_log(target.size(), reference.size()));
    if (!ZSTD_isError(result)) {
        result = ZSTD_CCtx_setPledgedSrcSize(context.get(), target.size());
    }
    if (!ZSTD_isError(result)) {
        result = ZSTD_CCtx_refPrefix(context.get(), reference.data(), reference.size());
    }
    std::vector<char> patch(room);
    if (!ZSTD_isError(result)) {
        result =
            ZSTD_compress2(context.get(), patch.data(), patch.size(), target.data(), target.size());
    }
    if (ZSTD_isError(result)) {
        if (ZSTD_getErrorCode(result) != ZSTD_error_dstSize_tooSmall) {
            spdlog::error("Failed to make the patch of {}: {}", name, ZSTD_getErrorName(result));
        }
        return std::nullopt;
    }
    patch.resize(result);
    return patch;
}

// One file of the new tree, as the manifest lists it, and its patch's file when it has one.
struct PlannedFile {
    DeltaFile file;
    fs::path patch;
};

// Decides how the file `item` is made, given the installed file at its path (`base`, null when
// the base has no file there), and writes its patch to `patch_path` when it is patched.
[[nodiscard]] bool plan_file(const PackItem& item, const fs::path* base, const fs::path& patch_path,
                             PlannedFile& planned) {
    DeltaFile& file = planned.file;
    file.path = item.name;
    file.mode = item.mode;
    file.source = DeltaSource::whole;
    const std::optional<std::uint64_t> size = regular_file_size(item.source);
    const std::uint64_t base_size = base ? regular_file_size(*base).value_or(0) : 0;
    if (!size) {
        spdlog::error("Failed to read {}: not a regular file", path_text(item.source));
        return false;
    }
    if (*size > patch_size_limit || (base && base_size > patch_size_limit)) {
        // Too large to hold or to patch: unchanged when the bytes are the same, else whole.
        file.size = *size;
        file.sha256 = file_sha256_hex(item.source);
        if (file.sha256.empty()) {
            return false;
        }
        if (base && base_size == *size) {
            const std::string base_sha256 = file_sha256_hex(*base);
            if (base_sha256.empty()) {
                return false;
            }
            if (base_sha256 == file.sha256) {
                file.source = DeltaSource::unchanged;
                file.base_sha256 = base_sha256;
            }
        }
        return true;
    }
    std::vector<char> target;
    if (!read_whole_file(item.source, target)) {
        return false;
    }
    file.size = target.size();
    file.sha256 = sha256_hex(target);
    if (file.sha256.empty()) {
        return false;
    }
    if (!base) {
        return true;
    }
    std::vector<char> reference;
    if (!read_whole_file(*base, reference)) {
        return false;
    }
    file.base_sha256 = sha256_hex(reference);
    if (file.base_sha256.empty()) {
        return false;
    }
    if (reference == target) {
        file.source = DeltaSource::unchanged;
        return true;
    }
    // A patch is worth its entry only when it is under 0.9 of the file's own entry.
    const std::uint64_t entry_size = entry_data_size(target.data(), target.size());
    const auto room = static_cast<std::size_t>((entry_size * 9 + 9) / 10 - 1);
    const std::uint64_t worth = entry_size * 9;
    std::optional<std::vector<char>> patch;
    if (entry_size > 1) {
        patch = make_patch(reference, target, room, item.name);
    }
    if (patch && patch->size() * 10 < worth) {
        if (!write_file_logged(patch_path, patch->data(), patch->size())) {
            return false;
        }
        file.source = DeltaSource::patched;
        planned.patch = patch_path;
        return true;
    }
    file.base_sha256.clear();
    return true;
}

// plan_file for every file, by one worker per core; false at the first failure (logged).
[[nodiscard]] bool plan_files(const std::vector<const PackItem*>& files,
                              const std::map<std::string, fs::path>& base_files,
                              const fs::path& patches, std::vector<PlannedFile>& planned) {
    planned.resize(files.size());
    std::atomic<std::size_t> next{0};
    std::atomic<bool> failed{false};
    const auto work = [&] {
        for (std::size_t index = next++; index < files.size() && !failed; index = next++) {
            const PackItem& item = *files[index];
            const auto found = base_files.find(item.name);
            const fs::path* base = found == base_files.end() ? nullptr : &found->second;
            if (!plan_file(item, base, patches / std::to_string(index), planned[index])) {
                failed = true;
            }
        }
    };
    const unsigned cores = std::clamp(std::thread::hardware_concurrency(), 1U, 4U);
    std::vector<std::thread> workers;
    for (unsigned i = 1; i < cores; ++i) {
        workers.emplace_back(work);
    }
    work();
    for (std::thread& worker : workers) {
        worker.join();
    }
    return !failed;
}

// True for a name whose first element is `.delta` in any letter case, as Windows compares names.
bool is_in_delta_directory(const std::string& name) {
    return ascii_lower(name.substr(0, name.find('/'))) == std::string(delta_directory);
}

[[nodiscard]] bool write_manifest(const fs::path& path, const DeltaManifest& manifest) {
    const std::string text = manifest_json(manifest);
    return write_file_logged(path, text.data(), text.size());
}

}  // namespace

DeltaWorkspace::~DeltaWorkspace() {
    if (created_) {
        remove_tree(dir_);
    }
}

bool DeltaWorkspace::create() {
    remove_tree(dir_);
    created_ = true;
    return create_directory_logged(base_tree()) && create_directory_logged(patches());
}

bool unpack_base(const fs::path& base, const std::string& version, const fs::path& into,
                 std::string& sha256) {
    if (const std::optional<std::string> signed_as =
            signed_version(with_suffix(base, ".minisig"))) {
        const std::optional<int> order = compare_versions(*signed_as, version);
        if (order && *order >= 0) {
            spdlog::error("Base package version {} is not lower than {}: {}", *signed_as, version,
                          path_text(base));
            return false;
        }
    }
    ReadOnlyFile file;
    if (const NativeError error = file.open(base); error.failed()) {
        spdlog::error("Failed to read base package {}: {}", path_text(base), error_text(error));
        return false;
    }
    Sha256 digest;
    if (!digest.ready() || !feed_file(file, {&digest})) {
        return false;
    }
    const std::optional<std::vector<unsigned char>> sum = digest.finish();
    if (!sum) {
        return false;
    }
    sha256 = to_hex(*sum);
    if (!extract_zip(file, base, into)) {
        spdlog::error("Base package is not a full package that apply accepts: {}", path_text(base));
        return false;
    }
    return true;
}

bool plan_delta(const std::vector<PackItem>& tree, const std::vector<PackItem>& base_items,
                const fs::path& base, const std::string& base_sha256,
                const DeltaWorkspace& workspace, DeltaPlan& plan) {
    std::map<std::string, fs::path> base_files;
    for (const PackItem& item : base_items) {
        if (is_in_delta_directory(item.name)) {
            spdlog::error("Base package is a delta, not a full package: {}", path_text(base));
            return false;
        }
        if (!item.directory) {
            base_files.emplace(item.name, item.source);
        }
    }
    DeltaManifest manifest;
    manifest.base_package_sha256 = base_sha256;
    std::vector<const PackItem*> files;
    std::vector<PackItem> tree_entries;
    for (std::size_t index = 0; index < tree.size(); ++index) {
        const PackItem& item = tree[index];
        if (!item.directory) {
            files.push_back(&item);
            continue;
        }
        manifest.directories.push_back(item.name.substr(0, item.name.size() - 1));
        // Names below a directory follow it directly in name order.
        const bool empty = index + 1 == tree.size() ||
                           tree[index + 1].name.compare(0, item.name.size(), item.name) != 0;
        if (empty) {
            tree_entries.push_back(item);
        }
    }
    std::sort(manifest.directories.begin(), manifest.directories.end());
    std::vector<PlannedFile> planned;
    if (!plan_files(files, base_files, workspace.patches(), planned)) {
        return false;
    }
    std::vector<PackItem> patches;
    for (std::size_t index = 0; index < files.size(); ++index) {
        const DeltaFile& file = planned[index].file;
        manifest.files.push_back(file);
        switch (file.source) {
            case DeltaSource::unchanged:
                ++plan.unchanged;
                break;
            case DeltaSource::patched:
                ++plan.patched;
                patches.push_back(
                    {patch_entry_name(file.path), planned[index].patch, false, 0644, true});
                break;
            case DeltaSource::whole:
                ++plan.whole;
                tree_entries.push_back(*files[index]);
                plan.whole_sha256.emplace(file.path, file.sha256);
                break;
        }
    }
    if (!write_manifest(workspace.manifest(), manifest)) {
        return false;
    }
    std::sort(tree_entries.begin(), tree_entries.end(),
              [](const PackItem& a, const PackItem& b) { return a.name < b.name; });
    plan.entries.push_back(
        {std::string(delta_manifest_entry), workspace.manifest(), false, 0644, false});
    plan.entries.insert(plan.entries.end(), patches.begin(), patches.end());
    plan.entries.insert(plan.entries.end(), tree_entries.begin(), tree_entries.end());
    return true;
}
