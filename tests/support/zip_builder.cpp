#include "zip_builder.h"

#include <zlib.h>

#include <algorithm>
#include <memory>
#include <stdexcept>
#include <utility>

#include "support.h"

namespace support {

std::string deflate_raw(const std::string& data) {
    z_stream stream{};
    // Negative window bits: raw deflate data without zlib's header, as zip stores it.
    if (deflateInit2(&stream, Z_DEFAULT_COMPRESSION, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY) !=
        Z_OK) {
        throw std::runtime_error("deflateInit2 failed");
    }
    const std::unique_ptr<z_stream, decltype(&deflateEnd)> end(&stream, deflateEnd);
    std::string out(deflateBound(&stream, static_cast<uLong>(data.size())), '\0');
    stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data()));
    stream.avail_in = static_cast<uInt>(data.size());
    stream.next_out = reinterpret_cast<Bytef*>(out.data());
    stream.avail_out = static_cast<uInt>(out.size());
    if (deflate(&stream, Z_FINISH) != Z_STREAM_END) {
        throw std::runtime_error("deflate failed");
    }
    out.resize(stream.total_out);
    return out;
}

std::uint32_t crc32_of(const std::string& data) {
    return static_cast<std::uint32_t>(
        crc32_z(0, reinterpret_cast<const Bytef*>(data.data()), data.size()));
}

namespace {

// 2021-03-03 12:00:00 in MS-DOS form, local time.
constexpr std::uint16_t dos_time = 0x6000;
constexpr std::uint16_t dos_date = 0x5263;
// The low byte of "version made by": format version 6.3.
constexpr std::uint16_t format_version = 63;
constexpr std::uint16_t utf8_name_flag = 0x0800;
constexpr std::uint32_t dos_directory_attribute = 0x10;
constexpr std::uint32_t max_32 = 0xFFFFFFFFu;

// Appends the `bytes` low bytes of value, least significant first.
void put(std::string& out, std::uint64_t value, int bytes) {
    for (int i = 0; i < bytes; ++i) {
        out.push_back(static_cast<char>((value >> (8 * i)) & 0xFF));
    }
}

bool is_ascii(const std::string& text) {
    return std::all_of(text.begin(), text.end(), [](char c) { return (c & 0x80) == 0; });
}

std::uint16_t name_flags(const ZipEntry& entry) {
    return entry.cp437_name || is_ascii(entry.name) ? 0 : utf8_name_flag;
}

// What the headers say about an entry's data, the data as the archive holds it, and where its
// local header starts.
struct Recorded {
    std::uint32_t offset;
    std::uint16_t method;
    std::uint16_t flags;
    std::uint32_t crc;
    std::uint64_t size;
    std::string bytes;
    std::uint64_t compressed_size;
    bool zip64() const { return size >= max_32 || compressed_size >= max_32; }
};

// The entry's data as the archive holds it.
std::string held_bytes(const ZipEntry& entry) {
    if (entry.raw_data) {
        return *entry.raw_data;
    }
    return entry.method == method_deflated ? deflate_raw(entry.data) : entry.data;
}

Recorded record(const ZipEntry& entry, std::size_t offset) {
    std::string bytes = held_bytes(entry);
    const std::uint64_t compressed_size = entry.compressed_size.value_or(bytes.size());
    return {static_cast<std::uint32_t>(offset),
            entry.method,
            entry.flags,
            entry.crc.value_or(crc32_of(entry.data)),
            entry.size.value_or(entry.data.size()),
            std::move(bytes),
            compressed_size};
}

std::string zip64_extra(const Recorded& data) {
    std::string extra;
    if (data.zip64()) {
        put(extra, 0x0001, 2);
        put(extra, 16, 2);
        put(extra, data.size, 8);
        put(extra, data.compressed_size, 8);
    }
    return extra;
}

// The fields local and central headers share, from "version needed" to the extra field's length.
void put_common(std::string& out, const Recorded& data, std::uint16_t flags,
                const std::string& name, const std::string& extra) {
    put(out, data.zip64() ? 45 : 20, 2);  // version needed
    put(out, flags, 2);
    put(out, data.method, 2);
    put(out, dos_time, 2);
    put(out, dos_date, 2);
    put(out, data.crc, 4);
    put(out, data.zip64() ? max_32 : data.compressed_size, 4);
    put(out, data.zip64() ? max_32 : data.size, 4);
    put(out, name.size(), 2);
    put(out, extra.size(), 2);
}

// The local header, with the fields the entry asks to differ from the central record replaced.
void put_local_header(std::string& out, const ZipEntry& entry, const Recorded& data) {
    const std::string extra = zip64_extra(data) + entry.local.extra.value_or(entry.extra);
    const ZipEntry::LocalHeader& local = entry.local;
    const std::string name = local.name.value_or(entry.name);
    const std::size_t start = out.size();
    put(out, local.signature.value_or(0x04034b50), 4);
    put_common(out, data, data.flags | name_flags(entry), name, extra);
    out += name + extra;
    const auto replace = [&](std::size_t at, std::optional<std::uint64_t> value, int bytes) {
        if (value) {
            std::string field;
            put(field, *value, bytes);
            out.replace(start + at, field.size(), field);
        }
    };
    replace(8, local.method, 2);
    replace(14, local.crc, 4);
    replace(18, local.compressed_size, 4);
    replace(22, local.size, 4);
}

void put_central_record(std::string& out, const ZipEntry& entry, const Recorded& data) {
    const std::string extra = zip64_extra(data) + entry.extra;
    put(out, 0x02014b50, 4);
    put(out, entry.host << 8 | format_version, 2);
    put_common(out, data, data.flags | name_flags(entry), entry.name, extra);
    put(out, 0, 2);  // comment length
    put(out, 0, 2);  // disk
    put(out, 0, 2);  // internal attributes
    put(out, entry.attributes, 4);
    put(out, data.offset, 4);
    out += entry.name + extra;
}

void put_end_record(std::string& out, std::size_t entries, std::size_t directory_start) {
    const std::size_t directory_size = out.size() - directory_start;
    put(out, 0x06054b50, 4);
    put(out, 0, 2);  // disk
    put(out, 0, 2);  // disk of the central directory
    put(out, entries, 2);
    put(out, entries, 2);
    put(out, directory_size, 4);
    put(out, directory_start, 4);
    put(out, 0, 2);  // comment length
}

}  // namespace

std::string unicode_path_field(const std::string& utf8_name, std::uint32_t name_crc) {
    std::string field;
    put(field, 0x7075, 2);
    put(field, 5 + utf8_name.size(), 2);
    put(field, 1, 1);
    put(field, name_crc, 4);
    return field + utf8_name;
}

ZipEntry directory(std::string name) {
    ZipEntry entry{std::move(name), ""};
    entry.attributes = unix_attributes(040755) | dos_directory_attribute;
    entry.method = method_stored;
    return entry;
}

ZipEntry unix_entry(std::string name, std::string data, std::uint32_t mode) {
    ZipEntry entry{std::move(name), std::move(data)};
    entry.attributes = unix_attributes(mode);
    return entry;
}

ZipEntry dos_entry(std::string name, std::string data, std::uint32_t attributes) {
    ZipEntry entry{std::move(name), std::move(data)};
    entry.host = host_dos;
    entry.attributes = attributes;
    return entry;
}

ZipEntry with_wrong_crc(ZipEntry entry) {
    entry.crc = crc32_of(entry.data) ^ 0x55u;
    return entry;
}

std::string build_zip(const std::vector<ZipEntry>& entries) {
    std::string out;
    std::vector<Recorded> recorded;
    for (const ZipEntry& entry : entries) {
        if (entry.shares_data_of) {
            recorded.push_back(Recorded(recorded.at(*entry.shares_data_of)));
            continue;
        }
        recorded.push_back(record(entry, out.size()));
        put_local_header(out, entry, recorded.back());
        out += recorded.back().bytes;
    }
    const std::size_t directory_start = out.size();
    for (std::size_t i = 0; i < entries.size(); ++i) {
        put_central_record(out, entries[i], recorded[i]);
    }
    put_end_record(out, entries.size(), directory_start);
    return out;
}

void write_zip(const std::filesystem::path& path, const std::vector<ZipEntry>& entries) {
    write_file(path, build_zip(entries));
}

}  // namespace support
