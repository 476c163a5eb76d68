#include "record_file.h"

#include <spdlog/spdlog.h>

#include "files.h"
#include "text.h"

namespace fs = std::filesystem;

namespace {

constexpr const char* last_line = "end\n";

std::string counted_field(const std::string& name, const std::string& value) {
    return name + " " + std::to_string(value.size()) + "\n" + value + "\n";
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

}  // namespace

std::string record_text(const std::string& kind, const RecordFields& fields) {
    std::string text = kind + "\n";
    for (const auto& [name, value] : fields) {
        text += counted_field(name, value);
    }
    return text + last_line;
}

std::optional<std::vector<std::string>> parse_record(const std::string& text,
                                                     const std::string& kind,
                                                     const std::vector<std::string>& names) {
    const std::string first_line = kind + "\n";
    if (text.compare(0, first_line.size(), first_line) != 0) {
        return std::nullopt;
    }
    std::size_t at = first_line.size();
    std::vector<std::string> values;
    for (const std::string& name : names) {
        std::optional<std::string> value = read_counted_field(text, at, name);
        if (!value) {
            return std::nullopt;
        }
        values.push_back(std::move(*value));
    }
    if (text.compare(at, std::string::npos, last_line) != 0) {
        return std::nullopt;
    }
    return values;
}

std::optional<std::string> read_small_file(const fs::path& path, std::uint64_t limit) {
    ReadOnlyFile file;
    if (file.open(path).failed() || file.size() > limit) {
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
    return text;
}

bool write_durable_file(const fs::path& path, const std::string& text) {
    WrittenFile file(path, WriteMode::replace);
    if (file.error().failed()) {
        spdlog::error("Failed to create {}: {}", path_text(path), error_text(file.error()));
        return false;
    }
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
