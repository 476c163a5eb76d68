// `updater pack --base`: a delta package lists every file of the new tree with how it is made
// from the installed files, holds only what changed, is the same for the same inputs, and is never
// made against a base that apply would not have installed.
#include <gtest/gtest.h>
#include <zip.h>
#include <zstd.h>

#include <map>
#include <nlohmann/json.hpp>

#include "digest.h"
#include "support.h"
#include "zip_builder.h"

using namespace support;

namespace {

using Json = nlohmann::json;

std::string sha256_of(const std::string& bytes) {
    Sha256 digest;
    EXPECT_TRUE(digest.update(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size()));
    return to_hex(digest.finish().value());
}

struct Entry {
    std::string name;
    std::string data;
    int method = 0;
};

// Every entry of the zip at path, in the order the zip holds them.
std::vector<Entry> zip_contents(const fs::path& path) {
    std::vector<Entry> entries;
    int error = 0;
    zip_t* archive = zip_open(path.string().c_str(), ZIP_RDONLY, &error);
    if (archive == nullptr) {
        ADD_FAILURE() << "can't open " << path;
        return entries;
    }
    for (zip_int64_t index = 0; index < zip_get_num_entries(archive, 0); ++index) {
        zip_stat_t stat;
        zip_stat_index(archive, index, 0, &stat);
        std::string data(stat.size, '\0');
        zip_file_t* file = zip_fopen_index(archive, index, 0);
        EXPECT_EQ(zip_fread(file, data.data(), data.size()), static_cast<zip_int64_t>(data.size()));
        zip_fclose(file);
        entries.push_back({stat.name, data, stat.comp_method});
    }
    zip_discard(archive);
    return entries;
}

// What the zstd patch makes from `reference`, as a stage decodes it.
std::string apply_patch(const std::string& patch, const std::string& reference) {
    ZSTD_DCtx* context = ZSTD_createDCtx();
    ZSTD_DCtx_setParameter(context, ZSTD_d_windowLogMax, 31);
    ZSTD_DCtx_refPrefix(context, reference.data(), reference.size());
    std::string out(1 << 20, '\0');
    ZSTD_inBuffer in{patch.data(), patch.size(), 0};
    ZSTD_outBuffer to{out.data(), out.size(), 0};
    const std::size_t left = ZSTD_decompressStream(context, &to, &in);
    ZSTD_freeDCtx(context);
    EXPECT_EQ(left, 0u) << ZSTD_getErrorName(left);
    return out.substr(0, to.pos);
}

std::string record_text(const fs::path& package) {
    return read_file(with_suffix(package, ".json"));
}

// A text of numbered lines: deflates well, and patches to a few bytes after a small change.
std::string numbered_lines(int count, int changed_line = -1) {
    std::string text;
    for (int i = 0; i < count; ++i) {
        text +=
            (i == changed_line ? "changed " : "line ") + std::to_string(i * 7919 % 100003) + "\n";
    }
    return text;
}

struct DeltaPack : ::testing::Test {
    TempDir dir;
    fs::path old_tree = dir / "v1";
    fs::path new_tree = dir / "v2";
    fs::path out = dir / "out";
    fs::path base = out / "parvel-1.0.zip";
    fs::path delta = out / "parvel-2.0-from-1.0.zip";
    Undo epoch = set_environment("SOURCE_DATE_EPOCH", "1733500000");
    const std::string old_large = numbered_lines(20000);
    const std::string new_large = numbered_lines(20000, 12345);

    void SetUp() override {
        fs::create_directories(out);
        install_testapp(old_tree, "app.exe");
        write_file(old_tree / "same.txt", "kept as it is");
        write_file(old_tree / "data" / "large.txt", old_large);
        write_file(old_tree / "data" / "small.txt", "one");
        write_file(old_tree / "removed.txt", "gone in 2.0");
        install_testapp(new_tree, "app.exe");
        write_file(new_tree / "same.txt", "kept as it is");
        write_file(new_tree / "data" / "large.txt", new_large);
        write_file(new_tree / "data" / "small.txt", "two");
        write_file(new_tree / "added.txt", "new in 2.0");
        fs::create_directories(new_tree / "empty");
        const RunResult packed = pack(
            old_tree, base, "1.0", {"--secret-key", (signed_packages() / "second.key").string()});
        ASSERT_EQ(packed.exit_code, 0) << packed.err;
    }

    static RunResult pack(const fs::path& tree, const fs::path& to, const std::string& version,
                          std::vector<std::string> extra = {}) {
        std::vector<std::string> args = {"pack",      "--dir",     tree.string(), "--output",
                                         to.string(), "--version", version};
        args.insert(args.end(), extra.begin(), extra.end());
        return run_updater(args);
    }
    RunResult pack_delta(const fs::path& from, const std::string& version = "2.0") const {
        return pack(new_tree, delta, version, {"--base", from.string()});
    }
    // A refused delta: exit 1, the error line, nothing written beside the base.
    void expect_refused(const fs::path& from, const std::string& line,
                        const std::string& version = "2.0") const {
        const std::vector<std::string> before = names_in(out);
        const RunResult r = pack_delta(from, version);
        EXPECT_EQ(r.exit_code, 1);
        EXPECT_NE(r.err.find("[error] " + line), std::string::npos) << r.err;
        EXPECT_EQ(names_in(out), before);
    }
};

TEST_F(DeltaPack, ListsEveryFileWithHowItIsMadeAndHoldsOnlyWhatChanged) {
    const RunResult r = pack_delta(base);
    ASSERT_EQ(r.exit_code, 0) << r.err;
    EXPECT_NE(r.err.find("[info] Delta of 5 files: 2 unchanged, 1 patched, 2 whole"),
              std::string::npos)
        << r.err;
    const std::string base_sha256 = sha256_of(read_file(base));
    EXPECT_NE(record_text(delta).find("\"base_sha256\": \"" + base_sha256 + "\""),
              std::string::npos)
        << record_text(delta);
    EXPECT_EQ(record_text(base).find("base_sha256"), std::string::npos);
    EXPECT_EQ(names_in(out),
              Lines({"parvel-1.0.zip", "parvel-1.0.zip.json", "parvel-1.0.zip.minisig",
                     "parvel-2.0-from-1.0.zip", "parvel-2.0-from-1.0.zip.json"}));

    // The manifest first, the patch, then the whole files and the empty directory.
    const auto entries = zip_contents(delta);
    std::vector<std::string> names;
    for (const auto& entry : entries) {
        names.push_back(entry.name);
    }
    EXPECT_EQ(names, Lines({".delta/manifest.json", ".delta/patches/data/large.txt", "added.txt",
                            "data/small.txt", "empty/"}));
    ASSERT_EQ(entries.size(), 5u);
    EXPECT_EQ(entries[2].data, "new in 2.0");
    EXPECT_EQ(apply_patch(entries[1].data, old_large), new_large);
    EXPECT_LT(entries[1].data.size(), 200u);
    EXPECT_EQ(entries[1].method, ZIP_CM_STORE);

    const Json manifest = Json::parse(entries[0].data);
    EXPECT_EQ(manifest["format"], 1);
    EXPECT_EQ(manifest["base_package_sha256"], base_sha256);
    EXPECT_EQ(manifest["directories"], Json::array({"data", "empty"}));
    const std::string app = read_file(new_tree / "app.exe");
    const auto file = [](const std::string& path, const std::string& content, const char* source,
                         unsigned mode, const std::string& base_content) {
        Json entry = {{"path", path},
                      {"size", content.size()},
                      {"sha256", sha256_of(content)},
                      {"mode", mode},
                      {"source", source}};
        if (std::string(source) != "whole") {
            entry["base_sha256"] = sha256_of(base_content);
        }
        return entry;
    };
    const unsigned plain = is_windows() ? 0644 : permissions_of(new_tree / "added.txt");
    EXPECT_EQ(
        manifest["files"],
        Json::array({file("added.txt", "new in 2.0", "whole", plain, ""),
                     file("app.exe", app, "unchanged", 0755, app),
                     file("data/large.txt", new_large, "patched", plain, old_large),
                     file("data/small.txt", "two", "whole", plain, ""),
                     file("same.txt", "kept as it is", "unchanged", plain, "kept as it is")}));

    // The same tree and base give the same bytes.
    const std::string first = read_file(delta);
    fs::remove(delta);
    ASSERT_EQ(pack_delta(base).exit_code, 0);
    EXPECT_EQ(read_file(delta), first);
}

TEST_F(DeltaPack, RefusesABaseThatIsNotAnOlderFullPackage) {
    expect_refused(out / "missing.zip",
                   "Failed to read base package " + (out / "missing.zip").string());
    write_file(dir / "text.zip", "not a zip");
    expect_refused(dir / "text.zip", "Base package is not a full package that apply accepts: " +
                                         (dir / "text.zip").string());
    write_zip(dir / "aux.zip",
              {unix_entry("app.exe", "x", 0755), unix_entry("aux.txt", "x", 0644)});
    expect_refused(dir / "aux.zip", "Base package is not a full package that apply accepts: " +
                                        (dir / "aux.zip").string());

    // Its signature names 1.0, which 1.0 and 0.9 do not follow; a delta is no base.
    expect_refused(base, "Base package version 1.0 is not lower than 1.0: " + base.string(), "1.0");
    expect_refused(base, "Base package version 1.0 is not lower than 0.9: " + base.string(), "0.9");
    const fs::path earlier_delta = dir / "delta-1.0.zip";
    ASSERT_EQ(pack(old_tree, earlier_delta, "1.0", {"--base", base.string()}).exit_code, 1);
    fs::remove(with_suffix(base, ".minisig"));
    ASSERT_EQ(pack(old_tree, earlier_delta, "1.0", {"--base", base.string()}).exit_code, 0);
    expect_refused(earlier_delta,
                   "Base package is a delta, not a full package: " + earlier_delta.string());
}

}  // namespace
