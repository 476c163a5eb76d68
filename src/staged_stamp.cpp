#include "staged_stamp.h"

#include <cstdint>
#include <vector>

#include "files.h"
#include "record_file.h"

namespace {

namespace fs = std::filesystem;

constexpr const char* stamp_kind = "staged 1";
constexpr std::size_t sha256_hex_length = 64;
// No stamp of ours comes near this; a larger file is not one.
constexpr std::uint64_t stamp_size_limit = 64 * 1024;

bool is_lower_hex_digest(const std::string& text) {
    return text.size() == sha256_hex_length &&
           text.find_first_not_of("0123456789abcdef") == std::string::npos;
}

}  // namespace

std::string stamp_text(const StagedStamp& stamp) {
    return record_text(stamp_kind,
                       {{"sha256", stamp.sha256}, {"version", stamp.version}, {"exe", stamp.exe}});
}

std::optional<StagedStamp> parse_stamp(const std::string& text) {
    std::optional<std::vector<std::string>> fields =
        parse_record(text, stamp_kind, {"sha256", "version", "exe"});
    if (!fields || !is_lower_hex_digest((*fields)[0])) {
        return std::nullopt;
    }
    return StagedStamp{std::move((*fields)[0]), std::move((*fields)[1]), std::move((*fields)[2])};
}

StagedPaths staged_paths(const fs::path& root) {
    return {root / "current.new", root / ".staged"};
}

std::optional<StagedStamp> read_stamp(const fs::path& path) {
    const std::optional<std::string> text = read_small_file(path, stamp_size_limit);
    return text ? parse_stamp(*text) : std::nullopt;
}

bool write_stamp(const fs::path& path, const StagedStamp& stamp) {
    return write_durable_file(path, stamp_text(stamp));
}

bool has_staged_material(const StagedPaths& staged) {
    return path_exists(staged.stamp) || path_exists(staged.tree);
}

bool is_complete_stage(const StagedPaths& staged, const StagedStamp& expected,
                       const fs::path& exe) {
    const std::optional<StagedStamp> found = read_stamp(staged.stamp);
    return found && *found == expected && regular_file_size(staged.tree / exe).has_value();
}

bool has_unfinished_stage(const StagedPaths& staged) {
    return path_exists(staged.tree) && !read_stamp(staged.stamp);
}

void remove_staged_material(const StagedPaths& staged,
                            const std::function<bool()>& stop_requested) {
    if (path_exists(staged.stamp)) {
        remove_file(staged.stamp);
        // Should the removal not reach the disk, the tree is left for the next run to judge.
        if (!make_name_durable(staged.stamp)) {
            return;
        }
    }
    remove_tree(staged.tree, stop_requested);
}
