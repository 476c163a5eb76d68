#pragma once

// Small records the updater leaves on disk for a later run (the stamp of a staged tree, the
// source of kept download bytes): a first line naming the kind, then named texts stored with
// their lengths (so that any byte may appear in them), then a last line that tells a complete
// record from one cut short.

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <utility>
#include <vector>

using RecordFields = std::vector<std::pair<std::string, std::string>>;

// The record's bytes: `kind` as the first line, then each field, then "end".
std::string record_text(const std::string& kind, const RecordFields& fields);

// The values of the fields `names`, in that order, when text is a complete record of that kind
// holding exactly those fields; nothing for anything else (an empty, short or zeroed file).
std::optional<std::vector<std::string>> parse_record(const std::string& text,
                                                     const std::string& kind,
                                                     const std::vector<std::string>& names);

// The content of the regular file at path when it holds at most `limit` bytes; nothing when
// there is none, it is larger or it can't be read.
std::optional<std::string> read_small_file(const std::filesystem::path& path, std::uint64_t limit);

// Writes text to a new file at path (whatever is at its name is replaced, never followed) and
// makes its data and its name durable. Failures are logged.
[[nodiscard]] bool write_durable_file(const std::filesystem::path& path, const std::string& text);
