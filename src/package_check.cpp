#include "package_check.h"

#include <spdlog/spdlog.h>

#include <optional>
#include <string>
#include <vector>

#include "digest.h"
#include "entry_data.h"
#include "entry_layout.h"
#include "entry_paths.h"
#include "entry_rules.h"
#include "extract.h"
#include "files.h"
#include "text.h"

namespace fs = std::filesystem;

namespace {

constexpr std::size_t piece_size = 256 * 1024;

}  // namespace

bool package_reads_as_written(const fs::path& path, std::uint64_t entries,
                              const std::map<std::string, std::string>& sha256) {
    const auto refuse = [&path](const std::string& why) {
        spdlog::error("Written package fails its check: {}: {}", path_text(path), why);
        return false;
    };
    ReadOnlyFile file;
    if (const NativeError error = file.open(path); error.failed()) {
        return refuse(error_text(error));
    }
    std::string refusal;
    const OpenArchive opened = open_archive(file, refusal);
    if (!opened.archive) {
        return refuse("not a zip the updater opens");
    }
    const ZipArchive& archive = opened.archive;
    const ZipSourceReference& source = opened.source;
    if (!entries_lie_apart_as_recorded(archive.get(), source.get())) {
        return refuse("entries do not lie as recorded");
    }
    const auto count = static_cast<zip_uint64_t>(zip_get_num_entries(archive.get(), 0));
    if (count != entries) {
        return refuse("it holds " + std::to_string(count) + " entries, not " +
                      std::to_string(entries));
    }
    EntryPaths paths;
    EntryReader reader(archive.get(), piece_size);
    for (zip_uint64_t index = 0; index < count; ++index) {
        zip_stat_t stat;
        zip_stat_init(&stat);
        if (zip_stat_index(archive.get(), index, 0, &stat) != 0 ||
            (stat.valid & ZIP_STAT_NAME) == 0) {
            return refuse("entry " + std::to_string(index) + " can't be read");
        }
        const std::string name = stat.name;
        const bool directory = is_directory_entry(archive.get(), index, with_forward_slashes(name));
        if (name_refusal(paths, with_forward_slashes(name), directory) != NameRefusal::none) {
            return refuse("unsafe path " + name);
        }
        if (!is_readable_method(stat)) {
            return refuse("method of " + name);
        }
        // Whole files of a delta: the bytes the manifest lists, not another state of the file.
        const auto expected = sha256.find(name);
        std::optional<Sha256> digest;
        if (expected != sha256.end()) {
            digest.emplace();
        }
        const auto feed = [&digest](const char* data, std::size_t size) {
            return !digest || digest->update(reinterpret_cast<const unsigned char*>(data), size);
        };
        if (!directory && !reader.read(index, stat, feed)) {
            return refuse("data of " + name);
        }
        if (digest) {
            const std::optional<std::vector<unsigned char>> sum = digest->finish();
            if (!sum || to_hex(*sum) != expected->second) {
                return refuse("data of " + name + " changed while it was packed");
            }
        }
    }
    return true;
}
