#pragma once

// What `stage` leaves in the application root for a later `apply`: the extracted tree in
// current.new/ and, written last, the stamp .staged that binds it to one package and version.

#include <filesystem>
#include <functional>
#include <optional>
#include <string>

// The package, version and executable a staged tree was made for.
struct StagedStamp {
    std::string sha256;  // the package's SHA-256, 64 lower-case hexadecimal characters
    std::string version;
    std::string exe;  // --exe as narrow text

    bool operator==(const StagedStamp& other) const {
        return sha256 == other.sha256 && version == other.version && exe == other.exe;
    }
};

// The stamp's bytes. Texts are stored with their lengths, so that any byte may appear in them,
// and the last line tells a complete stamp from one cut short.
std::string stamp_text(const StagedStamp& stamp);

// The stamp that `text` holds; nothing unless the text is a complete stamp (an empty, short or
// zeroed file is none).
std::optional<StagedStamp> parse_stamp(const std::string& text);

// The staged files of a root.
struct StagedPaths {
    std::filesystem::path tree;   // current.new/
    std::filesystem::path stamp;  // .staged
};
StagedPaths staged_paths(const std::filesystem::path& root);

// The stamp at path; nothing when there is none or it is not complete.
std::optional<StagedStamp> read_stamp(const std::filesystem::path& path);

// Writes the stamp as the marker is written (whatever is at its name is replaced, never followed)
// and makes it durable. Failures are logged.
[[nodiscard]] bool write_stamp(const std::filesystem::path& path, const StagedStamp& stamp);

// True when anything staged is there: a stamp (complete or not) or a tree.
[[nodiscard]] bool has_staged_material(const StagedPaths& staged);

// True when the root holds a complete stage matching `expected`: a complete stamp equal to it
// and a tree holding the executable as a file.
[[nodiscard]] bool is_complete_stage(const StagedPaths& staged, const StagedStamp& expected,
                                     const std::filesystem::path& exe);

// True when a tree is staged without a complete stamp: a stage that was stopped or killed before
// it finished (or whose stamp was lost), which nothing can ever use.
[[nodiscard]] bool has_unfinished_stage(const StagedPaths& staged);

// Removes what was staged, best effort. The stamp goes first and its removal is made durable
// before the tree is touched: a power cut can then never leave a stamp over a partial tree. With
// stop_requested, the tree's removal ends once it answers true, leaving an unfinished stage.
void remove_staged_material(const StagedPaths& staged,
                            const std::function<bool()>& stop_requested = {});
