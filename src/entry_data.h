#pragma once

#include <zip.h>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

// Owners of the zip library's archive and source objects.
struct ZipDiscard {
    void operator()(zip_t* archive) const { zip_discard(archive); }
};
using ZipArchive = std::unique_ptr<zip_t, ZipDiscard>;

struct ZipSourceFree {
    void operator()(zip_source_t* source) const { zip_source_free(source); }
};
using ZipSourceReference = std::unique_ptr<zip_source_t, ZipSourceFree>;

// Reading the data of an archive's entries. libzip hands over each entry's bytes as the archive
// holds them; deflated data is inflated here with ISA-L, and every entry's CRC-32 is computed with
// ISA-L's carry-less multiply version. Both are several times faster than zlib's, which libzip
// uses. The rules are those libzip applies when it inflates and checks an entry itself: the data
// must come to exactly the recorded size, a deflate stream must be complete, and the CRC-32 must
// match.

// Receives an entry's data piece by piece, in order; false stops the reading.
using EntrySink = std::function<bool(const char* data, std::size_t size)>;

// The CRC-32 (as zip records it) of `size` more bytes after `crc`, the CRC of what came before
// them (0 for none).
[[nodiscard]] std::uint32_t update_crc32(std::uint32_t crc, const char* data, std::size_t size);

// Reads entries of one archive, one at a time, reusing its buffers and inflate state.
class EntryReader {
  public:
    // `piece` is the largest amount handed to a sink at once.
    EntryReader(zip_t* archive, std::size_t piece);
    ~EntryReader();
    EntryReader(const EntryReader&) = delete;
    EntryReader& operator=(const EntryReader&) = delete;

    // Streams the data of the stored or deflated entry `index` (`stat` from zip_stat_index) to
    // `sink`. False, possibly after some of the data was handed over, when the data can't be read,
    // is no valid deflate stream, is shorter or longer than the recorded size, or fails its
    // CRC-32, or when sink returns false. Nothing past the recorded size is ever handed over.
    [[nodiscard]] bool read(zip_uint64_t index, const zip_stat_t& stat, const EntrySink& sink);

  private:
    struct Inflater;  // ISA-L's inflate state

    [[nodiscard]] bool read_stored(zip_uint64_t index, const zip_stat_t& stat,
                                   const EntrySink& sink);
    // Hands `length` bytes of the stored entry from `start` to sink, adding them to `crc`.
    [[nodiscard]] bool copy_stored_window(zip_uint64_t index, zip_uint64_t start,
                                          zip_uint64_t length, std::uint32_t& crc,
                                          const EntrySink& sink);
    [[nodiscard]] bool read_deflated(zip_uint64_t index, const zip_stat_t& stat,
                                     const EntrySink& sink);

    zip_t* archive_;
    std::vector<char> input_;   // compressed data read from the archive
    std::vector<char> output_;  // inflated data, or stored data as read
    std::unique_ptr<Inflater> inflater_;
};
