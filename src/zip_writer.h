#pragma once

// Writing a zip package that every zip reader, the updater's own included, extracts to the same
// tree, and that is byte for byte the same whenever the same tree is written: entries in the order
// given, every timestamp the one given, no extra field but Zip64's where sizes need it, and fixed
// compression settings. Entries are deflated with zlib, on worker threads, while the writer
// writes the entries before them; a file that deflate does not shrink is stored.

#include <array>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

// One entry to write.
struct PackItem {
    // UTF-8, with `/` as separator; a directory's ends in `/`.
    std::string name;
    // The file whose content the entry holds; unused for a directory.
    std::filesystem::path source;
    bool directory = false;
    // The Unix permission bits recorded for it.
    unsigned mode = 0644;
    // Stored as it is, never deflated: its data is compressed already.
    bool store = false;
};

// A time as the zip format records it: local date and time fields, to two seconds.
struct DosTime {
    std::uint16_t time = 0;
    std::uint16_t date = 0;
};

// The time `seconds` after 1970-01-01 00:00:00 UTC, rounded down to two seconds; times before
// 1980 (the format's first) are 1980-01-01 00:00:00, times past its last (2107) that last time.
DosTime dos_time(std::int64_t seconds);
// 1980-01-01 00:00:00.
DosTime earliest_dos_time();

// What was written, with the digests of its bytes as they were written.
struct WrittenZip {
    std::uint64_t size = 0;
    std::uint64_t files = 0;
    std::vector<unsigned char> sha256;
    std::array<unsigned char, 64> blake2b512{};
};

// The size of the data of an entry holding `size` bytes at `data`, as write_zip writes it:
// deflated, or the bytes themselves when deflate does not shrink them.
std::uint64_t entry_data_size(const char* data, std::size_t size);

// Writes the items, in the order given, as a zip at `to` (replacing whatever is there), and closes
// it. False at the first failure, logged: a file that can't be read or that changed while it was
// read, a write that fails. The file is left for the caller to remove.
[[nodiscard]] bool write_zip(const std::vector<PackItem>& items, DosTime time,
                             const std::filesystem::path& to, WrittenZip& written);
