#include "extract_source.h"

#include <algorithm>
#include <cstring>
#include <vector>

namespace {

// Bytes read from the package per system call (a few KiB in the fuzzing build).
constexpr std::size_t read_piece = UPDATER_SMALL_BUFFERS ? 4 * 1024 : 1 << 20;

// One open package with the piece of it read last. libzip reads in pieces of a few KiB and
// seeks before each one; both are served from the buffer.
class BufferedArchive {
  public:
    explicit BufferedArchive(const ReadOnlyFile& file) : file_(file), buffer_(read_piece) {
        zip_error_init(&error_);
    }
    ~BufferedArchive() { zip_error_fini(&error_); }
    BufferedArchive(const BufferedArchive&) = delete;
    BufferedArchive& operator=(const BufferedArchive&) = delete;

    const ReadOnlyFile& file() const { return file_; }
    zip_error_t* error() { return &error_; }
    std::uint64_t offset() const { return offset_; }
    void set_offset(std::uint64_t offset) { offset_ = offset; }

    // Copies up to `length` bytes from the current offset; fewer only at the file's end.
    zip_int64_t read(char* data, zip_uint64_t length) {
        zip_uint64_t copied = 0;
        while (copied < length && offset_ < file_.size()) {
            if (!holds(offset_)) {
                if (const NativeError error = fill_at(offset_); error.failed()) {
                    zip_error_set(&error_, ZIP_ER_READ, static_cast<int>(error.code()));
                    return -1;
                }
                if (buffered_ == 0) {
                    break;  // the file is shorter now than when it was opened
                }
            }
            const std::size_t from = static_cast<std::size_t>(offset_ - buffer_start_);
            const std::size_t n =
                static_cast<std::size_t>(std::min<zip_uint64_t>(length - copied, buffered_ - from));
            std::memcpy(data + copied, buffer_.data() + from, n);
            copied += n;
            offset_ += n;
        }
        return static_cast<zip_int64_t>(copied);
    }

  private:
    [[nodiscard]] bool holds(std::uint64_t offset) const {
        return offset >= buffer_start_ && offset - buffer_start_ < buffered_;
    }

    // Reads the piece of the file that starts at `offset`.
    NativeError fill_at(std::uint64_t offset) {
        buffer_start_ = offset;
        buffered_ = 0;
        const std::size_t wanted = static_cast<std::size_t>(
            std::min<std::uint64_t>(buffer_.size(), file_.size() - offset));
        while (buffered_ < wanted) {
            std::size_t got = 0;
            if (const NativeError error = file_.read_at(
                    offset + buffered_, buffer_.data() + buffered_, wanted - buffered_, got);
                error.failed()) {
                buffered_ = 0;
                return error;
            }
            if (got == 0) {
                break;
            }
            buffered_ += got;
        }
        return {};
    }

    const ReadOnlyFile& file_;
    std::uint64_t offset_ = 0;  // where the next read starts
    std::vector<char> buffer_;
    std::uint64_t buffer_start_ = 0;  // the file offset of buffer_[0]
    std::size_t buffered_ = 0;        // bytes of buffer_ holding file data
    zip_error_t error_;
};

zip_int64_t stat_archive(BufferedArchive& archive, void* data, zip_uint64_t length) {
    if (length < sizeof(zip_stat_t)) {
        zip_error_set(archive.error(), ZIP_ER_INVAL, 0);
        return -1;
    }
    zip_stat_t* stat = static_cast<zip_stat_t*>(data);
    zip_stat_init(stat);
    stat->size = archive.file().size();
    stat->valid |= ZIP_STAT_SIZE;
    return sizeof(zip_stat_t);
}

zip_int64_t seek_archive(BufferedArchive& archive, void* data, zip_uint64_t length) {
    const zip_int64_t offset = zip_source_seek_compute_offset(
        archive.offset(), archive.file().size(), data, length, archive.error());
    if (offset < 0) {
        return -1;
    }
    archive.set_offset(static_cast<std::uint64_t>(offset));
    return 0;
}

zip_int64_t archive_callback(void* state, void* data, zip_uint64_t length,
                             zip_source_cmd_t command) {
    BufferedArchive& archive = *static_cast<BufferedArchive*>(state);
    switch (command) {
        case ZIP_SOURCE_SUPPORTS:
            return zip_source_make_command_bitmap(
                ZIP_SOURCE_OPEN, ZIP_SOURCE_READ, ZIP_SOURCE_CLOSE, ZIP_SOURCE_STAT,
                ZIP_SOURCE_ERROR, ZIP_SOURCE_FREE, ZIP_SOURCE_SEEK, ZIP_SOURCE_TELL,
                ZIP_SOURCE_SUPPORTS, ZIP_SOURCE_ACCEPT_EMPTY, -1);
        case ZIP_SOURCE_OPEN:
            archive.set_offset(0);
            return 0;
        case ZIP_SOURCE_READ:
            return archive.read(static_cast<char*>(data), length);
        case ZIP_SOURCE_CLOSE:
            return 0;
        case ZIP_SOURCE_STAT:
            return stat_archive(archive, data, length);
        case ZIP_SOURCE_SEEK:
            return seek_archive(archive, data, length);
        case ZIP_SOURCE_TELL:
            return static_cast<zip_int64_t>(archive.offset());
        case ZIP_SOURCE_ACCEPT_EMPTY:
            // An empty package is a broken download, not an application without files.
            return 0;
        case ZIP_SOURCE_ERROR:
            return zip_error_to_data(archive.error(), data, length);
        case ZIP_SOURCE_FREE:
            std::unique_ptr<BufferedArchive>{&archive}.reset();
            return 0;
        default:
            zip_error_set(archive.error(), ZIP_ER_OPNOTSUPP, 0);
            return -1;
    }
}

}  // namespace

zip_source_t* archive_source(const ReadOnlyFile& file, zip_error_t* error) {
    if (!file.is_open()) {
        zip_error_set(error, ZIP_ER_OPEN, 0);
        return nullptr;
    }
    auto archive = std::make_unique<BufferedArchive>(file);
    zip_source_t* source = zip_source_function_create(archive_callback, archive.get(), error);
    if (source != nullptr) {
        static_cast<void>(archive.release());  // the source frees it through ZIP_SOURCE_FREE
    }
    return source;
}
