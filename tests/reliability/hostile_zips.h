#pragma once

// Archives made to break extraction: names that climb out of the destination, link entries,
// damaged central directories, entries sharing their data, sizes that lie, and a compression
// bomb. They seed the extraction fuzzer and are replayed as regression tests.

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "support.h"

namespace hostile {

namespace fs = std::filesystem;

constexpr std::uint32_t unix_regular = 0100644;
constexpr std::uint32_t unix_symlink = 0120777;

// One entry of a hand-built archive; its data is stored (method 0).
struct RawEntry {
    std::string name;
    std::string data;
    std::uint32_t unix_mode = unix_regular;
    // Uncompressed size declared in the headers instead of the data's (zip64 from 4 GiB on).
    std::optional<std::uint64_t> claimed_size = std::nullopt;
    // Index of an earlier entry whose local header and data this entry's central record names.
    std::optional<std::size_t> shares_data_of = std::nullopt;
};

inline std::uint32_t crc32(const std::string& data) {
    std::uint32_t crc = 0xFFFFFFFFu;
    for (const unsigned char byte : data) {
        crc ^= byte;
        for (int bit = 0; bit < 8; ++bit) {
            crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
        }
    }
    return ~crc;
}

inline void put16(std::string& out, std::uint32_t value) {
    out.push_back(static_cast<char>(value & 0xFF));
    out.push_back(static_cast<char>((value >> 8) & 0xFF));
}

inline void put32(std::string& out, std::uint32_t value) {
    put16(out, value & 0xFFFF);
    put16(out, value >> 16);
}

inline void put64(std::string& out, std::uint64_t value) {
    put32(out, static_cast<std::uint32_t>(value & 0xFFFFFFFFu));
    put32(out, static_cast<std::uint32_t>(value >> 32));
}

struct Sizes {
    std::uint64_t compressed;
    std::uint64_t uncompressed;
    bool zip64() const { return uncompressed >= 0xFFFFFFFFu || compressed >= 0xFFFFFFFFu; }
};

inline std::string zip64_extra(const Sizes& sizes) {
    std::string extra;
    put16(extra, 0x0001);
    put16(extra, 16);
    put64(extra, sizes.uncompressed);
    put64(extra, sizes.compressed);
    return extra;
}

// The fields local and central headers share, from "version needed" to the name's length.
inline void put_common(std::string& out, const RawEntry& entry, const Sizes& sizes,
                       std::size_t extra_size) {
    put16(out, sizes.zip64() ? 45 : 20);  // version needed
    put16(out, 0);                        // flags
    put16(out, 0);                        // method: stored
    put16(out, 0x6000);                   // 12:00
    put16(out, 0x5263);                   // 2021-03-03
    put32(out, crc32(entry.data));
    put32(out, sizes.zip64() ? 0xFFFFFFFFu : static_cast<std::uint32_t>(sizes.compressed));
    put32(out, sizes.zip64() ? 0xFFFFFFFFu : static_cast<std::uint32_t>(sizes.uncompressed));
    put16(out, static_cast<std::uint32_t>(entry.name.size()));
    put16(out, static_cast<std::uint32_t>(extra_size));
}

// A zip archive of stored entries, laid out byte by byte as the format describes it.
inline std::string build_zip(const std::vector<RawEntry>& entries) {
    std::string out;
    std::vector<std::uint32_t> offsets;
    for (const RawEntry& entry : entries) {
        if (entry.shares_data_of) {
            offsets.push_back(offsets.at(*entry.shares_data_of));
            continue;
        }
        const Sizes sizes{entry.data.size(), entry.claimed_size.value_or(entry.data.size())};
        const std::string extra = sizes.zip64() ? zip64_extra(sizes) : std::string();
        offsets.push_back(static_cast<std::uint32_t>(out.size()));
        put32(out, 0x04034b50);
        put_common(out, entry, sizes, extra.size());
        out += entry.name + extra + entry.data;
    }
    const std::size_t directory_start = out.size();
    for (std::size_t i = 0; i < entries.size(); ++i) {
        const RawEntry& entry = entries[i];
        const RawEntry& data = entry.shares_data_of ? entries[*entry.shares_data_of] : entry;
        const Sizes sizes{data.data.size(), data.claimed_size.value_or(data.data.size())};
        const std::string extra = sizes.zip64() ? zip64_extra(sizes) : std::string();
        RawEntry named = data;
        named.name = entry.name;
        put32(out, 0x02014b50);
        put16(out, (3u << 8) | 63u);  // made by: Unix
        put_common(out, named, sizes, extra.size());
        put16(out, 0);  // comment length
        put16(out, 0);  // disk
        put16(out, 0);  // internal attributes
        put32(out, entry.unix_mode << 16);
        put32(out, offsets[i]);
        out += entry.name + extra;
    }
    const std::size_t directory_size = out.size() - directory_start;
    put32(out, 0x06054b50);
    put16(out, 0);
    put16(out, 0);
    put16(out, static_cast<std::uint32_t>(entries.size()));
    put16(out, static_cast<std::uint32_t>(entries.size()));
    put32(out, static_cast<std::uint32_t>(directory_size));
    put32(out, static_cast<std::uint32_t>(directory_start));
    put16(out, 0);
    return out;
}

// A deflated archive written by the zip library, as its bytes.
inline std::string deflated_zip(const fs::path& scratch, const std::vector<support::ZipEntry>& e) {
    const fs::path path = scratch / "deflated.zip";
    support::write_zip(path, e);
    std::string bytes = support::read_file(path);
    fs::remove(path);
    return bytes;
}

struct Archive {
    std::string name;
    std::string bytes;
    // Whether extraction must succeed; nothing when either outcome is sound (the library decides
    // how much of a damaged archive it reads), as long as nothing is written outside.
    std::optional<bool> extracts;
};

inline std::vector<RawEntry> valid_entries() {
    return {{"readme.txt", "hello\n"},
            {"bin/app.exe", std::string(3000, 'x')},
            {"bin/", ""},
            {"lib/deep/er/file.dat", "data"},
            {"empty.txt", ""}};
}

// Every hostile archive; bomb_size is the size of the bomb's single inflated entry.
inline std::vector<Archive> archives(const fs::path& scratch, std::size_t bomb_size) {
    std::vector<Archive> all;
    all.push_back({"valid-stored", build_zip(valid_entries()), true});
    all.push_back({"valid-deflated",
                   deflated_zip(scratch, {{"readme.txt", "hello\n"},
                                          {"bin/app.exe", std::string(5000, 'y')},
                                          {"lib/", "", true},
                                          {"lib/a/b.txt", "b"}}),
                   true});
    for (const std::string name :
         {"../evil.txt", "a/b/../../../evil.txt", "..\\evil.txt", "a\\..\\..\\evil.txt",
          "/tmp/evil.txt", "C:/evil.txt", "c:evil.txt", "ok.txt:stream", "a/../../evil/"}) {
        all.push_back(
            {"traversal " + name, build_zip({{"ok.txt", "fine"}, {name, "evil"}}), false});
    }
    // A link entry is written as a file holding its text, so nothing can be written through it.
    all.push_back({"symlink-out",
                   build_zip({{"link", "../..", unix_symlink}, {"link/evil.txt", "evil"}}), false});
    all.push_back({"symlink-absolute", build_zip({{"abs", "/tmp", unix_symlink}}), true});
    all.push_back({"symlink-dir-entry", build_zip({{"d/", "", unix_symlink}, {"d/x.txt", "x"}}),
                   std::nullopt});

    const std::string valid = build_zip(valid_entries());
    const std::size_t directory = valid.rfind(std::string("PK\x01\x02", 4));
    std::string short_directory = valid;  // the last central record cut out, the end record kept
    short_directory.erase(directory, valid.size() - 22 - directory);
    all.push_back({"truncated-central-directory", short_directory, false});
    all.push_back({"truncated-file", valid.substr(0, directory + 10), false});
    all.push_back({"truncated-data", valid.substr(0, 40), false});

    std::vector<RawEntry> overlapping = {{"a.txt", "shared data"}, {"b.txt", ""}, {"c/", ""}};
    overlapping[1].shares_data_of = 0;
    overlapping[2].shares_data_of = 0;
    all.push_back({"overlapping-entries", build_zip(overlapping), std::nullopt});

    RawEntry huge{"huge.bin", "not four gigabytes"};
    huge.claimed_size = 4ull << 30;
    all.push_back({"claims-4GiB-zip64", build_zip({huge}), false});
    huge.claimed_size = 0xFFFFFFFEull;
    all.push_back({"claims-4GiB", build_zip({huge}), false});

    all.push_back(
        {"bomb", deflated_zip(scratch, {{"bomb.bin", std::string(bomb_size, '\0')}}), true});
    return all;
}

}  // namespace hostile
