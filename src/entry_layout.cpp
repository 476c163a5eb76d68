#include "entry_layout.h"

#include <spdlog/spdlog.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <limits>
#include <optional>
#include <string>
#include <vector>

#include "entry_data.h"

namespace {

constexpr std::uint32_t local_signature = 0x04034b50;
constexpr std::uint32_t central_signature = 0x02014b50;
constexpr std::uint32_t end_signature = 0x06054b50;
constexpr std::uint32_t zip64_locator_signature = 0x07064b50;
constexpr std::uint32_t zip64_end_signature = 0x06064b50;
constexpr std::size_t local_header_size = 30;
constexpr std::size_t central_header_size = 46;
constexpr std::size_t end_record_size = 22;
constexpr std::size_t zip64_locator_size = 20;
constexpr std::size_t zip64_end_size = 56;
constexpr std::size_t max_comment_size = 0xFFFF;
constexpr std::uint64_t placeholder_32 = 0xFFFFFFFF;
constexpr std::uint16_t data_descriptor_flag = 0x0008;
constexpr std::uint16_t zip64_extra_id = 0x0001;
constexpr std::uint16_t unicode_path_extra_id = 0x7075;
constexpr std::uint16_t utf8_name_flag = 0x0800;

// The little-endian number of `bytes` bytes at `at`.
std::uint64_t number(const char* at, int bytes) {
    std::uint64_t value = 0;
    for (int i = bytes - 1; i >= 0; --i) {
        value = value << 8 | static_cast<unsigned char>(at[i]);
    }
    return value;
}

[[nodiscard]] bool read_at(zip_source_t* source, std::uint64_t offset, char* data,
                           std::size_t size) {
    if (offset > static_cast<std::uint64_t>(std::numeric_limits<zip_int64_t>::max())) {
        return false;
    }
    return zip_source_seek(source, static_cast<zip_int64_t>(offset), SEEK_SET) == 0 &&
           zip_source_read(source, data, size) == static_cast<zip_int64_t>(size);
}

// The raw bytes of `size` at `offset`; nothing when the file doesn't hold them all.
std::optional<std::string> bytes_at(zip_source_t* source, std::uint64_t offset, std::size_t size) {
    std::string bytes(size, '\0');
    if (!read_at(source, offset, bytes.data(), size)) {
        return std::nullopt;
    }
    return bytes;
}

// What one header, central or local, says of an entry.
struct Header {
    std::uint16_t flags = 0;
    std::uint16_t method = 0;
    std::uint32_t crc = 0;
    std::uint64_t compressed_size = 0;
    std::uint64_t size = 0;
    std::uint64_t offset = 0;  // central records only: where the local header starts
    std::string name;          // the bytes as stored
    std::string meaning;       // the name the header means, in UTF-8
    std::size_t extra_size = 0;
};

// The fields local and central headers share, from the flags on, at `fields`.
void read_common(const char* fields, Header& header) {
    header.flags = static_cast<std::uint16_t>(number(fields, 2));
    header.method = static_cast<std::uint16_t>(number(fields + 2, 2));
    header.crc = static_cast<std::uint32_t>(number(fields + 8, 4));
    header.compressed_size = number(fields + 12, 4);
    header.size = number(fields + 16, 4);
}

// The data of the extra field `id` among `extra`; nothing when there is none.
std::optional<std::string> extra_field(const std::string& extra, std::uint16_t id) {
    for (std::size_t at = 0; at + 4 <= extra.size();) {
        const std::size_t length = number(&extra[at + 2], 2);
        if (at + 4 + length > extra.size()) {
            break;
        }
        if (number(&extra[at], 2) == id) {
            return extra.substr(at + 4, length);
        }
        at += 4 + length;
    }
    return std::nullopt;
}

std::optional<std::string> zip64_field(const std::string& extra) {
    return extra_field(extra, zip64_extra_id);
}

// Code page 437, the encoding of names without the UTF-8 flag, from 0x80 on; below that it is
// ASCII.
constexpr char16_t cp437_high[128] = {
    0x00C7, 0x00FC, 0x00E9, 0x00E2, 0x00E4, 0x00E0, 0x00E5, 0x00E7, 0x00EA, 0x00EB, 0x00E8, 0x00EF,
    0x00EE, 0x00EC, 0x00C4, 0x00C5, 0x00C9, 0x00E6, 0x00C6, 0x00F4, 0x00F6, 0x00F2, 0x00FB, 0x00F9,
    0x00FF, 0x00D6, 0x00DC, 0x00A2, 0x00A3, 0x00A5, 0x20A7, 0x0192, 0x00E1, 0x00ED, 0x00F3, 0x00FA,
    0x00F1, 0x00D1, 0x00AA, 0x00BA, 0x00BF, 0x2310, 0x00AC, 0x00BD, 0x00BC, 0x00A1, 0x00AB, 0x00BB,
    0x2591, 0x2592, 0x2593, 0x2502, 0x2524, 0x2561, 0x2562, 0x2556, 0x2555, 0x2563, 0x2551, 0x2557,
    0x255D, 0x255C, 0x255B, 0x2510, 0x2514, 0x2534, 0x252C, 0x251C, 0x2500, 0x253C, 0x255E, 0x255F,
    0x255A, 0x2554, 0x2569, 0x2566, 0x2560, 0x2550, 0x256C, 0x2567, 0x2568, 0x2564, 0x2565, 0x2559,
    0x2558, 0x2552, 0x2553, 0x256B, 0x256A, 0x2518, 0x250C, 0x2588, 0x2584, 0x258C, 0x2590, 0x2580,
    0x03B1, 0x00DF, 0x0393, 0x03C0, 0x03A3, 0x03C3, 0x00B5, 0x03C4, 0x03A6, 0x0398, 0x03A9, 0x03B4,
    0x221E, 0x03C6, 0x03B5, 0x2229, 0x2261, 0x00B1, 0x2265, 0x2264, 0x2320, 0x2321, 0x00F7, 0x2248,
    0x00B0, 0x2219, 0x00B7, 0x221A, 0x207F, 0x00B2, 0x25A0, 0x00A0};

std::string cp437_to_utf8(const std::string& bytes) {
    std::string text;
    for (const char byte : bytes) {
        const unsigned char c = static_cast<unsigned char>(byte);
        if (c < 0x80) {
            text.push_back(byte);
            continue;
        }
        const char16_t point = cp437_high[c - 0x80];
        if (point < 0x800) {
            text.push_back(static_cast<char>(0xC0 | (point >> 6)));
        } else {
            text.push_back(static_cast<char>(0xE0 | (point >> 12)));
            text.push_back(static_cast<char>(0x80 | ((point >> 6) & 0x3F)));
        }
        text.push_back(static_cast<char>(0x80 | (point & 0x3F)));
    }
    return text;
}

// The name a header means: its Info-ZIP Unicode path field where it has a valid one (version 1,
// made for this header's own name, whose CRC-32 it carries), else its name as UTF-8 when flag
// bit 11 says so, or as CP437 when it does not. Zip tools read the same entry by one or the
// other; they must agree.
std::string meant_name(const Header& header, const std::string& extra) {
    if (const std::optional<std::string> field = extra_field(extra, unicode_path_extra_id);
        field && field->size() >= 5 && (*field)[0] == 1 &&
        number(field->data() + 1, 4) == update_crc32(0, header.name.data(), header.name.size())) {
        return field->substr(5);
    }
    return (header.flags & utf8_name_flag) != 0 ? header.name : cp437_to_utf8(header.name);
}

// Replaces the sizes (and a central record's offset) that hold the 32-bit placeholder with their
// values in the zip64 extra field, read in the format's order as the zip library reads them. A
// local header's field holds both sizes whichever needs it. False when a value is missing.
[[nodiscard]] bool resolve_zip64(Header& header, const std::string& extra, bool local) {
    const bool needed = header.size == placeholder_32 || header.compressed_size == placeholder_32 ||
                        (!local && header.offset == placeholder_32);
    if (!needed) {
        return true;
    }
    const std::optional<std::string> field = zip64_field(extra);
    if (!field) {
        return false;
    }
    std::size_t at = 0;
    const auto next = [&](std::uint64_t& value) {
        if (at + 8 > field->size()) {
            return false;
        }
        value = number(&(*field)[at], 8);
        at += 8;
        return true;
    };
    std::uint64_t skipped = 0;
    if (header.size == placeholder_32 || local) {
        if (!next(header.size == placeholder_32 ? header.size : skipped)) {
            return false;
        }
    }
    if (header.compressed_size == placeholder_32 && !next(header.compressed_size)) {
        return false;
    }
    return local || header.offset != placeholder_32 || next(header.offset);
}

// The central directory: where it starts and how many bytes it takes.
struct Directory {
    std::uint64_t start = 0;
    std::uint64_t size = 0;
};

// The directory that the end record at `at` in `tail` (the file's last bytes, from tail_start)
// describes, through the zip64 records when their locator precedes it, as the zip library reads
// them; nothing when those records don't hold together.
std::optional<Directory> directory_of_end_record(zip_source_t* source, const std::string& tail,
                                                 std::uint64_t tail_start, std::size_t at) {
    const std::uint64_t end = tail_start + at;
    const char* record = &tail[at];
    Directory directory{number(record + 16, 4), number(record + 12, 4)};
    std::uint64_t limit = end;
    if (at >= zip64_locator_size &&
        number(&tail[at - zip64_locator_size], 4) == zip64_locator_signature) {
        limit = number(&tail[at - zip64_locator_size + 8], 8);
        const std::optional<std::string> zip64_end = bytes_at(source, limit, zip64_end_size);
        if (!zip64_end || number(zip64_end->data(), 4) != zip64_end_signature) {
            return std::nullopt;
        }
        directory = {number(zip64_end->data() + 48, 8), number(zip64_end->data() + 40, 8)};
    }
    if (directory.start > limit || directory.size > limit - directory.start) {
        return std::nullopt;
    }
    return directory;
}

// Reads the central records from the directory's start to its end.
std::optional<std::vector<Header>> read_central_records(zip_source_t* source,
                                                        const Directory& directory) {
    std::vector<Header> records;
    const std::uint64_t end = directory.start + directory.size;
    for (std::uint64_t at = directory.start; at < end;) {
        char fixed[central_header_size];
        if (end - at < central_header_size || !read_at(source, at, fixed, sizeof fixed) ||
            number(fixed, 4) != central_signature) {
            return std::nullopt;
        }
        Header header;
        read_common(fixed + 8, header);
        header.offset = number(fixed + 42, 4);
        const std::size_t name_size = number(fixed + 28, 2);
        const std::size_t extra_size = number(fixed + 30, 2);
        const std::size_t comment_size = number(fixed + 32, 2);
        std::optional<std::string> name = bytes_at(source, at + central_header_size, name_size);
        std::optional<std::string> extra =
            bytes_at(source, at + central_header_size + name_size, extra_size);
        if (!name || !extra || !resolve_zip64(header, *extra, false)) {
            return std::nullopt;
        }
        header.name = std::move(*name);
        header.meaning = meant_name(header, *extra);
        records.push_back(std::move(header));
        at += central_header_size + name_size + extra_size + comment_size;
    }
    return records;
}

// The local header at `offset`; nothing when there is none there.
std::optional<Header> read_local_header(zip_source_t* source, std::uint64_t offset) {
    char fixed[local_header_size];
    if (!read_at(source, offset, fixed, sizeof fixed) || number(fixed, 4) != local_signature) {
        return std::nullopt;
    }
    Header header;
    read_common(fixed + 6, header);
    const std::size_t name_size = number(fixed + 26, 2);
    header.extra_size = number(fixed + 28, 2);
    std::optional<std::string> name = bytes_at(source, offset + local_header_size, name_size);
    std::optional<std::string> extra =
        bytes_at(source, offset + local_header_size + name_size, header.extra_size);
    if (!name || !extra || !resolve_zip64(header, *extra, true)) {
        return std::nullopt;
    }
    header.name = std::move(*name);
    header.meaning = meant_name(header, *extra);
    return header;
}

// A value the local header carries must be the central record's. With a data descriptor (flag
// bit 3) the local header may leave the CRC-32 and sizes at zero: then it carries none of them.
[[nodiscard]] bool carried_value_matches(const Header& local, std::uint64_t local_value,
                                         std::uint64_t central_value) {
    const bool carried = (local.flags & data_descriptor_flag) == 0 || local_value != 0;
    return !carried || local_value == central_value;
}

[[nodiscard]] bool local_header_matches(const Header& local, const Header& central) {
    return local.meaning == central.meaning && local.method == central.method &&
           carried_value_matches(local, local.crc, central.crc) &&
           carried_value_matches(local, local.compressed_size, central.compressed_size) &&
           carried_value_matches(local, local.size, central.size);
}

// The central records must be the entries the zip library extracts, in its order and with its
// sizes; where the two readings differ, neither can be trusted.
[[nodiscard]] bool records_are_the_entries(zip_t* archive, const std::vector<Header>& records) {
    const zip_int64_t count = zip_get_num_entries(archive, 0);
    if (count < 0 || static_cast<std::uint64_t>(count) != records.size()) {
        return false;
    }
    for (std::size_t index = 0; index < records.size(); ++index) {
        zip_stat_t stat;
        zip_stat_init(&stat);
        // A small entry encrypted with AES has no CRC-32 to compare (its format leaves it out).
        const std::uint64_t sized = ZIP_STAT_SIZE | ZIP_STAT_COMP_SIZE;
        if (zip_stat_index(archive, index, 0, &stat) != 0 || (stat.valid & sized) != sized ||
            stat.size != records[index].size || stat.comp_size != records[index].compressed_size ||
            ((stat.valid & ZIP_STAT_CRC) != 0 && stat.crc != records[index].crc)) {
            return false;
        }
    }
    return true;
}

// The central directory with its records, as the end record nearest the file's end gives it
// whose directory holds the entries the zip library read.
struct CentralDirectory {
    Directory extent;
    std::vector<Header> records;
};

std::optional<CentralDirectory> read_directory(zip_t* archive, zip_source_t* source) {
    zip_stat_t stat;
    if (zip_source_stat(source, &stat) != 0 || (stat.valid & ZIP_STAT_SIZE) == 0) {
        return std::nullopt;
    }
    const std::uint64_t tail_size =
        std::min<std::uint64_t>(stat.size, max_comment_size + end_record_size + zip64_locator_size);
    const std::uint64_t tail_start = stat.size - tail_size;
    const std::optional<std::string> tail =
        bytes_at(source, tail_start, static_cast<std::size_t>(tail_size));
    if (!tail || tail->size() < end_record_size) {
        return std::nullopt;
    }
    for (std::size_t at = tail->size() - end_record_size + 1; at-- > 0;) {
        if (number(&(*tail)[at], 4) != end_signature ||
            number(&(*tail)[at + 20], 2) > tail->size() - end_record_size - at) {
            continue;
        }
        const std::optional<Directory> extent =
            directory_of_end_record(source, *tail, tail_start, at);
        std::optional<std::vector<Header>> records;
        if (extent) {
            records = read_central_records(source, *extent);
        }
        if (records && records_are_the_entries(archive, *records)) {
            return CentralDirectory{*extent, std::move(*records)};
        }
    }
    return std::nullopt;
}

// The entry's name for log lines, as the other extraction lines give it.
std::string entry_name(zip_t* archive, std::size_t index) {
    const char* name = zip_get_name(archive, index, 0);
    return name != nullptr ? name : std::to_string(index);
}

// The entries' indices in the order of their local headers in the file; entries at one offset
// in the central directory's order.
std::vector<std::size_t> in_file_order(const std::vector<Header>& records) {
    std::vector<std::size_t> order(records.size());
    for (std::size_t i = 0; i < order.size(); ++i) {
        order[i] = i;
    }
    std::stable_sort(order.begin(), order.end(), [&records](std::size_t a, std::size_t b) {
        return records[a].offset < records[b].offset;
    });
    return order;
}

// Where an entry's range ends: after its local header, with the name and extra field lengths
// that header gives, and the compressed data its central record gives.
std::uint64_t range_end(const Header& central, const Header& local) {
    // The header was read, so its end lies within the file; a recorded size may not.
    const std::uint64_t header_end =
        central.offset + local_header_size + local.name.size() + local.extra_size;
    const std::uint64_t most = std::numeric_limits<std::uint64_t>::max();
    return central.compressed_size > most - header_end ? most
                                                       : header_end + central.compressed_size;
}

// Reads the local headers in file order, so that the package is read forwards, checking each
// against its central record and its range against the ones before it and the directory.
// Ranges before it must not overlap each other, so the one just before ends furthest.
[[nodiscard]] bool ranges_apart_and_headers_matching(zip_t* archive, zip_source_t* source,
                                                     const std::vector<Header>& records,
                                                     const Directory& directory) {
    std::optional<std::size_t> previous;
    std::uint64_t previous_end = 0;
    for (const std::size_t index : in_file_order(records)) {
        const Header& central = records[index];
        // A range holds at least its local header, so two entries at one offset overlap even
        // when both are empty.
        if (previous && central.offset < previous_end) {
            spdlog::error("Zip entries overlap: {} and {}", entry_name(archive, *previous),
                          entry_name(archive, index));
            return false;
        }
        const std::optional<Header> local = read_local_header(source, central.offset);
        if (!local || !local_header_matches(*local, central)) {
            spdlog::error("Zip entry does not match its local header: {}", central.meaning);
            return false;
        }
        previous = index;
        previous_end = range_end(central, *local);
        if (central.offset < directory.start + directory.size && previous_end > directory.start) {
            spdlog::error("Zip entry overlaps the central directory: {}",
                          entry_name(archive, index));
            return false;
        }
    }
    return true;
}

// A NUL ends a name for other zip tools, while the zip library reads past it: the two would
// install different names. It is seen only here, in the raw records; the library's name has it
// replaced already.
[[nodiscard]] bool names_hold_no_nul(const std::vector<Header>& records) {
    for (const Header& record : records) {
        if (const std::size_t nul = record.name.find('\0'); nul != std::string::npos) {
            spdlog::error("Unsafe path in zip: {}", record.name.substr(0, nul));
            return false;
        }
    }
    return true;
}

}  // namespace

bool entries_lie_apart_as_recorded(zip_t* archive, zip_source_t* source) {
    const std::optional<CentralDirectory> directory = read_directory(archive, source);
    if (!directory) {
        spdlog::error("Zip central directory is inconsistent");
        return false;
    }
    if (!names_hold_no_nul(directory->records)) {
        return false;
    }
    return ranges_apart_and_headers_matching(archive, source, directory->records,
                                             directory->extent);
}
