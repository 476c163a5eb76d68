#include "pack.h"

#include <spdlog/spdlog.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <system_error>
#include <utility>
#include <vector>

#include "delta_manifest.h"
#include "delta_pack.h"
#include "digest.h"
#include "entry_paths.h"
#include "entry_rules.h"
#include "files.h"
#include "log.h"
#include "package_check.h"
#include "signature.h"
#include "text.h"
#include "zip_writer.h"

namespace fs = std::filesystem;

namespace {

// The most a secret key file holds: two lines of well under a kilobyte.
constexpr std::uint64_t secret_key_file_limit = 4096;
constexpr unsigned executable_mode = 0755;
// Beside each file pack writes, its temporary name until it is complete.
constexpr char temporary_suffix[] = ".pack-tmp";
// Beside the output, what making a delta needs for a while.
constexpr char delta_workspace_suffix[] = ".pack-delta";

// One name found under the tree, with what the system says it is.
struct Found {
    std::string name;  // relative, `/`-separated; a directory's ends in `/`
    fs::path path;
    TreeEntry entry;
    bool utf8 = true;  // false: `name` is no valid UTF-8, and path_text(path) names it
};

// Lists everything under dir, without following links; false when a directory can't be read
// (logged).
[[nodiscard]] bool list_tree(const fs::path& dir, const std::string& prefix,
                             std::vector<Found>& found) {
    std::vector<fs::path> names;
    if (const NativeError error = list_directory(dir, names); error.failed()) {
        spdlog::error("Failed to read directory {}: {}", path_text(dir), error_text(error));
        return false;
    }
    for (const fs::path& entry_name : names) {
        const fs::path path = dir / entry_name;
        Found item;
        item.path = path;
        const std::optional<std::string> name = name_as_utf8(path.filename());
        item.utf8 = name && is_valid_utf8(*name);
        item.name = prefix + (name ? *name : path_text(path.filename()));
        if (const NativeError failure = inspect_tree_entry(path, item.entry); failure.failed()) {
            spdlog::error("Failed to read {}: {}", path_text(path), error_text(failure));
            return false;
        }
        const bool directory = item.entry.kind == TreeEntryKind::directory;
        if (directory) {
            item.name += '/';
        }
        const std::string below = item.name;
        found.push_back(std::move(item));
        if (directory && !list_tree(path, below, found)) {
            return false;
        }
    }
    return true;
}

// The first refusal among the names, in the order they are written; logged.
[[nodiscard]] bool names_are_packable(const std::vector<Found>& found) {
    EntryPaths paths;
    for (const Found& item : found) {
        const std::string shown = item.utf8 ? item.name : path_text(item.path);
        if (!item.utf8) {
            spdlog::error("Name is not valid UTF-8: {}", shown);
            return false;
        }
        if (item.entry.kind == TreeEntryKind::link) {
            spdlog::error("Link in the tree: {}", shown);
            return false;
        }
        if (item.entry.kind == TreeEntryKind::special) {
            spdlog::error("Special file in the tree: {}", shown);
            return false;
        }
        if (item.name.find('\\') != std::string::npos) {
            spdlog::error("Name holds a backslash: {}", shown);
            return false;
        }
        // Where a delta package keeps its own entries, whatever the letter case.
        if (ascii_lower(item.name.substr(0, item.name.find('/'))) == delta_directory) {
            spdlog::error("Name is reserved for delta packages: {}", shown);
            return false;
        }
        const bool directory = item.entry.kind == TreeEntryKind::directory;
        switch (name_refusal(paths, item.name, directory)) {
            case NameRefusal::none:
                break;
            case NameRefusal::clash:
                spdlog::error("Names differ only in letter case: {}", shown);
                return false;
            case NameRefusal::unsafe:
            case NameRefusal::no_native_form:
                spdlog::error("Name Windows cannot hold: {}", shown);
                return false;
        }
    }
    return true;
}

std::vector<PackItem> pack_items(const std::vector<Found>& found, const std::string& exe_name) {
    std::vector<PackItem> items;
    items.reserve(found.size());
    for (const Found& item : found) {
        const bool directory = item.entry.kind == TreeEntryKind::directory;
        const unsigned mode = item.name == exe_name ? executable_mode : item.entry.mode;
        items.push_back({item.name, item.path, directory, mode & 0777});
    }
    return items;
}

// The fixed time of every entry, and the seconds the signature's comment names; false when
// SOURCE_DATE_EPOCH is set to something else than a number of seconds (logged).
[[nodiscard]] bool source_date(DosTime& time, std::int64_t& seconds) {
    const char* value = std::getenv("SOURCE_DATE_EPOCH");
    if (value == nullptr || *value == '\0') {
        time = earliest_dos_time();
        seconds = static_cast<std::int64_t>(std::time(nullptr));
        return true;
    }
    const std::string text = value;
    if (text.size() > 18 || text.find_first_not_of("0123456789") != std::string::npos) {
        spdlog::error("SOURCE_DATE_EPOCH is not a number of seconds: {}", text);
        return false;
    }
    seconds = std::stoll(text);
    time = dos_time(seconds);
    return true;
}

// The first line of the password file, without its end; `-` reads standard input. False when it
// can't be read (logged).
[[nodiscard]] bool read_password(const std::string& file, SecretText& password) {
    std::string& text = password.text();
    if (file == "-") {
        for (int c = std::getchar(); c != EOF && c != '\n'; c = std::getchar()) {
            if (text.size() + 1 >= text.capacity()) {
                spdlog::error("Password too long in standard input");
                return false;
            }
            text += static_cast<char>(c);
        }
    } else {
        ReadOnlyFile source;
        if (const NativeError error = source.open(to_path(file)); error.failed()) {
            spdlog::error("Failed to read password file {}: {}", file, error_text(error));
            return false;
        }
        text.resize(std::min<std::uint64_t>(source.size(), text.capacity() - 1));
        std::size_t got = 0;
        if (const NativeError error = source.read_at(0, text.data(), text.size(), got);
            error.failed()) {
            spdlog::error("Failed to read password file {}: {}", file, error_text(error));
            return false;
        }
        text.resize(std::min(got, text.find('\n')));
    }
    if (!text.empty() && text.back() == '\r') {
        text.pop_back();
    }
    return true;
}

[[nodiscard]] bool load_secret_key(const fs::path& key_file,
                                   const std::optional<std::string>& password_file,
                                   SecretKey& key) {
    SecretText text(secret_key_file_limit + 1);
    ReadOnlyFile source;
    NativeError error = source.open(key_file);
    std::size_t got = 0;
    if (error.ok()) {
        text.text().resize(std::min(source.size(), secret_key_file_limit));
        error = source.read_at(0, text.text().data(), text.text().size(), got);
    }
    if (error.failed()) {
        spdlog::error("Failed to read secret key {}: {}", path_text(key_file), error_text(error));
        return false;
    }
    text.text().resize(got);
    SecretText password(1024);
    if (password_file && !read_password(*password_file, password)) {
        return false;
    }
    switch (read_secret_key(text.text(), password_file ? &password : nullptr, key)) {
        case SecretKeyFailure::none:
            return true;
        case SecretKeyFailure::malformed:
            spdlog::error("Malformed secret key: {}", path_text(key_file));
            return false;
        case SecretKeyFailure::needs_password:
            spdlog::error("Secret key is encrypted, and no --password-file given: {}",
                          path_text(key_file));
            return false;
        case SecretKeyFailure::wrong_password:
            spdlog::error("Wrong password for secret key: {}", path_text(key_file));
            return false;
    }
    return false;
}

// A version the trusted comment can name as one word on one line.
[[nodiscard]] bool is_signable_version(const std::string& version) {
    return std::none_of(version.begin(), version.end(),
                        [](char c) { return static_cast<unsigned char>(c) <= ' '; });
}

std::string json_string(const std::string& text) {
    std::string quoted = "\"";
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (c == '"' || c == '\\') {
            quoted += '\\';
            quoted += c;
        } else if (byte < 0x20) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\u%04x", byte);
            quoted += escaped;
        } else {
            quoted += c;
        }
    }
    return quoted + "\"";
}

std::string file_name_text(const fs::path& path) {
    const std::optional<std::string> name = name_as_utf8(path.filename());
    return name ? *name : path_text(path.filename());
}

// `base_sha256`: a delta's base package; empty for a full package.
std::string release_record(const std::string& version, const fs::path& output,
                           const WrittenZip& written, bool signed_package, const std::string& exe,
                           const std::string& base_sha256) {
    const std::string signature =
        signed_package ? json_string(file_name_text(with_suffix(output, ".minisig"))) : "null";
    const std::string base =
        base_sha256.empty() ? "" : ", \"base_sha256\": \"" + base_sha256 + "\"";
    return "{\"version\": " + json_string(version) +
           ", \"file\": " + json_string(file_name_text(output)) +
           ", \"size\": " + std::to_string(written.size) + ", \"sha256\": \"" +
           to_hex(written.sha256) + "\", \"signature\": " + signature +
           ", \"exe\": " + json_string(exe) + base + "}\n";
}

// The entries of the delta package of the tree `items` against the full package `base`, made
// in `workspace`; false when the base is refused or a file can't be read (logged).
[[nodiscard]] bool plan_delta_package(const std::vector<PackItem>& items, const fs::path& base,
                                      const std::string& version, DeltaWorkspace& workspace,
                                      std::string& base_sha256, DeltaPlan& plan) {
    spdlog::info("Delta against {}", path_text(base));
    std::vector<Found> base_found;
    if (!workspace.create() || !unpack_base(base, version, workspace.base_tree(), base_sha256) ||
        !list_tree(workspace.base_tree(), "", base_found)) {
        return false;
    }
    std::sort(base_found.begin(), base_found.end(),
              [](const Found& a, const Found& b) { return a.name < b.name; });
    if (!plan_delta(items, pack_items(base_found, ""), base, base_sha256, workspace, plan)) {
        return false;
    }
    spdlog::info("Delta of {} files: {} unchanged, {} patched, {} whole",
                 plan.unchanged + plan.patched + plan.whole, plan.unchanged, plan.patched,
                 plan.whole);
    return true;
}

// Files written under their temporary names, removed unless each was put in place.
class TemporaryFiles {
  public:
    TemporaryFiles() = default;
    ~TemporaryFiles() {
        for (const fs::path& path : paths_) {
            remove_file(path);
        }
    }
    TemporaryFiles(const TemporaryFiles&) = delete;
    TemporaryFiles& operator=(const TemporaryFiles&) = delete;

    fs::path add(const fs::path& final_path) {
        paths_.push_back(with_suffix(final_path, temporary_suffix));
        return paths_.back();
    }
    // Renames the temporary file of `final_path` onto it; false when that fails (logged).
    [[nodiscard]] bool put_in_place(const fs::path& final_path) {
        const fs::path temporary = with_suffix(final_path, temporary_suffix);
        if (const NativeError error = rename_path(temporary, final_path); error.failed()) {
            spdlog::error("Failed to rename {} to {}: {}", path_text(temporary),
                          path_text(final_path), error_text(error));
            return false;
        }
        paths_.erase(std::remove(paths_.begin(), paths_.end(), temporary), paths_.end());
        return make_rename_durable(final_path);
    }

  private:
    std::vector<fs::path> paths_;
};

// Writes a small file at the temporary name of `final_path`, flushed.
[[nodiscard]] bool write_small_file(TemporaryFiles& temporaries, const fs::path& final_path,
                                    const std::string& content) {
    const fs::path path = temporaries.add(final_path);
    if (!write_file_logged(path, content.data(), content.size())) {
        return false;
    }
    return make_file_durable(path);
}

}  // namespace

int run_pack(const fs::path& dir, const fs::path& output, const std::string& version,
             const std::string& exe, const std::optional<fs::path>& secret_key,
             const std::optional<std::string>& password_file, const std::optional<fs::path>& base) {
    init_stderr_logging();
    if (secret_key && !is_signable_version(version)) {
        spdlog::error("Version can't be named in a signature: {}", version);
        return 1;
    }
    DosTime time;
    std::int64_t seconds = 0;
    if (!source_date(time, seconds)) {
        return 1;
    }
    SecretKey key;
    if (secret_key && !load_secret_key(*secret_key, password_file, key)) {
        return 1;
    }
    spdlog::info("Packing {} -> {}", path_text(dir), path_text(output));
    std::vector<Found> found;
    if (!list_tree(dir, "", found)) {
        return 1;
    }
    std::sort(found.begin(), found.end(),
              [](const Found& a, const Found& b) { return a.name < b.name; });
    if (!names_are_packable(found)) {
        return 1;
    }
    const std::optional<std::string> exe_name = name_as_utf8(to_path(exe));
    const bool has_exe = exe_name && std::any_of(found.begin(), found.end(), [&](const Found& f) {
                             return f.name == *exe_name && f.entry.kind == TreeEntryKind::regular;
                         });
    if (!has_exe) {
        spdlog::error("No {} at the top of {}", exe, path_text(dir));
        return 1;
    }
    const std::vector<PackItem> tree = pack_items(found, *exe_name);
    DeltaWorkspace workspace(with_suffix(output, delta_workspace_suffix));
    std::string base_sha256;
    DeltaPlan plan;
    if (base && !plan_delta_package(tree, *base, version, workspace, base_sha256, plan)) {
        return 1;
    }
    const std::vector<PackItem>& items = base ? plan.entries : tree;

    TemporaryFiles temporaries;
    const fs::path package = temporaries.add(output);
    WrittenZip written;
    if (!write_zip(items, time, package, written) ||
        !package_reads_as_written(package, items.size(), plan.whole_sha256) ||
        !make_file_durable(package)) {
        return 1;
    }
    const fs::path signature_path = with_suffix(output, ".minisig");
    if (secret_key) {
        const std::string comment = "timestamp:" + std::to_string(seconds) + " version:" + version;
        const std::optional<std::string> signature = sign_package(key, written.blake2b512, comment);
        if (!signature || !write_small_file(temporaries, signature_path, *signature)) {
            return 1;
        }
    }
    const fs::path record_path = with_suffix(output, ".json");
    if (!write_small_file(
            temporaries, record_path,
            release_record(version, output, written, secret_key.has_value(), exe, base_sha256))) {
        return 1;
    }
    if (!temporaries.put_in_place(output)) {
        return 1;
    }
    spdlog::info("Packed {} files, {} bytes, sha256 {}", written.files, written.size,
                 to_hex(written.sha256));
    if (secret_key) {
        if (!temporaries.put_in_place(signature_path)) {
            return 1;
        }
        spdlog::info("Signed with key {}", key_id_text(key.id));
    } else {
        // A signature left from an earlier pack would not match this package.
        remove_file(signature_path);
    }
    return temporaries.put_in_place(record_path) ? 0 : 1;
}
