#include "delta_manifest.h"

#include <spdlog/spdlog.h>

#include <algorithm>
#include <nlohmann/json.hpp>

namespace {

using Json = nlohmann::json;

constexpr std::string_view source_names[] = {"unchanged", "patched", "whole"};

std::string_view source_name(DeltaSource source) {
    return source_names[static_cast<int>(source)];
}

std::optional<DeltaSource> source_named(const std::string& name) {
    for (int i = 0; i < 3; ++i) {
        if (name == source_names[i]) {
            return static_cast<DeltaSource>(i);
        }
    }
    return std::nullopt;
}

bool is_sha256_hex(const std::string& text) {
    return text.size() == 64 && std::all_of(text.begin(), text.end(), [](char c) {
               return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f');
           });
}

Json file_json(const DeltaFile& file) {
    Json entry = {{"path", file.path},
                  {"size", file.size},
                  {"sha256", file.sha256},
                  {"mode", file.mode},
                  {"source", source_name(file.source)}};
    if (file.source != DeltaSource::whole) {
        entry["base_sha256"] = file.base_sha256;
    }
    return entry;
}

// The value at `key` of the type asked for; nothing when it is missing or of another type.
template <typename T>
std::optional<T> field(const Json& object, const char* key) {
    const auto found = object.find(key);
    if (found == object.end()) {
        return std::nullopt;
    }
    if constexpr (std::is_same_v<T, std::string>) {
        if (!found->is_string()) {
            return std::nullopt;
        }
    } else {
        if (!found->is_number_unsigned()) {
            return std::nullopt;
        }
    }
    return found->get<T>();
}

std::optional<DeltaFile> read_file_entry(const Json& entry) {
    if (!entry.is_object()) {
        return std::nullopt;
    }
    const auto path = field<std::string>(entry, "path");
    const auto size = field<std::uint64_t>(entry, "size");
    const auto sha256 = field<std::string>(entry, "sha256");
    const auto mode = field<std::uint64_t>(entry, "mode");
    const auto source_text = field<std::string>(entry, "source");
    const std::optional<DeltaSource> source = source_named(source_text.value_or(""));
    if (!path || path->empty() || !size || !sha256 || !is_sha256_hex(*sha256) || !mode ||
        *mode > 0777 || !source) {
        return std::nullopt;
    }
    DeltaFile file{*path, *size, *sha256, static_cast<unsigned>(*mode), *source, {}};
    if (*source != DeltaSource::whole) {
        const auto base = field<std::string>(entry, "base_sha256");
        if (!base || !is_sha256_hex(*base)) {
            return std::nullopt;
        }
        file.base_sha256 = *base;
    }
    return file;
}

std::optional<DeltaManifest> read_manifest(const Json& json) {
    const auto base = field<std::string>(json, "base_package_sha256");
    const auto directories = json.find("directories");
    const auto files = json.find("files");
    if (!base || directories == json.end() || !directories->is_array() || files == json.end() ||
        !files->is_array()) {
        return std::nullopt;
    }
    DeltaManifest manifest;
    manifest.base_package_sha256 = *base;
    for (const Json& directory : *directories) {
        if (!directory.is_string() || directory.get_ref<const std::string&>().empty()) {
            return std::nullopt;
        }
        manifest.directories.push_back(directory.get<std::string>());
    }
    for (const Json& entry : *files) {
        std::optional<DeltaFile> file = read_file_entry(entry);
        if (!file) {
            return std::nullopt;
        }
        manifest.files.push_back(std::move(*file));
    }
    return manifest;
}

}  // namespace

std::string patch_entry_name(const std::string& path) {
    return std::string(delta_directory) + "/patches/" + path;
}

std::string manifest_json(const DeltaManifest& manifest) {
    Json files = Json::array();
    for (const DeltaFile& file : manifest.files) {
        files.push_back(file_json(file));
    }
    // nlohmann's objects keep their keys sorted, so the same manifest gives the same bytes.
    const Json json = {{"format", delta_format},
                       {"base_package_sha256", manifest.base_package_sha256},
                       {"directories", manifest.directories},
                       {"files", std::move(files)}};
    return json.dump(1) + "\n";
}

std::optional<DeltaManifest> parse_manifest(std::string_view text) {
    const Json json = Json::parse(text.begin(), text.end(), nullptr, false);
    const auto format = json.is_object() ? json.find("format") : json.end();
    if (json.is_discarded() || !json.is_object() || format == json.end() ||
        !format->is_number_integer()) {
        spdlog::error("Malformed delta manifest");
        return std::nullopt;
    }
    if (format->get<std::int64_t>() != delta_format) {
        spdlog::error("Unsupported delta format {}", format->get<std::int64_t>());
        return std::nullopt;
    }
    std::optional<DeltaManifest> manifest = read_manifest(json);
    if (!manifest) {
        spdlog::error("Malformed delta manifest");
    }
    return manifest;
}
