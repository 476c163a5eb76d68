#include "zip_builder.h"

#include <zlib.h>

#include <stdexcept>
#include <utility>

#include "support.h"

namespace support {

namespace {

// 2021-03-03 12:00:00 in MS-DOS form, local time.
constexpr std::uint16_t dos_time = 0x6000;
constexpr std::uint16_t dos_date = 0x5263;
// The low byte of "version made by": format version 6.3.
constexpr std::uint16_t format_version = 63;
constexpr std::uint16_t utf8_name_flag = 0x0800;
constexpr std::uint32_t dos_directory_attribute = 0x10;
constexpr std::uint32_t max_32 = 0xFFFFFFFFu;

void put16(std::string& out, std::uint32_t value) {
    out.push_back(static_cast<char>(value & 0xFF));
    out.push_back(static_cast<char>((value >> 8) & 0xFF));
}

void put32(std::string& out, std::uint32_t value) {
    put16(out, value & 0xFFFF);
    put16(out, value >> 16);
}

void put64(std::string& out, std::uint64_t value) {
    put32(out, static_cast<std::uint32_t>(value & max_32));
    put32(out, static_cast<std::uint32_t>(value >> 32));
}

std::uint32_t crc32_of(const std::string& data) {
    return static_cast<std::uint32_t>(
        crc32_z(0, reinterpret_cast<const Bytef*>(data.data()), data.size()));
}

// Ends a deflate stream however its use ends.
struct DeflateStream {
    z_stream stream{};
    DeflateStream() {
        // Negative window bits: raw deflate data without zlib's header, as zip stores it.
        if (deflateInit2(&stream, Z_DEFAULT_COMPRESSION, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY) !=
            Z_OK) {
            throw std::runtime_error("deflateInit2 failed");
        }
    }
    ~DeflateStream() { deflateEnd(&stream); }
    DeflateStream(const DeflateStream&) = delete;
    DeflateStream& operator=(const DeflateStream&) = delete;
};

std::string deflated(const std::string& data) {
    DeflateStream deflater;
    z_stream& stream = deflater.stream;
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

bool is_ascii(const std::string& text) {
    for (const unsigned char c : text) {
        if (c >= 0x80) {
            return false;
        }
    }
    return true;
}

std::uint16_t name_flags(const ZipEntry& entry) {
    return entry.cp437_name || is_ascii(entry.name) ? 0 : utf8_name_flag;
}

// What the headers say about an entry's data, and the data as the archive holds it.
struct Recorded {
    std::uint16_t method;
    std::uint16_t flags;
    std::uint32_t crc;
    std::uint64_t size;
    std::string bytes;
    bool zip64() const { return size >= max_32 || bytes.size() >= max_32; }
};

Recorded record(const ZipEntry& entry) {
    return {entry.method, entry.flags, entry.crc.value_or(crc32_of(entry.data)),
            entry.size.value_or(entry.data.size()),
            entry.method == method_deflated ? deflated(entry.data) : entry.data};
}

std::string zip64_extra(const Recorded& data) {
    std::string extra;
    if (data.zip64()) {
        put16(extra, 0x0001);
        put16(extra, 16);
        put64(extra, data.size);
        put64(extra, data.bytes.size());
    }
    return extra;
}

// The fields local and central headers share, from "version needed" to the extra field's length.
void put_common(std::string& out, const Recorded& data, std::uint16_t flags,
                const std::string& name, const std::string& extra) {
    put16(out, data.zip64() ? 45 : 20);  // version needed
    put16(out, flags);
    put16(out, data.method);
    put16(out, dos_time);
    put16(out, dos_date);
    put32(out, data.crc);
    put32(out, data.zip64() ? max_32 : static_cast<std::uint32_t>(data.bytes.size()));
    put32(out, data.zip64() ? max_32 : static_cast<std::uint32_t>(data.size));
    put16(out, static_cast<std::uint32_t>(name.size()));
    put16(out, static_cast<std::uint32_t>(extra.size()));
}

void put_local_header(std::string& out, const ZipEntry& entry, const Recorded& data) {
    const std::string extra = zip64_extra(data);
    put32(out, 0x04034b50);
    put_common(out, data, data.flags | name_flags(entry), entry.name, extra);
    out += entry.name + extra;
}

void put_central_record(std::string& out, const ZipEntry& entry, const Recorded& data,
                        std::uint32_t offset) {
    const std::string extra = zip64_extra(data);
    put32(out, 0x02014b50);
    put16(out, static_cast<std::uint32_t>(entry.host) << 8 | format_version);
    put_common(out, data, data.flags | name_flags(entry), entry.name, extra);
    put16(out, 0);  // comment length
    put16(out, 0);  // disk
    put16(out, 0);  // internal attributes
    put32(out, entry.attributes);
    put32(out, offset);
    out += entry.name + extra;
}

void put_end_record(std::string& out, std::size_t entries, std::size_t directory_start) {
    const std::size_t directory_size = out.size() - directory_start;
    put32(out, 0x06054b50);
    put16(out, 0);  // disk
    put16(out, 0);  // disk of the central directory
    put16(out, static_cast<std::uint32_t>(entries));
    put16(out, static_cast<std::uint32_t>(entries));
    put32(out, static_cast<std::uint32_t>(directory_size));
    put32(out, static_cast<std::uint32_t>(directory_start));
    put16(out, 0);  // comment length
}

}  // namespace

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
    std::vector<std::uint32_t> offsets;
    for (const ZipEntry& entry : entries) {
        if (entry.shares_data_of) {
            Recorded shared = recorded.at(*entry.shares_data_of);
            recorded.push_back(std::move(shared));
            offsets.push_back(offsets.at(*entry.shares_data_of));
            continue;
        }
        recorded.push_back(record(entry));
        offsets.push_back(static_cast<std::uint32_t>(out.size()));
        put_local_header(out, entry, recorded.back());
        out += recorded.back().bytes;
    }
    const std::size_t directory_start = out.size();
    for (std::size_t i = 0; i < entries.size(); ++i) {
        put_central_record(out, entries[i], recorded[i], offsets[i]);
    }
    put_end_record(out, entries.size(), directory_start);
    return out;
}

void write_zip(const std::filesystem::path& path, const std::vector<ZipEntry>& entries) {
    write_file(path, build_zip(entries));
}

}  // namespace support
