#pragma once

#include <cstdint>
#include <filesystem>
#include <map>
#include <string>

// Reads the package at `path` as apply reads it, without writing anything: the same reader, the
// same checks of the archive's layout (local headers, overlaps), of every entry's name and
// method, and of every entry's data against its recorded size and CRC-32. True when apply would
// accept every entry and there are `entries` of them, and each entry named in `sha256` holds data
// of that SHA-256 (lower-case hexadecimal); a refusal is logged with its reason.
[[nodiscard]] bool package_reads_as_written(const std::filesystem::path& path,
                                            std::uint64_t entries,
                                            const std::map<std::string, std::string>& sha256 = {});
