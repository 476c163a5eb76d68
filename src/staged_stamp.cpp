#include "staged_stamp.h"

#include <spdlog/spdlog.h>

#include <cstdint>
#include <vector>

#include "files.h"
#include "text.h"

namespace {

namespace fs = std::filesystem;

constexpr const char* first_line = "staged 1\n";
constexpr const char* last_line = "end\n";
constexpr std::size_t sha256_hex_length = 64;
// No stamp of ours comes near this; a larger file is not one.
constexpr std::uint64_t stamp_size_limit = 64 * 1024;

std::string counted_field(const char* name, const std::string& value) {
    return std::string(name) + " " + std::to_string(value.size()) + "\n" + value + "\n";
}

// Reads "<name> <length>\n<bytes>\n" at `at`, moving past it.
std::optional<std::string> read_counted_field(const std::string& text, std::size_t& at,
                                              const std::string& name) {
    const std::string prefix = name + " ";
    if (text.compare(at, prefix.size(), prefix) != 0) {
        return std::nullopt;
    }
    const std::size_t digits_start = at + prefix.size();
    const std::size_t line_end = text.find('\n', digits_start);
    if (line_end == std::string::npos || line_end == digits_start || line_end - digits_start > 9 ||
        text.find_first_not_of("0123456789", digits_start) < line_end) {
        return std::nullopt;
    }
    const std::size_t length = std::stoul(text.substr(digits_start, line_end - digits_start));
    const std::size_t value_start = line_end + 1;
    if (text.size() < value_start + length + 1 || text[value_start + length] != '\n') {
        return std::nullopt;
    }
    at = value_start + length + 1;
    return text.substr(value_start, length);
}

bool is_lower_hex_digest(const std::string& text) {
    return text.size() == sha256_hex_length &&
           text.find_first_not_of("0123456789abcdef") == std::string::npos;
}

}  // namespace

std::string stamp_text(const StagedStamp& stamp) {
    return first_line + counted_field("sha256", stamp.sha256) +
           counted_field("version", stamp.version) + counted_field("exe", stamp.exe) + last_line;
}

std::optional<StagedStamp> parse_stamp(const std::string& text) {
    std::size_t at = 0;
    if (text.compare(0, std::string(first_line).size(), first_line) != 0) {
        return std::nullopt;
    }
    at = std::string(first_line).size();
    std::optional<std::string> sha256 = read_counted_field(text, at, "sha256");
    std::optional<std::string> version =
        sha256 ? read_counted_field(text, at, "version") : std::nullopt;
    std::optional<std::string> exe = version ? read_counted_field(text, at, "exe") : std::nullopt;
    if (!exe || !is_lower_hex_digest(*sha256) ||
        text.compare(at, std::string::npos, last_line) != 0) {
        return std::nullopt;
    }
    return StagedStamp{std::move(*sha256), std::move(*version), std::move(*exe)};
}

StagedPaths staged_paths(const fs::path& root) {
    return {root / "current.new", root / ".staged"};
}

std::optional<StagedStamp> read_stamp(const fs::path& path) {
    ReadOnlyFile file;
    if (file.open(path).failed() || file.size() > stamp_size_limit) {
        return std::nullopt;
    }
    std::string text(static_cast<std::size_t>(file.size()), '\0');
    std::size_t filled = 0;
    while (filled < text.size()) {
        std::size_t got = 0;
        if (file.read_at(filled, text.data() + filled, text.size() - filled, got).failed() ||
            got == 0) {
            return std::nullopt;
        }
        filled += got;
    }
    return parse_stamp(text);
}

bool write_stamp(const fs::path& path, const StagedStamp& stamp) {
    WrittenFile file(path, WriteMode::replace);
    if (file.error().failed()) {
        spdlog::error("Failed to create {}: {}", path_text(path), error_text(file.error()));
        return false;
    }
    const std::string text = stamp_text(stamp);
    NativeError error = file.write(text.data(), text.size());
    const NativeError closing = file.close();
    if (error.ok()) {
        error = closing;
    }
    if (error.failed()) {
        spdlog::error("Failed to write {}: {}", path_text(path), error_text(error));
        return false;
    }
    return make_file_durable(path) && make_rename_durable(path);
}

bool has_staged_material(const StagedPaths& staged) {
    return path_exists(staged.stamp) || path_exists(staged.tree);
}

bool is_complete_stage(const StagedPaths& staged, const StagedStamp& expected,
                       const fs::path& exe) {
    const std::optional<StagedStamp> found = read_stamp(staged.stamp);
    return found && *found == expected && regular_file_size(staged.tree / exe).has_value();
}

void remove_staged_material(const StagedPaths& staged) {
    if (path_exists(staged.stamp)) {
        remove_file(staged.stamp);
        // Should the removal not reach the disk, the tree is left for the next run to judge.
        if (!make_name_durable(staged.stamp)) {
            return;
        }
    }
    remove_tree(staged.tree);
}
