#include "entry_data.h"

#include <isa-l/crc.h>
#include <isa-l/igzip_lib.h>

#include <algorithm>

namespace {

// Compressed data read from the archive at a time. Each read inflates to a few times as much, so
// a smaller buffer than the output's keeps the inflater busy as well and costs less memory.
constexpr std::size_t compressed_piece = UPDATER_SMALL_BUFFERS ? 1024 : 64 * 1024;

struct FileCloser {
    void operator()(zip_file_t* file) const { zip_fclose(file); }
};
using File = std::unique_ptr<zip_file_t, FileCloser>;

// A window of `length` bytes of a stored entry's data from `start`, opened for reading. libzip
// passes a window that is less than the whole entry on as the archive holds it; opened whole, a
// stored entry would go through libzip's own CRC-32 pass (zlib's) on top of the one made here.
ZipSourceReference open_stored_window(zip_t* archive, zip_uint64_t index, zip_uint64_t start,
                                      zip_uint64_t length) {
    ZipSourceReference source(
        zip_source_zip(archive, archive, index, 0, start, static_cast<zip_int64_t>(length)));
    if (!source || zip_source_open(source.get()) != 0) {
        return nullptr;
    }
    return source;
}

[[nodiscard]] bool has_recorded_size_and_crc(const zip_stat_t& stat) {
    return (stat.valid & ZIP_STAT_SIZE) != 0 && (stat.valid & ZIP_STAT_CRC) != 0 &&
           (stat.valid & ZIP_STAT_COMP_SIZE) != 0;
}

}  // namespace

std::uint32_t update_crc32(std::uint32_t crc, const char* data, std::size_t size) {
    return crc32_gzip_refl(crc, reinterpret_cast<const unsigned char*>(data), size);
}

struct EntryReader::Inflater {
    inflate_state state;
};

EntryReader::EntryReader(zip_t* archive, std::size_t piece)
    : archive_(archive),
      input_(compressed_piece),
      output_(piece),
      inflater_(std::make_unique<Inflater>()) {}

EntryReader::~EntryReader() = default;

bool EntryReader::read(zip_uint64_t index, const zip_stat_t& stat, const EntrySink& sink) {
    const bool encrypted =
        (stat.valid & ZIP_STAT_ENCRYPTION_METHOD) != 0 && stat.encryption_method != ZIP_EM_NONE;
    if (!has_recorded_size_and_crc(stat) || (stat.valid & ZIP_STAT_COMP_METHOD) == 0 || encrypted) {
        return false;
    }
    // An entry without data bytes is empty whatever its method, as libzip reads it.
    if (stat.comp_size == 0) {
        return stat.size == 0 && stat.crc == 0;
    }
    switch (stat.comp_method) {
        case ZIP_CM_STORE:
            return read_stored(index, stat, sink);
        case ZIP_CM_DEFLATE:
            return read_deflated(index, stat, sink);
        default:
            return false;
    }
}

// Stored data is the entry itself, so the archive must hold exactly the recorded size of it. It
// is read through two windows, all but the last byte and that byte (see open_stored_window); a
// single byte can only be opened whole.
bool EntryReader::read_stored(zip_uint64_t index, const zip_stat_t& stat, const EntrySink& sink) {
    if (stat.comp_size != stat.size) {
        return false;
    }
    const zip_uint64_t head = stat.size > 1 ? stat.size - 1 : stat.size;
    std::uint32_t crc = 0;
    if (!copy_stored_window(index, 0, head, crc, sink) ||
        !copy_stored_window(index, head, stat.size - head, crc, sink)) {
        return false;
    }
    return crc == stat.crc;
}

bool EntryReader::copy_stored_window(zip_uint64_t index, zip_uint64_t start, zip_uint64_t length,
                                     std::uint32_t& crc, const EntrySink& sink) {
    if (length == 0) {
        return true;
    }
    const ZipSourceReference source = open_stored_window(archive_, index, start, length);
    if (!source) {
        return false;
    }
    for (zip_uint64_t done = 0; done < length;) {
        const zip_uint64_t want = std::min<zip_uint64_t>(length - done, output_.size());
        const zip_int64_t n = zip_source_read(source.get(), output_.data(), want);
        if (n < 0 || static_cast<zip_uint64_t>(n) != want) {
            return false;
        }
        crc = update_crc32(crc, output_.data(), want);
        if (!sink(output_.data(), want)) {
            return false;
        }
        done += want;
    }
    return true;
}

// Inflates the entry's compressed data as it is read, computing the CRC-32 of the output on the
// way (ISAL_GZIP_NO_HDR: zip's CRC is gzip's, and no header or trailer is read). The output is
// handed over when the buffer is full or the stream has ended, so an entry smaller than the
// buffer is written in one call however many reads its compressed data takes. The stream must
// end having produced exactly the recorded size; compressed bytes after the stream's end are not
// read, as libzip does not read them either.
bool EntryReader::read_deflated(zip_uint64_t index, const zip_stat_t& stat, const EntrySink& sink) {
    inflate_state& state = inflater_->state;
    isal_inflate_init(&state);
    state.crc_flag = ISAL_GZIP_NO_HDR;
    const File file(zip_fopen_index(archive_, index, ZIP_FL_COMPRESSED));
    if (!file) {
        return false;
    }
    zip_uint64_t produced = 0;
    std::size_t filled = 0;  // bytes of output_ not handed over yet
    bool input_ended = false;
    for (;;) {
        if (state.avail_in == 0 && !input_ended) {
            const zip_int64_t n = zip_fread(file.get(), input_.data(), input_.size());
            if (n < 0) {
                return false;
            }
            input_ended = n == 0;
            state.next_in = reinterpret_cast<std::uint8_t*>(input_.data());
            state.avail_in = static_cast<std::uint32_t>(n);
        }
        state.next_out = reinterpret_cast<std::uint8_t*>(output_.data() + filled);
        state.avail_out = static_cast<std::uint32_t>(output_.size() - filled);
        const int status = isal_inflate(&state);
        const std::size_t got = output_.size() - filled - state.avail_out;
        if (status != ISAL_DECOMP_OK) {
            return false;  // not a valid deflate stream
        }
        produced += got;
        filled += got;
        if (produced > stat.size) {
            return false;
        }
        const bool finished = state.block_state == ISAL_BLOCK_FINISH;
        if ((finished || filled == output_.size()) && filled > 0) {
            if (!sink(output_.data(), filled)) {
                return false;
            }
            filled = 0;
        }
        if (finished) {
            return produced == stat.size && state.crc == stat.crc;
        }
        if (input_ended && state.avail_in == 0 && got == 0) {
            return false;  // the compressed data ended inside the stream
        }
    }
}
