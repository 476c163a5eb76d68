#pragma once

// Archives made to break extraction: names that climb out of the destination, link entries,
// damaged central directories, entries sharing their data or reaching into the central
// directory, local headers that disagree with their central records, sizes that lie, and a
// compression bomb. They seed the extraction fuzzer and are replayed as regression tests.

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "zip_builder.h"

namespace hostile {

using support::build_zip;
using support::ZipEntry;

constexpr std::uint32_t unix_regular = 0100644;
constexpr std::uint32_t unix_symlink = 0120777;

// The entries of hand-made archives are stored, so that what they hold can be read in the bytes.
inline ZipEntry stored(std::string name, std::string data, std::uint32_t mode = unix_regular) {
    ZipEntry entry = support::unix_entry(std::move(name), std::move(data), mode);
    entry.method = support::method_stored;
    return entry;
}

struct Archive {
    std::string name;
    std::string bytes;
    // Whether extraction must succeed; nothing when either outcome is sound (the library decides
    // how much of a damaged archive it reads), as long as nothing is written outside.
    std::optional<bool> extracts;
};

inline std::vector<ZipEntry> valid_entries() {
    return {stored("readme.txt", "hello\n"), stored("bin/app.exe", std::string(3000, 'x')),
            stored("bin/", ""), stored("lib/deep/er/file.dat", "data"), stored("empty.txt", "")};
}

// `count` entries whose central records all point at one local header and its data: `size`
// deflated zeros, which each entry would inflate whole.
inline std::vector<ZipEntry> entries_sharing_one_record(std::size_t size, int count) {
    std::vector<ZipEntry> entries = {{"zeros-0.bin", std::string(size, '\0')}};
    for (int i = 1; i < count; ++i) {
        ZipEntry entry{"zeros-" + std::to_string(i) + ".bin", ""};
        entry.shares_data_of = 0;
        entries.push_back(entry);
    }
    return entries;
}

// An entry named data.txt whose local header disagrees with its central record, once for each
// field the two share, by the field's name.
inline std::vector<std::pair<std::string, ZipEntry>> local_header_mismatches() {
    const ZipEntry entry = stored("data.txt", "the data");
    std::vector<std::pair<std::string, ZipEntry>> all(6, {"", entry});
    all[0].first = "signature";
    all[0].second.local.signature = 0x08074b50;  // a data descriptor's
    all[1].first = "name";
    all[1].second.local.name = "data.exe";
    all[2].first = "method";
    all[2].second.local.method = support::method_deflated;
    all[3].first = "crc";
    all[3].second.local.crc = 0xDEADBEEF;
    all[4].first = "compressed size";
    all[4].second.local.compressed_size = 7;
    all[5].first = "size";
    all[5].second.local.size = 9;
    return all;
}

// Every hostile archive; bomb_size is the size of the bomb's single inflated entry.
inline std::vector<Archive> archives(std::size_t bomb_size) {
    std::vector<Archive> all;
    all.push_back({"valid-stored", build_zip(valid_entries()), true});
    all.push_back({"valid-deflated",
                   build_zip({{"readme.txt", "hello\n"},
                              {"bin/app.exe", std::string(5000, 'y')},
                              support::directory("lib/"),
                              {"lib/a/b.txt", "b"}}),
                   true});
    for (const std::string name :
         {"../evil.txt", "a/b/../../../evil.txt", "..\\evil.txt", "a\\..\\..\\evil.txt",
          "/tmp/evil.txt", "C:/evil.txt", "c:evil.txt", "ok.txt:stream", "a/../../evil/"}) {
        all.push_back({"traversal " + name,
                       build_zip({stored("ok.txt", "fine"), stored(name, "evil")}), false});
    }
    // A link entry is written as a file holding its text, so nothing can be written through it.
    all.push_back(
        {"symlink-out",
         build_zip({stored("link", "../..", unix_symlink), stored("link/evil.txt", "evil")}),
         false});
    all.push_back({"symlink-absolute", build_zip({stored("abs", "/tmp", unix_symlink)}), true});
    all.push_back({"symlink-dir-entry",
                   build_zip({stored("d/", "", unix_symlink), stored("d/x.txt", "x")}),
                   std::nullopt});

    const std::string valid = build_zip(valid_entries());
    const std::size_t directory = valid.rfind(std::string("PK\x01\x02", 4));
    std::string short_directory = valid;  // the last central record cut out, the end record kept
    short_directory.erase(directory, valid.size() - 22 - directory);
    all.push_back({"truncated-central-directory", short_directory, false});
    all.push_back({"truncated-file", valid.substr(0, directory + 10), false});
    all.push_back({"truncated-data", valid.substr(0, 40), false});

    std::vector<ZipEntry> overlapping = {stored("a.txt", "shared data"), stored("b.txt", ""),
                                         stored("c/", "")};
    overlapping[1].shares_data_of = 0;
    overlapping[2].shares_data_of = 0;
    all.push_back({"overlapping-entries", build_zip(overlapping), false});
    all.push_back(
        {"30-entries-one-record", build_zip(entries_sharing_one_record(1u << 20, 30)), false});
    // The last entry's recorded data reaches into the central directory.
    ZipEntry into_directory = stored("last.txt", "last");
    into_directory.compressed_size = 40;
    into_directory.size = 40;
    all.push_back({"data-in-central-directory",
                   build_zip({stored("first.txt", "first"), into_directory}), false});
    for (const auto& [field, entry] : local_header_mismatches()) {
        all.push_back(
            {"local-header-" + field, build_zip({stored("ok.txt", "fine"), entry}), false});
    }
    // With a data descriptor (flag bit 3) the local header may leave CRC and sizes at zero.
    ZipEntry described = stored("described.txt", "described");
    described.flags = 0x0008;
    described.local.crc = 0;
    described.local.compressed_size = 0;
    described.local.size = 0;
    all.push_back({"data-descriptor", build_zip({described, stored("ok.txt", "fine")}), true});

    ZipEntry huge = stored("huge.bin", "not four gigabytes");
    huge.size = 4ull << 30;
    all.push_back({"claims-4GiB-zip64", build_zip({huge}), false});
    huge.size = 0xFFFFFFFEull;
    all.push_back({"claims-4GiB", build_zip({huge}), false});

    all.push_back({"bomb", build_zip({{"bomb.bin", std::string(bomb_size, '\0')}}), true});
    return all;
}

}  // namespace hostile
