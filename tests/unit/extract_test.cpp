// Unpacking packages: what lands on disk, what is logged, where extraction stops, and which
// entries are refused.
#include <gtest/gtest.h>
#include <zip.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <memory>
#include <random>

#include "app_root.h"
#include "extract.h"
#include "extract_source.h"
#include "files.h"
#include "support.h"
#include "text.h"
#include "zip_builder.h"

using namespace support;

namespace {

// The modification time recorded for entry `index`, as the zip library reads it.
std::time_t stored_mtime(const fs::path& zip, zip_uint64_t index) {
    int error = 0;
    const std::unique_ptr<zip_t, decltype(&zip_discard)> archive(
        zip_open(zip.string().c_str(), ZIP_RDONLY, &error), zip_discard);
    zip_stat_t stat;
    zip_stat_index(archive.get(), index, 0, &stat);
    return stat.mtime;
}

// Bytes no compressor shrinks, the same in every run.
std::string noise(std::size_t size, unsigned seed) {
    std::mt19937 random(seed);
    std::string bytes(size, '\0');
    for (char& byte : bytes) {
        byte = static_cast<char>(random());
    }
    return bytes;
}

std::time_t file_mtime(const fs::path& path) {
    using namespace std::chrono;
    const auto age = fs::last_write_time(path) - fs::file_time_type::clock::now();
    const auto when = system_clock::now() + duration_cast<system_clock::duration>(age);
    return static_cast<std::time_t>(
        std::llround(duration<double>(when.time_since_epoch()).count()));
}

struct Extract : LoggedTest {
    fs::path zip = dir / "package.zip";
    fs::path dest = dir / "dest";

    void SetUp() override { fs::create_directory(dest); }

    bool extract() { return extract_zip(to_narrow(zip), to_narrow(dest)); }
    // Where the entry `name` lands.
    fs::path output_of(const std::string& name) const {
        std::string generic = name;
        std::replace(generic.begin(), generic.end(), '\\', '/');
        return dest / fs::path(generic).lexically_normal();
    }
    std::string counted(size_t n) const { return counted_line(n, to_narrow(zip)); }
    static std::string completed(size_t n) { return completed_line(n); }
};

TEST_F(Extract, EmptyArchiveCreatesNothing) {
    write_file(zip, std::string("PK\x05\x06", 4) + std::string(18, '\0'));
    EXPECT_TRUE(extract());
    EXPECT_EQ(log(), Lines({counted(0), completed(0)}));
    EXPECT_TRUE(fs::is_empty(dest));
}

TEST_F(Extract, WritesEveryEntryCreatingDirectoriesOnDemand) {
    write_zip(zip, {{"a/b/x.txt", "x"},
                    {"top.txt", "top"},
                    directory("empty/"),
                    {"win\\style\\y.txt", "y"},
                    {"dots..in..name", "dots"},
                    {"big.bin", std::string(1 << 20, 'b') + "end"}});
    write_file(dest / "top.txt", "an older and much longer content");
    EXPECT_TRUE(extract());
    EXPECT_EQ(log(), Lines({counted(6), completed(6)}));
    EXPECT_EQ(tree(dest), Files({{"a/b/x.txt", "x"},
                                 {"big.bin", std::string(1 << 20, 'b') + "end"},
                                 {"dots..in..name", "dots"},
                                 {"top.txt", "top"},
                                 {"win/style/y.txt", "y"}}));
    EXPECT_TRUE(fs::is_directory(dest / "empty"));
}

TEST_F(Extract, DirectoryAttributeMakesADirectory) {
    write_zip(zip, {dos_entry("dosdir", "", 0x10)});
    EXPECT_TRUE(extract());
    EXPECT_TRUE(fs::is_directory(dest / "dosdir"));
}

TEST_F(Extract, StopsAtTheFirstEntryThatFailsItsCrc) {
    write_zip(zip, {{"a.txt", "first"},
                    {"b.txt", "second"},
                    with_wrong_crc({"c.txt", "third"}),
                    {"d.txt", "fourth"},
                    {"e.txt", "fifth"}});
    EXPECT_FALSE(extract());
    EXPECT_EQ(log(), Lines({counted(5), "error Failed to extract: c.txt"}));
    EXPECT_EQ(read_file(dest / "a.txt"), "first");
    EXPECT_EQ(read_file(dest / "b.txt"), "second");
    EXPECT_FALSE(fs::exists(dest / "d.txt"));
    EXPECT_FALSE(fs::exists(dest / "e.txt"));
}

TEST_F(Extract, RefusesEncryptedEntriesAndUnknownMethods) {
    // "content" as bzip2 compresses it: one build's library reads it, the other's does not.
    const std::string bzip2(
        "BZh91AY&SY#\x0d\xca\xfd\0\0\0\x01\x80\x0a\x01\x84\0 \0!\x83\x41\x9a"
        "\x01\x53\x0b\x8b\xb9\x22\x9c\x28\x48\x11\x86\xe5\x7e\x80",
        43);
    struct Case {
        std::uint16_t flags;
        std::uint16_t method;
        std::string data;
    };
    // Encrypted, an unknown method, bzip2, LZMA and zstd.
    for (const Case& c : {Case{1, method_stored, "content"}, Case{0, 77, "content"},
                          Case{0, 12, bzip2}, Case{0, 14, "content"}, Case{0, 93, "content"}}) {
        ZipEntry only{"only.txt", c.data};
        only.flags = c.flags;
        only.method = c.method;
        only.crc = 0xfec530a9;  // of "content"
        only.size = 7;
        write_zip(zip, {only});
        EXPECT_FALSE(extract()) << c.method;
        EXPECT_EQ(log(), Lines({counted(1), "error Failed to extract: only.txt"}));
        EXPECT_FALSE(fs::exists(dest / "only.txt")) << c.method;
        restart_log();
    }
}

TEST_F(Extract, ArchivesThatCannotBeOpened) {
    const fs::path missing = dir / "missing.zip";
    const fs::path text = dir / "text.zip";
    const fs::path empty = dir / "empty.zip";
    write_file(text, "this is not a zip archive, just some text\n");
    write_file(empty, "");
    // The zip library's reason comes first where the package reached it.
    const std::pair<fs::path, Lines> cases[] = {
        {missing, {"error Failed to open zip: " + to_narrow(missing)}},
        {text, {"error Not a zip archive", "error Failed to open zip: " + to_narrow(text)}},
        {empty, {"error Not a zip archive", "error Failed to open zip: " + to_narrow(empty)}},
    };
    for (const auto& [package, lines] : cases) {
        EXPECT_FALSE(extract_zip(to_narrow(package), to_narrow(dest)));
        EXPECT_EQ(log(), lines);
        restart_log();
    }
    EXPECT_TRUE(fs::is_empty(dest));
}

// An entry marked as a directory, by its name or its attributes, whose data would be dropped
// unseen while zip tools extract it as a file. An empty directory that a zip writer deflated
// into two bytes holds no data.
TEST_F(Extract, DirectoryEntryThatHoldsDataIsRefused) {
    ZipEntry attribute_only = unix_entry("notes.txt", "eighteen bytes ...", 0100644);
    attribute_only.attributes |= 0x10;
    ZipEntry named = directory("d/");
    named.data = "data";
    ZipEntry deflated_empty = directory("empty/");
    deflated_empty.method = method_deflated;
    ASSERT_EQ(deflate_raw("").size(), 2u);
    for (const ZipEntry& entry : {attribute_only, named}) {
        write_zip(zip, {deflated_empty, entry, {"later.txt", "later"}});
        EXPECT_FALSE(extract());
        EXPECT_EQ(log(),
                  Lines({counted(3), "error Zip entry is marked as a directory but holds data: " +
                                         entry.name}));
        EXPECT_TRUE(fs::is_directory(dest / "empty"));
        EXPECT_FALSE(fs::exists(dest / entry.name));
        EXPECT_FALSE(fs::exists(dest / "later.txt"));
        restart_log();
    }
}

// Other zip tools end the name at the NUL; the zip library reads past it. Nothing is written.
TEST_F(Extract, NameHoldingANulIsRefused) {
    write_zip(zip, {{"first.txt", "first"}, {std::string("go\0d.txt", 8), "go"}});
    EXPECT_FALSE(extract());
    EXPECT_EQ(log(), Lines({"error Unsafe path in zip: go",
                            "error Failed to open zip: " + to_narrow(zip)}));
    EXPECT_TRUE(fs::is_empty(dest));
}

// Each header means the name of its Unicode path field where that field is valid for the
// header's own name, else its name read as UTF-8 or CP437 by flag bit 11; both must mean the
// same name.
TEST_F(Extract, BothHeadersMustMeanTheSameName) {
    const std::string e_acute = "\xc3\xa9.txt";
    const std::string field = unicode_path_field(e_acute, crc32_of("e.txt"));
    ZipEntry central_only{"e.txt", "x"};
    central_only.extra = field;
    central_only.local.extra = "";
    ZipEntry local_only{"e.txt", "x"};
    local_only.local.extra = field;
    for (const ZipEntry& entry : {central_only, local_only}) {
        write_zip(zip, {entry});
        EXPECT_FALSE(extract());
        const std::string meant = entry.extra.empty() ? "e.txt" : e_acute;
        EXPECT_EQ(log(), Lines({"error Zip entry does not match its local header: " + meant,
                                "error Failed to open zip: " + to_narrow(zip)}));
        restart_log();
    }
    EXPECT_TRUE(fs::is_empty(dest));

    // Meaning the same by other means: a field in both headers; a field made for another name
    // (ignored) in one; a CP437 name in one and its UTF-8 spelling in the other's field.
    ZipEntry both{"e.txt", "both"};
    both.extra = field;
    ZipEntry stale{"stale.txt", "stale"};
    stale.local.extra = unicode_path_field("other.txt", crc32_of("not this name"));
    ZipEntry cp437{std::string("\x81") + "ber.txt", "cp437"};
    cp437.cp437_name = true;
    cp437.extra = unicode_path_field(
        "\xc3\xbc"
        "ber.txt",
        crc32_of(cp437.name));
    cp437.local.extra = "";
    write_zip(zip, {both, stale, cp437});
    EXPECT_TRUE(extract());
    EXPECT_EQ(read_file(dest / fs::u8path(e_acute)), "both");
    EXPECT_EQ(read_file(dest / "stale.txt"), "stale");
    EXPECT_EQ(read_file(dest / fs::u8path("\xc3\xbc"
                                          "ber.txt")),
              "cp437");
}

// An entry encrypted with AES under 20 bytes carries no CRC-32; it is refused as any encrypted
// entry is, not as an inconsistent directory.
TEST_F(Extract, SmallAesEntryIsRefusedAsEncrypted) {
    ZipEntry secret{"secret.txt", "ten bytes!"};
    secret.method = 99;
    secret.flags = 1;
    secret.crc = 0;
    secret.raw_data = std::string(28, 'z');  // salt, check value, data and authentication code
    // AES extra field: version 2, vendor "AE", strength 3 (256 bits), actual method stored.
    secret.extra = std::string(
        "\x01\x99\x07\x00\x02\x00"
        "AE\x03\x00\x00",
        11);
    write_zip(zip, {{"plain.txt", "plain"}, secret});
    EXPECT_FALSE(extract());
    EXPECT_EQ(log(), Lines({counted(2), "error Failed to extract: secret.txt"}));
    EXPECT_EQ(read_file(dest / "plain.txt"), "plain");
    EXPECT_FALSE(fs::exists(dest / "secret.txt"));
}

// A directory of the destination that someone swaps for a link while extraction runs leads no
// write outside: every name is made in the directory it belongs in, held open, so that entries
// below it go on landing in that directory wherever it was moved. Windows builds that can't
// make links (Wine) still show the holding: the moved directory receives the later entries.
TEST_F(Extract, DirectorySwappedForALinkMidRunLeadsNoWriteOutside) {
    write_zip(zip, {{"data/a.txt", "a"}, {"data/b.txt", "b"}, {"data/sub/c.txt", "c"}});
    const fs::path outside = dir / "outside";
    fs::create_directory(outside);
    bool swapped = false;
    std::string link_refused;
    const StopCheck swap_after_first_file = [&] {
        if (!swapped && fs::exists(dest / "data" / "a.txt")) {
            swapped = true;
            fs::rename(dest / "data", dest / "moved");
            link_refused = make_directory_link(outside, dest / "data");
        }
        return false;
    };
    ReadOnlyFile package;
    ASSERT_TRUE(package.open(zip).ok());
    EXPECT_TRUE(extract_zip(package, zip, dest, swap_after_first_file));
    ASSERT_TRUE(swapped);
    if (!is_windows()) {
        EXPECT_EQ(link_refused, "");
    }
    EXPECT_TRUE(fs::is_empty(outside));
    EXPECT_EQ(tree(dest / "moved"), Files({{"a.txt", "a"}, {"b.txt", "b"}, {"sub/c.txt", "c"}}));
}

// A file or link already at an entry's name is replaced as itself, never written through.
TEST_F(Extract, LinkAtAFileNameIsReplacedNotFollowed) {
    write_file(dir / "target.txt", "outside");
    std::error_code error;
    fs::create_symlink(dir / "target.txt", dest / "a.txt", error);
    if (error) {
        GTEST_SKIP() << "symbolic links cannot be made here: " << error.message();
    }
    write_file(dest / "b.txt", "old");
    write_zip(zip, {{"a.txt", "new a"}, {"b.txt", "new b"}});
    EXPECT_TRUE(extract());
    EXPECT_EQ(read_file(dir / "target.txt"), "outside");
    EXPECT_EQ(fs::symlink_status(dest / "a.txt").type(), fs::file_type::regular);
    EXPECT_EQ(tree(dest), Files({{"a.txt", "new a"}, {"b.txt", "new b"}}));
}

TEST_F(Extract, KeepsTheStoredModificationTime) {
    write_zip(zip, {{"old.txt", "old"}, directory("sub/")});
    ASSERT_TRUE(extract());
    const std::time_t stored = stored_mtime(zip, 0);
    EXPECT_EQ(file_mtime(dest / "old.txt"), stored);
    // The entry time is years before the test ran.
    EXPECT_LT(stored, std::time(nullptr) - 86400);
}

TEST_F(Extract, RefusesNamesThatLeaveTheDestination) {
    const fs::path outside_root = fs::absolute(dest).root_path() / "x";
    const bool existed = fs::exists(outside_root);
    // Also names Windows can't hold: devices, a trailing dot or space, characters it refuses.
    for (const char* name : {"../x",       "/x",
                             "a/../../x",  "c:/x",
                             "..\\x",      "a/b:stream",
                             "..",         "\\x",
                             "con.txt",    "aux",
                             "nul.tar.gz", "sub/CON  .log",
                             "COM1",       "lpt\xc2\xb9.txt",
                             "CONIN$",     "name.",
                             "name ",      "a<b",
                             "a>b",        "say\"what",
                             "a|b",        "why?",
                             "star*",      "tab\tname"}) {
        write_zip(zip, {{"ok.txt", "fine"}, {name, "escaped"}, {"later.txt", "later"}});
        EXPECT_FALSE(extract()) << name;
        EXPECT_EQ(log(), Lines({counted(3), std::string("error Unsafe path in zip: ") + name}));
        EXPECT_EQ(tree(dir.path()).size(), 3u) << name;  // updater.log, package.zip, dest/ok.txt
        EXPECT_FALSE(fs::exists(dest / "later.txt"));
        EXPECT_EQ(fs::exists(outside_root), existed);
        restart_log();
    }
}

TEST_F(Extract, RefusesNamesEqualButForLetterCase) {
    const std::vector<std::pair<std::string, std::string>> pairs = {
        {"README", "readme"},
        {"Lib/x", "lib/x"},
        {"a/B/x", "a/b/y"},  // one directory in two spellings: Windows would merge them
        {"\xc3\x84rger.txt", "\xc3\xa4rger.txt"},  // A and a with diaeresis
        {"\xce\xa3.txt", "\xcf\x83.txt"},          // Greek sigma
    };
    for (const auto& [first, second] : pairs) {
        write_zip(zip, {{first, "first"}, {second, "second"}});
        EXPECT_FALSE(extract()) << second;
        EXPECT_EQ(log(), Lines({counted(2), "error Unsafe path in zip: " + second}));
        restart_log();
    }
    // One spelling used again is the same directory, as is "./x" for "x".
    write_zip(zip, {{"a/B/x", "x"}, {"a/B/y", "y"}, {"./z", "z"}, {"z2", "z2"}});
    EXPECT_TRUE(extract());
}

// One path named by two entries, after `\\` becomes `/` and empty and `.` elements go: common
// zip tools show the first, so the second must not replace it unseen.
TEST_F(Extract, RefusesAFileNamedTwice) {
    const std::vector<std::pair<ZipEntry, ZipEntry>> pairs = {
        {{"data.txt", "first"}, {"data.txt", "second"}},
        {{"app.exe", "first"}, {"./app.exe", "second"}},
        {{"a/b.txt", "first"}, {"a\\b.txt", "second"}},
        {{"a//b.txt", "first"}, {"a/./b.txt/", ""}},
        {{"d", "first"}, directory("d/")},
        {{"d", "first"}, dos_entry("d", "", 0x10)},
        {directory("d/"), {"d", "second"}},
        {directory("d/"), {"./d", "second"}},
    };
    for (const auto& [first, second] : pairs) {
        write_zip(zip, {{"ok.txt", "fine"}, first, second, {"later.txt", "later"}});
        EXPECT_FALSE(extract()) << second.name;
        EXPECT_EQ(log(), Lines({counted(4), "error Unsafe path in zip: " + second.name}));
        EXPECT_FALSE(fs::exists(dest / "later.txt")) << second.name;
        if (first.name.back() != '/') {
            EXPECT_EQ(read_file(output_of(first.name)), "first") << second.name;
        }
        fs::remove_all(dest);
        fs::create_directory(dest);
        restart_log();
    }
    // A directory may be named again, by its own entry or by the entries below it.
    write_zip(zip, {directory("d/"),
                    {"d/x", "x"},
                    directory("d/"),
                    directory("./d//"),
                    directory("e/"),
                    dos_entry("e", "", 0x10),
                    {"f/y", "y"},
                    directory("f/")});
    EXPECT_TRUE(extract());
    EXPECT_EQ(tree(dest), Files({{"d/x", "x"}, {"f/y", "y"}}));
    EXPECT_TRUE(fs::is_directory(dest / "e"));
}

// An entry 32000 levels deep (a package of 128 KB) fails where the system refuses its path, with
// the system's own error, and leaves nothing behind.
TEST_F(Extract, EntryDeeperThanAnyPathTheSystemTakesFailsWithItsError) {
    const std::string separator(1, static_cast<char>(fs::path::preferred_separator));
    std::string name = "a/";
    std::string directories = "a";  // in the native form, made a path at once
    for (int level = 2; level < 32000; ++level) {
        name += "a/";
        directories += separator + "a";
    }
    const fs::path dir = dest / directories;
    write_zip(zip, {{name + "f", "deep"}});
    EXPECT_FALSE(extract());
    EXPECT_EQ(log(), Lines({counted(1), "error Failed to create directory " + to_narrow(dir) +
                                            ": " + error_text(errors::name_too_long)}));
    EXPECT_TRUE(fs::is_empty(dest));
}

TEST_F(Extract, EntriesNeverGrowPastTheirRecordedSize) {
    for (const std::uint16_t method : {method_stored, method_deflated}) {
        ZipEntry big{"big.bin", std::string(1 << 20, 'z')};
        big.method = method;
        big.size = 1000;
        write_zip(zip, {big});
        EXPECT_FALSE(extract()) << method;
        EXPECT_EQ(log(), Lines({counted(1), "error Failed to extract: big.bin"}));
        const fs::path written = dest / "big.bin";
        EXPECT_LE(fs::exists(written) ? fs::file_size(written) : 0, 1000u) << method;
        restart_log();
    }
}

// An entry's data must be whole and match its record, whichever method holds it: each of these
// fails its entry, and extraction stops there.
TEST_F(Extract, DamagedOrIncompleteDataFailsItsEntry) {
    std::string text;
    while (text.size() < 300000) {  // more than one piece of the reader's buffers
        text += "entry " + std::to_string(text.size()) + "\n";
    }
    const std::string deflated = deflate_raw(text);
    const auto bad = [&](std::uint16_t method) {
        ZipEntry entry{"bad", text};
        entry.method = method;
        return entry;
    };
    std::vector<std::pair<std::string, ZipEntry>> cases = {
        {"stored, wrong CRC", with_wrong_crc(bad(method_stored))},
        {"deflated, wrong CRC", with_wrong_crc(bad(method_deflated))},
        {"stored, recorded size larger", bad(method_stored)},
        {"deflated, recorded size larger", bad(method_deflated)},
        {"deflate stream cut short", bad(method_deflated)},
        {"not a deflate stream", bad(method_deflated)},
    };
    cases[2].second.size = text.size() + 1;
    cases[3].second.size = text.size() + 1;
    cases[4].second.raw_data = deflated.substr(0, deflated.size() / 2);
    cases[5].second.raw_data = std::string(64, '\xff');
    for (const auto& [label, entry] : cases) {
        write_zip(zip, {{"ok.txt", "fine"}, entry, {"later.txt", "later"}});
        EXPECT_FALSE(extract()) << label;
        EXPECT_EQ(log(), Lines({counted(3), "error Failed to extract: bad"})) << label;
        EXPECT_EQ(read_file(dest / "ok.txt"), "fine");
        EXPECT_FALSE(fs::exists(dest / "later.txt")) << label;
        restart_log();
    }
}

// Empty entries of either method are empty files; bytes after the end of a deflate stream are
// not part of the entry.
TEST_F(Extract, EmptyEntriesAndBytesAfterTheStream) {
    ZipEntry empty_stored{"empty-stored", ""};
    empty_stored.method = method_stored;
    ZipEntry padded{"padded", "text"};
    padded.raw_data = deflate_raw("text") + "unused";
    ZipEntry one_byte{"one", "1"};
    one_byte.method = method_stored;
    write_zip(zip, {empty_stored, {"empty-deflated", ""}, padded, one_byte});
    EXPECT_TRUE(extract());
    EXPECT_EQ(
        tree(dest),
        Files({{"empty-deflated", ""}, {"empty-stored", ""}, {"one", "1"}, {"padded", "text"}}));
}

// An entry's data must be its own: shared with another entry, or reaching into the central
// directory, the archive is refused before anything of it is written.
TEST_F(Extract, EntriesWhoseDataIsNotTheirOwnAreRefused) {
    std::vector<ZipEntry> shared = {{"a.txt", "a"}, {"b.txt", "b"}, {"c.txt", ""}};
    shared[2].shares_data_of = 0;
    ZipEntry last{"last.txt", "last"};
    last.method = method_stored;
    last.compressed_size = 40;
    last.size = 40;
    const std::pair<std::vector<ZipEntry>, std::string> cases[] = {
        {shared, "Zip entries overlap: a.txt and c.txt"},
        {{{"first.txt", "first"}, last}, "Zip entry overlaps the central directory: last.txt"},
    };
    for (const auto& [entries, reason] : cases) {
        write_zip(zip, entries);
        EXPECT_FALSE(extract());
        EXPECT_EQ(log(), Lines({"error " + reason, "error Failed to open zip: " + to_narrow(zip)}));
        EXPECT_TRUE(fs::is_empty(dest));
        restart_log();
    }
}

// A local header is compared where it carries a value: a zip64 header's sizes are in its extra
// field, and with a data descriptor (flag bit 3) it may leave the CRC-32 and sizes at zero.
TEST_F(Extract, LocalHeadersAreReadAsTheirFlagsAndZip64FieldsSay) {
    ZipEntry described{"described.txt", "described"};
    described.flags = 0x0008;
    described.local.crc = 0;
    described.local.compressed_size = 0;
    described.local.size = 0;
    write_zip(zip, {described});
    EXPECT_TRUE(extract());
    EXPECT_EQ(read_file(dest / "described.txt"), "described");
    restart_log();

    described.local.crc = 0xDEADBEEF;  // carried, and wrong
    write_zip(zip, {described});
    EXPECT_FALSE(extract());
    EXPECT_EQ(log(), Lines({"error Zip entry does not match its local header: described.txt",
                            "error Failed to open zip: " + to_narrow(zip)}));
    restart_log();

    // Both headers agree on the zip64 sizes; the entry then fails its own data check only.
    ZipEntry huge{"huge.bin", "not four gigabytes"};
    huge.size = 4ull << 30;
    write_zip(zip, {huge});
    EXPECT_FALSE(extract());
    EXPECT_EQ(log(), Lines({counted(1), "error Failed to extract: huge.bin"}));
}

// The central directory is the one whose records the zip library read, even when the archive's
// comment holds an end record of an empty directory nearer the file's end.
TEST_F(Extract, EndRecordInTheCommentIsNotTheDirectory) {
    std::string bytes = build_zip({{"a.txt", "a"}});
    const std::string comment = std::string("PK\x05\x06", 4) + std::string(18, '\0');
    bytes[bytes.size() - 2] = static_cast<char>(comment.size());
    write_file(zip, bytes + comment);
    EXPECT_TRUE(extract());
    EXPECT_EQ(tree(dest), Files({{"a.txt", "a"}}));
}

TEST_F(Extract, DirectoryThatCannotBeCreatedIsReported) {
    write_zip(zip, {{"a", "a file where a directory is needed"}, {"a/b.txt", "b"}});
    EXPECT_FALSE(extract());
    EXPECT_EQ(log(),
              Lines({counted(2), "error Failed to create directory " + to_narrow(dest / "a") +
                                     ": " + error_text(errors::already_exists)}));
}

// The system's reason comes on a line of its own, before the line naming the entry.
TEST_F(Extract, FileTheSystemRefusesIsReportedWithTheSystemsReason) {
    const std::string too_long(300, 'n');
    const NativeError name_too_long = WrittenFile(dest / too_long, WriteMode::replace).error();
    ASSERT_TRUE(name_too_long.failed());
    fs::create_directory(dest / "d");
    const std::pair<std::string, NativeError> cases[] = {
        {too_long, name_too_long},
        {"d", errors::is_a_directory},
    };
    for (const auto& [name, error] : cases) {
        write_zip(zip, {{"ok.txt", "fine"}, {name, "content"}, {"later.txt", "later"}});
        EXPECT_FALSE(extract());
        EXPECT_EQ(log(), Lines({counted(3),
                                "error Failed to create " + to_narrow(dest / name) + ": " +
                                    error_text(error),
                                "error Failed to extract: " + name}));
        EXPECT_FALSE(fs::exists(dest / "later.txt"));
        restart_log();
    }
}

TEST_F(Extract, ADirectoryBelowAKnownOneIsStillCreatedOrReported) {
    write_zip(zip, {{"d/a.txt", "a"},
                    {"d/e/b.txt", "b"},
                    {"d/f", "a file where a directory is needed"},
                    {"d/f/g.txt", "g"}});
    EXPECT_FALSE(extract());
    EXPECT_EQ(log(),
              Lines({counted(4), "error Failed to create directory " + to_narrow(dest / "d" / "f") +
                                     ": " + error_text(errors::already_exists)}));
    EXPECT_EQ(read_file(dest / "d" / "e" / "b.txt"), "b");
}

// The package is read in pieces of 1 MiB: stored entries of incompressible data lie across the
// pieces' boundaries.
TEST_F(Extract, EntriesAcrossTheReadPiecesComeOutWhole) {
    std::vector<ZipEntry> entries;
    Files expected;
    for (unsigned i = 0; i < 6; ++i) {
        const std::string name = "part" + std::to_string(i) + ".bin";
        const std::string data = noise(i % 2 == 0 ? 700000 : 1000, i);
        ZipEntry entry{name, data};
        entry.method = method_stored;
        entries.push_back(entry);
        expected.emplace_back(name, data);
    }
    write_zip(zip, entries);
    ASSERT_GT(fs::file_size(zip), 2u << 20);
    EXPECT_TRUE(extract());
    EXPECT_EQ(tree(dest), expected);
}

// Deflated entries are read and inflated in pieces of 256 KiB: one whose compressed data takes
// several reads, and one that inflates to many pieces from a few, come out whole.
TEST_F(Extract, DeflatedEntriesAcrossManyPiecesComeOutWhole) {
    std::string text;
    while (text.size() < (3u << 20)) {
        text += "line " + std::to_string(text.size() % 7919) + " of a long text\n";
    }
    const std::string random = noise(900000, 9);
    write_zip(zip, {{"random.bin", random}, {"text.txt", text}});
    ASSERT_GT(fs::file_size(zip), 900000u);
    EXPECT_TRUE(extract());
    EXPECT_EQ(tree(dest), Files({{"random.bin", random}, {"text.txt", text}}));
}

// libzip seeks and reads the package in small steps, forwards and back; every read must give
// the file's own bytes, wherever it falls against the pieces read from the file.
TEST_F(Extract, PackageSourceReadsWhatTheFileHolds) {
    const std::size_t piece = 1 << 20;
    const std::string bytes = noise(2 * piece + 12345, 1);
    write_file(zip, bytes);
    ReadOnlyFile file;
    ASSERT_TRUE(file.open(zip).ok());
    zip_error_t error;
    zip_error_init(&error);
    const std::unique_ptr<zip_source_t, decltype(&zip_source_free)> source(
        archive_source(file, &error), zip_source_free);
    zip_error_fini(&error);
    ASSERT_NE(source, nullptr);
    ASSERT_EQ(zip_source_open(source.get()), 0);
    zip_stat_t stat;
    ASSERT_EQ(zip_source_stat(source.get(), &stat), 0);
    EXPECT_EQ(stat.size, bytes.size());

    const auto read = [&](std::size_t length) {
        std::string out(length, '\0');
        const zip_int64_t got = zip_source_read(source.get(), out.data(), length);
        out.resize(got > 0 ? static_cast<std::size_t>(got) : 0);
        return out;
    };
    const std::pair<std::size_t, std::size_t> reads[] = {
        {0, 100},          {piece - 10, 20},        {50, 8192},     {piece + 7, 3 * piece},
        {piece - 1, 1},    {2 * piece - 5, 10},     {piece, piece}, {bytes.size() - 3, 10},
        {bytes.size(), 1}, {2 * piece + 100, 4096}, {10, 30}};
    for (const auto& [offset, length] : reads) {
        ASSERT_EQ(zip_source_seek(source.get(), static_cast<zip_int64_t>(offset), SEEK_SET), 0);
        EXPECT_EQ(read(length), bytes.substr(offset, length)) << offset << " " << length;
        EXPECT_EQ(zip_source_tell(source.get()),
                  static_cast<zip_int64_t>(std::min(offset + length, bytes.size())));
    }
    // Reading on goes on from where the last read ended (offset 40).
    EXPECT_EQ(read(piece), bytes.substr(40, piece));
    ASSERT_EQ(zip_source_seek(source.get(), -100, SEEK_END), 0);
    EXPECT_EQ(read(1000), bytes.substr(bytes.size() - 100));
    EXPECT_EQ(zip_source_seek(source.get(), 1, SEEK_END), -1);
    zip_source_close(source.get());
}

TEST_F(Extract, NamesAreDecodedTheSameWayOnEveryPlatform) {
    // 0x81 is u-umlaut in CP437, the encoding of names without the UTF-8 flag.
    ZipEntry cp437{std::string("\x81") + "ber.txt", "cp437"};
    cp437.cp437_name = true;
    write_zip(zip, {cp437, {"caf\xc3\xa9.txt", "utf-8"}});
    ASSERT_TRUE(extract());
    EXPECT_EQ(read_file(dest / fs::u8path("\xc3\xbc"
                                          "ber.txt")),
              "cp437");
    EXPECT_EQ(read_file(dest / fs::u8path("caf\xc3\xa9.txt")), "utf-8");
}

TEST_F(Extract, UnixPermissionBitsAndLinks) {
    if (is_windows()) {
        GTEST_SKIP() << "Windows files carry no Unix permission bits";
    }
    write_zip(zip, {unix_entry("tool", "#!/bin/sh\n", 0100755), unix_entry("setuid", "x", 0106750),
                    unix_entry("private", "x", 0100600), unix_entry("shared", "x", 0100666),
                    unix_entry("link", "/etc/passwd", 0120777), dos_entry("dos", "x", 0x20)});
    // Recorded bits are limited by the umask like any file the updater creates, so an archive
    // made with 0666 entries does not install world-writable files.
    const unsigned mask = 022;
    const Undo restore_mask = set_creation_mask(mask);
    ASSERT_TRUE(extract());
    // Each entry itself, not what a link would lead to, must be a regular file.
    const auto mode = [&](const char* name) {
        const fs::file_status status = fs::symlink_status(dest / name);
        EXPECT_EQ(status.type(), fs::file_type::regular) << name;
        return static_cast<unsigned>(status.permissions());
    };
    EXPECT_EQ(mode("tool"), 0755u);
    EXPECT_EQ(mode("setuid"), 0750u);
    EXPECT_EQ(mode("private"), 0600u);
    EXPECT_EQ(mode("shared"), 0644u);
    EXPECT_EQ(mode("link"), 0666 & ~mask);
    EXPECT_EQ(read_file(dest / "link"), "/etc/passwd");
    EXPECT_EQ(mode("dos"), 0666 & ~mask);
}

// Entries on deep paths of their own, each with its own chain of directories below the
// destination, all come out whole. The bench's deep-path rows run this at the scale a package
// of a few hundred KiB reaches (150 entries 900 levels deep) and measure its memory and time.
TEST_F(Extract, ManyDeepEntriesComeOutWhole) {
    constexpr int entry_count = 12;
    constexpr int depth = 128;
    std::string below;
    for (int level = 2; level < depth; ++level) {
        below += "d/";
    }
    std::vector<ZipEntry> entries;
    for (int i = 0; i < entry_count; ++i) {
        entries.push_back(
            {"e" + std::to_string(i) + "/" + below + "f", "entry " + std::to_string(i)});
    }
    write_zip(zip, entries);
    EXPECT_TRUE(extract());
    EXPECT_EQ(log(), Lines({counted(entry_count), completed(entry_count)}));
    for (const ZipEntry& entry : entries) {
        EXPECT_EQ(read_file(dest / entry.name), entry.data) << entry.name.substr(0, 8);
    }
}

}  // namespace
