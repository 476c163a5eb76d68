#pragma once

// Zip archives laid out byte by byte, so that a test can record what zip tools on other systems
// write, and what no honest tool writes: any host system, attributes, flags or method id, a CRC
// or size that lies, entries that share one local header.

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace support {

// Host systems of "version made by", which say how the external attributes read.
constexpr std::uint8_t host_dos = 0;
constexpr std::uint8_t host_unix = 3;

// Compression method ids; the builder compresses for deflated only.
constexpr std::uint16_t method_stored = 0;
constexpr std::uint16_t method_deflated = 8;

// External attributes of a Unix host: the mode (type and permission bits) in the upper half.
constexpr std::uint32_t unix_attributes(std::uint32_t mode) {
    return mode << 16;
}

struct ZipEntry {
    std::string name;
    // The content: compressed for method_deflated, written as given for any other method.
    std::string data;
    std::uint8_t host = host_unix;
    std::uint32_t attributes = unix_attributes(0100644);
    std::uint16_t method = method_deflated;
    // General purpose flags (bit 0: encrypted). The UTF-8 flag is added for a name that is not
    // plain ASCII, unless the name is CP437, as zip tools that predate UTF-8 write it.
    std::uint16_t flags = 0;
    bool cp437_name = false;
    // Recorded instead of the data's own: the CRC-32, and the uncompressed size (zip64 from
    // 4 GiB on).
    std::optional<std::uint32_t> crc = std::nullopt;
    std::optional<std::uint64_t> size = std::nullopt;
    // The bytes the archive holds as the entry's data, instead of `data` (compressed for
    // method_deflated): a damaged stream, or one with bytes after its end.
    std::optional<std::string> raw_data = std::nullopt;
    // An earlier entry whose local header and data this entry's central record points at, with
    // that entry's method, flags, CRC and sizes.
    std::optional<std::size_t> shares_data_of = std::nullopt;
    // Recorded in both headers instead of the length of the bytes the archive holds.
    std::optional<std::uint64_t> compressed_size = std::nullopt;
    // Extra fields (id, length and data each) after any zip64 field, in both headers.
    std::string extra = {};

    // What the local header says where it should agree with the central record, when it does
    // not: a header another tool would read differently.
    struct LocalHeader {
        std::optional<std::uint32_t> signature = std::nullopt;
        std::optional<std::string> name = std::nullopt;
        std::optional<std::uint16_t> method = std::nullopt;
        std::optional<std::uint32_t> crc = std::nullopt;
        std::optional<std::uint32_t> compressed_size = std::nullopt;
        std::optional<std::uint32_t> size = std::nullopt;
        std::optional<std::string> extra = std::nullopt;
    };
    LocalHeader local = {};
};

// A directory as Unix zip tools record it, with the DOS directory bit as well.
ZipEntry directory(std::string name);
ZipEntry unix_entry(std::string name, std::string data, std::uint32_t mode);
ZipEntry dos_entry(std::string name, std::string data, std::uint32_t attributes);
// The entry with a recorded CRC-32 that its data does not have, so that reading it fails.
ZipEntry with_wrong_crc(ZipEntry entry);

// An Info-ZIP Unicode path extra field (version 1) giving `utf8_name` for a header whose stored
// name has the CRC-32 `name_crc`.
std::string unicode_path_field(const std::string& utf8_name, std::uint32_t name_crc);
std::uint32_t crc32_of(const std::string& data);

// Data compressed as zip's deflate method holds it (raw deflate, no zlib header).
std::string deflate_raw(const std::string& data);

// The archive of the entries in order, every one modified at the same fixed time years ago.
std::string build_zip(const std::vector<ZipEntry>& entries);
void write_zip(const std::filesystem::path& path, const std::vector<ZipEntry>& entries);

}  // namespace support
