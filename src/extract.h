#pragma once

#include <zip.h>

#include <cstddef>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "entry_data.h"
#include "files.h"

// Asked between entries and between the pieces of an entry's data; true ends the extraction at
// once, with nothing logged.
using StopCheck = std::function<bool()>;

// Takes part in an extraction: decides which entries are left out and sees each file's data as
// it is written (a delta's whole files, hashed and compared with its manifest). An extraction
// with a watcher logs only its failures, and reports no progress phase of its own.
class ExtractionWatcher {
  public:
    virtual ~ExtractionWatcher() = default;
    // True for an entry to leave out, by its name with `/` as separator.
    [[nodiscard]] virtual bool skips(const std::string& name) = 0;
    // Before the data of the file entry `name`: false refuses it, logged by the watcher.
    [[nodiscard]] virtual bool begin_file(const std::string& name) = 0;
    virtual void add_data(const char* data, std::size_t size) = 0;
    // After the file's data: false refuses it, logged by the watcher.
    [[nodiscard]] virtual bool end_file() = 0;
};

// Unpacks every entry of the zip archive held open in `package` into dest_dir, stopping at the
// first entry that fails, or when `stop_requested` says so; `path`, where it was opened from,
// names it in the log. True when every entry was written. A package whose opening failed fails
// as one that can't be opened.
[[nodiscard]] bool extract_zip(const ReadOnlyFile& package, const std::filesystem::path& path,
                               const std::filesystem::path& dest_dir,
                               const StopCheck& stop_requested = {},
                               ExtractionWatcher* watcher = nullptr);

// An open archive, and a reference of our own to the source it reads, through which the raw
// records are read as well. The archive goes first; the source lives until both are done.
struct OpenArchive {
    ZipSourceReference source;
    ZipArchive archive;
};

// Opens the archive; when the zip library refused it, `refusal` is its reason. A file that never
// reached the library (not open) has none.
OpenArchive open_archive(const ReadOnlyFile& file, std::string& refusal);

// extract_zip for the package at `package`, opened for the extraction alone.
[[nodiscard]] bool extract_zip(const std::filesystem::path& package,
                               const std::filesystem::path& dest_dir);

void report_unopenable_package(const std::string& package_text);

// Platform pieces of extraction.

// The permission bits the system takes away from every file it creates (the umask); none on
// Windows. Read once per run: on Linux reading it takes two system calls.
unsigned file_creation_mask();
