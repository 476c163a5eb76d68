#include "zip_writer.h"

#include <spdlog/spdlog.h>
#include <zlib.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstring>
#include <functional>
#include <limits>
#include <memory>
#include <mutex>
#include <thread>
#include <utility>

#include "digest.h"
#include "entry_data.h"
#include "files.h"
#include "signature.h"
#include "text.h"

namespace fs = std::filesystem;

namespace {

// zlib's level 3: on text about a fifth larger than zip's default level 6 takes, at a third of
// its time; with both cores deflating, a package is packed in well under half of zip's time.
// ISA-L, faster still, makes packages a tenth larger than zip's.
constexpr int deflate_level = 3;
// Files up to this size are read and deflated whole in memory, on a worker thread; larger ones are
// deflated piece by piece twice, once to learn their compressed size and once as they are written,
// so that memory stays bounded and a local header never has to be written again.
constexpr std::size_t whole_file_limit = 8 * 1024 * 1024;
constexpr std::size_t piece_size = 1024 * 1024;
// The output is written in pieces of at least this size.
constexpr std::size_t output_buffer = 1024 * 1024;

constexpr std::uint16_t method_stored = 0;
constexpr std::uint16_t method_deflated = 8;
constexpr std::uint16_t utf8_name_flag = 1 << 11;
// Made by Unix (3), format version 6.3: the external attributes hold Unix modes.
constexpr std::uint16_t version_made_by = (3 << 8) | 63;
constexpr std::uint16_t version_needed = 20;
constexpr std::uint16_t version_needed_zip64 = 45;
constexpr std::uint32_t max32 = 0xFFFFFFFF;
constexpr std::uint16_t max16 = 0xFFFF;
constexpr unsigned unix_regular_file = 0100000;
constexpr unsigned unix_directory = 040000;
constexpr unsigned directory_mode = 0755;
constexpr std::uint32_t dos_directory_attribute = 0x10;

// Little-endian fields appended to a record.
struct Record {
    std::string bytes;
    void u16(std::uint64_t value) { put(value, 2); }
    void u32(std::uint64_t value) { put(value, 4); }
    void u64(std::uint64_t value) { put(value, 8); }
    void put(std::uint64_t value, int size) {
        for (int i = 0; i < size; ++i) {
            bytes += static_cast<char>((value >> (8 * i)) & 0xFF);
        }
    }
};

// The days since 1970-01-01 as a proleptic Gregorian date (Howard Hinnant's civil_from_days).
struct Civil {
    std::int64_t year;
    unsigned month;
    unsigned day;
};
Civil civil_from_days(std::int64_t days) {
    days += 719468;
    const std::int64_t era = (days >= 0 ? days : days - 146096) / 146097;
    const auto day_of_era = static_cast<unsigned>(days - era * 146097);
    const unsigned year_of_era =
        (day_of_era - day_of_era / 1460 + day_of_era / 36524 - day_of_era / 146096) / 365;
    const unsigned day_of_year =
        day_of_era - (365 * year_of_era + year_of_era / 4 - year_of_era / 100);
    const unsigned shifted_month = (5 * day_of_year + 2) / 153;
    const unsigned day = day_of_year - (153 * shifted_month + 2) / 5 + 1;
    const unsigned month = shifted_month < 10 ? shifted_month + 3 : shifted_month - 9;
    return {static_cast<std::int64_t>(year_of_era) + era * 400 + (month <= 2 ? 1 : 0), month, day};
}

// What a worker learnt of one entry's data.
struct EntryData {
    std::uint16_t method = method_stored;
    std::uint32_t crc = 0;
    std::uint64_t size = 0;
    std::uint64_t compressed_size = 0;
    // A whole file: its bytes as the entry holds them. Empty for a file deflated piece by piece.
    std::vector<char> bytes;
    bool whole = true;
    // Why the entry can't be written; empty when it can.
    std::string failure;
};

// zlib's raw deflate, at the fixed level and settings, so that the same bytes always deflate
// the same way.
class Deflater {
  public:
    Deflater() = default;
    ~Deflater() { end(); }
    Deflater(const Deflater&) = delete;
    Deflater& operator=(const Deflater&) = delete;

    // Deflates `input` whole into `output`; false when the result would not be smaller.
    bool deflate_whole(const std::vector<char>& input, std::vector<char>& output) {
        if (input.empty() || !begin()) {
            return false;
        }
        output.resize(deflateBound(&stream_, static_cast<uLong>(input.size())));
        stream_.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(input.data()));
        stream_.avail_in = static_cast<uInt>(input.size());
        stream_.next_out = reinterpret_cast<Bytef*>(output.data());
        stream_.avail_out = static_cast<uInt>(output.size());
        const bool ended = deflate(&stream_, Z_FINISH) == Z_STREAM_END;
        const std::size_t produced = stream_.total_out;
        end();
        if (!ended || produced >= input.size()) {
            return false;
        }
        output.resize(produced);
        return true;
    }

    void start() { started_ = begin(); }

    // Deflates the next piece; the last one ends the stream. Each piece of output goes to `out`.
    bool feed(const char* data, std::size_t size, bool last,
              const std::function<bool(const char*, std::size_t)>& out) {
        if (!started_) {
            return false;
        }
        stream_.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data));
        stream_.avail_in = static_cast<uInt>(size);
        output_.resize(piece_size);
        int result = Z_OK;
        do {
            stream_.next_out = reinterpret_cast<Bytef*>(output_.data());
            stream_.avail_out = static_cast<uInt>(output_.size());
            result = deflate(&stream_, last ? Z_FINISH : Z_NO_FLUSH);
            if (result == Z_STREAM_ERROR) {
                end();
                return false;
            }
            const std::size_t produced = output_.size() - stream_.avail_out;
            if (produced > 0 && !out(output_.data(), produced)) {
                end();
                return false;
            }
        } while (stream_.avail_in > 0 || stream_.avail_out == 0 ||
                 (last && result != Z_STREAM_END));
        if (last) {
            end();
        }
        return true;
    }

  private:
    bool begin() {
        end();
        stream_ = z_stream{};
        open_ = deflateInit2(&stream_, deflate_level, Z_DEFLATED, -MAX_WBITS, 8,
                             Z_DEFAULT_STRATEGY) == Z_OK;
        return open_;
    }
    void end() {
        if (open_) {
            deflateEnd(&stream_);
            open_ = false;
        }
        started_ = false;
    }

    z_stream stream_{};
    bool open_ = false;
    bool started_ = false;
    std::vector<char> output_;
};

std::string changed_while_read(const fs::path& path) {
    return "File changed while it was packed: " + path_text(path);
}

std::string unreadable(const fs::path& path, NativeError error) {
    return "Failed to read " + path_text(path) + ": " + error_text(error);
}

// Fills `data` from `offset` as far as the file goes; the count read, or the error.
NativeError read_fully(const ReadOnlyFile& file, std::uint64_t offset, char* data, std::size_t size,
                       std::size_t& filled) {
    filled = 0;
    while (filled < size) {
        std::size_t got = 0;
        if (const NativeError error =
                file.read_at(offset + filled, data + filled, size - filled, got);
            error.failed()) {
            return error;
        }
        if (got == 0) {
            break;
        }
        filled += got;
    }
    return {};
}

// Reads the file at `path` piece by piece, exactly `size` bytes; `piece` gets each one and whether
// it is the last. Sets `failure` when the file can't be read or holds more or fewer bytes.
bool read_pieces(const fs::path& path, std::uint64_t size,
                 const std::function<bool(const char*, std::size_t, bool)>& piece,
                 std::string& failure) {
    ReadOnlyFile file;
    if (const NativeError error = file.open(path, ReadSharing::others_may_only_read);
        error.failed()) {
        failure = unreadable(path, error);
        return false;
    }
    if (file.size() != size) {
        failure = changed_while_read(path);
        return false;
    }
    std::vector<char> buffer(piece_size);
    std::uint64_t offset = 0;
    for (;;) {
        const std::size_t want =
            static_cast<std::size_t>(std::min<std::uint64_t>(piece_size, size - offset));
        std::size_t filled = 0;
        if (const NativeError error = read_fully(file, offset, buffer.data(), want, filled);
            error.failed()) {
            failure = unreadable(path, error);
            return false;
        }
        if (filled < want) {
            failure = changed_while_read(path);
            return false;
        }
        offset += filled;
        const bool last = offset == size;
        if (last) {
            // Whatever follows the size the file had when it was opened was added meanwhile.
            char extra = 0;
            std::size_t more = 0;
            if (read_fully(file, offset, &extra, 1, more).failed() || more > 0) {
                failure = changed_while_read(path);
                return false;
            }
        }
        if (!piece(buffer.data(), filled, last)) {
            return false;
        }
        if (last) {
            return true;
        }
    }
}

// The first pass over a file: its CRC-32 and how large it deflates to, or its whole data.
EntryData prepare_entry(const PackItem& item, Deflater& deflater) {
    EntryData data;
    if (item.directory) {
        return data;
    }
    const std::optional<std::uint64_t> size = regular_file_size(item.source);
    if (!size) {
        data.failure = "Failed to read " + path_text(item.source) + ": not a regular file";
        return data;
    }
    data.size = *size;
    data.whole = *size <= whole_file_limit;
    if (data.whole) {
        std::vector<char> input;
        input.reserve(static_cast<std::size_t>(*size));
        if (!read_pieces(
                item.source, *size,
                [&input](const char* piece, std::size_t length, bool) {
                    input.insert(input.end(), piece, piece + length);
                    return true;
                },
                data.failure)) {
            return data;
        }
        data.crc = update_crc32(0, input.data(), input.size());
        std::vector<char> deflated;
        if (!item.store && deflater.deflate_whole(input, deflated)) {
            data.method = method_deflated;
            data.bytes = std::move(deflated);
        } else {
            data.bytes = std::move(input);
        }
        data.compressed_size = data.bytes.size();
        return data;
    }
    std::uint64_t deflated = 0;
    deflater.start();
    const bool read = read_pieces(
        item.source, *size,
        [&](const char* piece, std::size_t length, bool last) {
            data.crc = update_crc32(data.crc, piece, length);
            return item.store ||
                   deflater.feed(piece, length, last, [&deflated](const char*, std::size_t n) {
                       deflated += n;
                       return true;
                   });
        },
        data.failure);
    if (read) {
        data.method = !item.store && deflated < *size ? method_deflated : method_stored;
        data.compressed_size = data.method == method_deflated ? deflated : *size;
    } else if (data.failure.empty()) {
        data.failure = "Failed to deflate " + path_text(item.source);
    }
    return data;
}

// Workers prepare entries ahead of the writer, in any order among themselves; the writer takes
// them in order. A worker starts an entry only within `window` entries of the one the writer
// waits for, so that memory stays bounded.
class Preparation {
  public:
    explicit Preparation(const std::vector<PackItem>& items) : items_(items), ready_(items.size()) {
        const unsigned cores = std::max(1U, std::thread::hardware_concurrency());
        const unsigned count = std::min(cores, 4U);
        window_ = 2 * count + 2;
        for (unsigned i = 0; i < count; ++i) {
            workers_.emplace_back([this] { work(); });
        }
    }
    ~Preparation() {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            stopping_ = true;
        }
        changed_.notify_all();
        for (std::thread& worker : workers_) {
            worker.join();
        }
    }
    Preparation(const Preparation&) = delete;
    Preparation& operator=(const Preparation&) = delete;

    EntryData take(std::size_t index) {
        std::unique_lock<std::mutex> lock(mutex_);
        changed_.wait(lock, [&] { return ready_[index].has_value(); });
        EntryData data = std::move(*ready_[index]);
        ready_[index].reset();
        taken_ = index + 1;
        changed_.notify_all();
        return data;
    }

  private:
    void work() {
        Deflater deflater;
        for (;;) {
            std::size_t index = 0;
            {
                std::unique_lock<std::mutex> lock(mutex_);
                changed_.wait(lock, [&] {
                    return stopping_ || next_ >= items_.size() || next_ < taken_ + window_;
                });
                if (stopping_ || next_ >= items_.size()) {
                    return;
                }
                index = next_++;
            }
            EntryData data = prepare_entry(items_[index], deflater);
            {
                std::lock_guard<std::mutex> lock(mutex_);
                ready_[index] = std::move(data);
            }
            changed_.notify_all();
        }
    }

    const std::vector<PackItem>& items_;
    std::vector<std::optional<EntryData>> ready_;
    std::size_t next_ = 0;
    std::size_t taken_ = 0;
    std::size_t window_ = 0;
    bool stopping_ = false;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<std::thread> workers_;
};

// The zip file as it is written, with its digests and its offset.
class Output {
  public:
    explicit Output(const fs::path& path) : path_(path), file_(path, WriteMode::replace) {
        buffer_.reserve(output_buffer);
    }

    [[nodiscard]] bool opened() const {
        if (file_.error().failed()) {
            spdlog::error("Failed to create {}: {}", path_text(path_), error_text(file_.error()));
            return false;
        }
        return sha256_.ready() && blake2b_.ready();
    }
    [[nodiscard]] std::uint64_t offset() const { return offset_; }

    [[nodiscard]] bool write(const char* data, std::size_t size) {
        offset_ += size;
        buffer_.insert(buffer_.end(), data, data + size);
        return buffer_.size() < output_buffer || flush();
    }
    [[nodiscard]] bool write(const std::string& bytes) { return write(bytes.data(), bytes.size()); }

    [[nodiscard]] bool finish(WrittenZip& written) {
        if (!flush()) {
            return false;
        }
        if (const NativeError error = file_.close(); error.failed()) {
            spdlog::error("Failed to write {}: {}", path_text(path_), error_text(error));
            return false;
        }
        const std::optional<std::vector<unsigned char>> sha256 = sha256_.finish();
        if (!sha256) {
            return false;
        }
        written.size = offset_;
        written.sha256 = *sha256;
        written.blake2b512 = blake2b_.finish();
        return true;
    }

  private:
    [[nodiscard]] bool flush() {
        const auto* bytes = reinterpret_cast<const unsigned char*>(buffer_.data());
        if (!sha256_.update(bytes, buffer_.size()) || !blake2b_.update(bytes, buffer_.size())) {
            return false;
        }
        if (const NativeError error = file_.write(buffer_.data(), buffer_.size()); error.failed()) {
            spdlog::error("Failed to write {}: {}", path_text(path_), error_text(error));
            return false;
        }
        buffer_.clear();
        return true;
    }

    fs::path path_;
    WrittenFile file_;
    Sha256 sha256_;
    Blake2b512 blake2b_;
    std::vector<char> buffer_;
    std::uint64_t offset_ = 0;
};

// What the central directory records of one written entry.
struct CentralEntry {
    const PackItem* item;
    std::uint16_t method;
    std::uint32_t crc;
    std::uint64_t size;
    std::uint64_t compressed_size;
    std::uint64_t offset;
};

bool is_ascii(const std::string& text) {
    return std::all_of(text.begin(), text.end(),
                       [](char c) { return static_cast<unsigned char>(c) < 0x80; });
}

bool needs_zip64_sizes(const CentralEntry& entry) {
    return entry.size >= max32 || entry.compressed_size >= max32;
}

// The fields local headers and central records share, from the version needed on.
void common_fields(Record& record, const CentralEntry& entry, DosTime time, bool zip64) {
    record.u16(zip64 ? version_needed_zip64 : version_needed);
    record.u16(is_ascii(entry.item->name) ? 0 : utf8_name_flag);
    record.u16(entry.method);
    record.u16(time.time);
    record.u16(time.date);
    record.u32(entry.crc);
}

std::string local_header(const CentralEntry& entry, DosTime time) {
    const bool zip64 = needs_zip64_sizes(entry);
    Record record;
    record.u32(0x04034b50);
    common_fields(record, entry, time, zip64);
    record.u32(zip64 ? max32 : entry.compressed_size);
    record.u32(zip64 ? max32 : entry.size);
    record.u16(entry.item->name.size());
    record.u16(zip64 ? 20 : 0);
    record.bytes += entry.item->name;
    if (zip64) {
        record.u16(0x0001);
        record.u16(16);
        record.u64(entry.size);
        record.u64(entry.compressed_size);
    }
    return record.bytes;
}

std::uint32_t external_attributes(const PackItem& item) {
    if (item.directory) {
        return ((unix_directory | directory_mode) << 16) | dos_directory_attribute;
    }
    return (unix_regular_file | (item.mode & 0777)) << 16;
}

std::string central_record(const CentralEntry& entry, DosTime time) {
    const bool zip64_sizes = needs_zip64_sizes(entry);
    const bool zip64_offset = entry.offset >= max32;
    Record extra;
    if (zip64_sizes) {
        extra.u64(entry.size);
        extra.u64(entry.compressed_size);
    }
    if (zip64_offset) {
        extra.u64(entry.offset);
    }
    Record record;
    record.u32(0x02014b50);
    record.u16(version_made_by);
    common_fields(record, entry, time, zip64_sizes || zip64_offset);
    record.u32(zip64_sizes ? max32 : entry.compressed_size);
    record.u32(zip64_sizes ? max32 : entry.size);
    record.u16(entry.item->name.size());
    record.u16(extra.bytes.empty() ? 0 : 4 + extra.bytes.size());
    record.u16(0);  // comment
    record.u16(0);  // disk
    record.u16(0);  // internal attributes
    record.u32(external_attributes(*entry.item));
    record.u32(zip64_offset ? max32 : entry.offset);
    record.bytes += entry.item->name;
    if (!extra.bytes.empty()) {
        record.u16(0x0001);
        record.u16(extra.bytes.size());
        record.bytes += extra.bytes;
    }
    return record.bytes;
}

std::string directory_end(std::uint64_t count, std::uint64_t start, std::uint64_t size) {
    Record record;
    const bool zip64 = count >= max16 || start >= max32 || size >= max32;
    if (zip64) {
        const std::uint64_t zip64_end = start + size;
        record.u32(0x06064b50);
        record.u64(44);
        record.u16(version_made_by);
        record.u16(version_needed_zip64);
        record.u32(0);
        record.u32(0);
        record.u64(count);
        record.u64(count);
        record.u64(size);
        record.u64(start);
        record.u32(0x07064b50);
        record.u32(0);
        record.u64(zip64_end);
        record.u32(1);
    }
    record.u32(0x06054b50);
    record.u16(0);
    record.u16(0);
    record.u16(std::min<std::uint64_t>(count, max16));
    record.u16(std::min<std::uint64_t>(count, max16));
    record.u32(std::min<std::uint64_t>(size, max32));
    record.u32(std::min<std::uint64_t>(start, max32));
    record.u16(0);  // comment
    return record.bytes;
}

// The second pass over a large file: deflated (or stored) again as it is written, and compared
// with what the first pass learnt.
bool write_large_entry(Output& output, const PackItem& item, const EntryData& data,
                       Deflater& deflater) {
    std::uint32_t crc = 0;
    std::uint64_t written = 0;
    std::string failure;
    const auto out = [&](const char* bytes, std::size_t size) {
        written += size;
        return written <= data.compressed_size && output.write(bytes, size);
    };
    deflater.start();
    const bool read = read_pieces(
        item.source, data.size,
        [&](const char* piece, std::size_t length, bool last) {
            crc = update_crc32(crc, piece, length);
            return data.method == method_deflated ? deflater.feed(piece, length, last, out)
                                                  : out(piece, length);
        },
        failure);
    if (!failure.empty()) {
        spdlog::error("{}", failure);
        return false;
    }
    if (!read && written <= data.compressed_size) {
        return false;  // a write failed, logged
    }
    if (!read || crc != data.crc || written != data.compressed_size) {
        spdlog::error("{}", changed_while_read(item.source));
        return false;
    }
    return true;
}

}  // namespace

DosTime earliest_dos_time() {
    return {0, (0 << 9) | (1 << 5) | 1};
}

DosTime dos_time(std::int64_t seconds) {
    constexpr std::int64_t day = 86400;
    const std::int64_t days = seconds >= 0 ? seconds / day : (seconds - day + 1) / day;
    const std::int64_t second_of_day = seconds - days * day;
    const Civil date = civil_from_days(days);
    if (date.year < 1980) {
        return earliest_dos_time();
    }
    if (date.year > 2107) {
        return {(23 << 11) | (59 << 5) | 29, (127 << 9) | (12 << 5) | 31};
    }
    const auto hour = static_cast<unsigned>(second_of_day / 3600);
    const auto minute = static_cast<unsigned>(second_of_day % 3600 / 60);
    const auto second = static_cast<unsigned>(second_of_day % 60);
    return {static_cast<std::uint16_t>((hour << 11) | (minute << 5) | (second / 2)),
            static_cast<std::uint16_t>(((date.year - 1980) << 9) | (date.month << 5) | date.day)};
}

std::uint64_t entry_data_size(const char* data, std::size_t size) {
    Deflater deflater;
    deflater.start();
    std::uint64_t deflated = 0;
    std::size_t offset = 0;
    do {
        const std::size_t length = std::min(size - offset, piece_size);
        offset += length;
        if (!deflater.feed(data + offset - length, length, offset == size,
                           [&deflated](const char*, std::size_t n) {
                               deflated += n;
                               return true;
                           })) {
            return size;
        }
    } while (offset < size);
    return std::min<std::uint64_t>(deflated, size);
}

bool write_zip(const std::vector<PackItem>& items, DosTime time, const fs::path& to,
               WrittenZip& written) {
    Output output(to);
    if (!output.opened()) {
        return false;
    }
    std::vector<CentralEntry> central;
    central.reserve(items.size());
    Deflater deflater;
    std::uint64_t files = 0;
    {
        Preparation preparation(items);
        for (std::size_t index = 0; index < items.size(); ++index) {
            const EntryData data = preparation.take(index);
            if (!data.failure.empty()) {
                spdlog::error("{}", data.failure);
                return false;
            }
            const PackItem& item = items[index];
            const CentralEntry entry{&item,     data.method,          data.crc,
                                     data.size, data.compressed_size, output.offset()};
            if (!output.write(local_header(entry, time))) {
                return false;
            }
            const bool data_written = data.whole
                                          ? output.write(data.bytes.data(), data.bytes.size())
                                          : write_large_entry(output, item, data, deflater);
            if (!data_written) {
                return false;
            }
            files += item.directory ? 0 : 1;
            central.push_back(entry);
        }
    }
    const std::uint64_t directory_start = output.offset();
    for (const CentralEntry& entry : central) {
        if (!output.write(central_record(entry, time))) {
            return false;
        }
    }
    const std::uint64_t directory_size = output.offset() - directory_start;
    if (!output.write(directory_end(central.size(), directory_start, directory_size)) ||
        !output.finish(written)) {
        return false;
    }
    written.files = files;
    return true;
}
