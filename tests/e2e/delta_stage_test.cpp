// `stage` and `apply` of a delta package: the tree it builds from the installed files, and the
// exit code 2 by which a delta that does not fit tells the application to fetch the full package.
#include <gtest/gtest.h>
#include <zstd.h>

#include <map>
#include <memory>
#include <set>
#include <string>

#include "app_root.h"
#include "delta_manifest.h"
#include "digest.h"
#include "support.h"
#include "zip_builder.h"

using namespace support;

namespace {

struct TreeFile {
    std::string data;
    std::uint32_t mode = 0644;
};
using Tree = std::map<std::string, TreeFile>;

std::string sha256_of(const std::string& data) {
    Sha256 sha;
    EXPECT_TRUE(sha.update(reinterpret_cast<const unsigned char*>(data.data()), data.size()));
    return to_hex(*sha.finish());
}

// A zstd patch as pack makes one: the old bytes as the reference prefix.
std::string patch_of(const std::string& old_data, const std::string& new_data) {
    const std::unique_ptr<ZSTD_CCtx, decltype(&ZSTD_freeCCtx)> context(ZSTD_createCCtx(),
                                                                       ZSTD_freeCCtx);
    ZSTD_CCtx_setParameter(context.get(), ZSTD_c_compressionLevel, 19);
    ZSTD_CCtx_setParameter(context.get(), ZSTD_c_enableLongDistanceMatching, 1);
    ZSTD_CCtx_setParameter(context.get(), ZSTD_c_windowLog, 27);
    ZSTD_CCtx_refPrefix(context.get(), old_data.data(), old_data.size());
    std::string out(ZSTD_compressBound(new_data.size()), '\0');
    const std::size_t size =
        ZSTD_compress2(context.get(), out.data(), out.size(), new_data.data(), new_data.size());
    EXPECT_FALSE(ZSTD_isError(size));
    out.resize(size);
    return out;
}

std::vector<ZipEntry> package_entries(const Tree& tree, const std::vector<std::string>& dirs) {
    std::vector<ZipEntry> entries;
    for (const std::string& dir : dirs) {
        entries.push_back(directory(dir + "/"));
    }
    for (const auto& [path, file] : tree) {
        entries.push_back(unix_entry(path, file.data, 0100000 | file.mode));
    }
    return entries;
}

// What a stage leaves for each path: the bytes (summarised), the mode and the time.
std::map<std::string, std::string> snapshot(const fs::path& dir) {
    std::map<std::string, std::string> found;
    for (const auto& entry : fs::recursive_directory_iterator(dir)) {
        const std::string time =
            std::to_string(fs::last_write_time(entry.path()).time_since_epoch().count());
        const std::string path = entry.path().lexically_relative(dir).generic_string();
        found[path] = entry.is_directory()
                          ? "directory"
                          : summary(read_file(entry.path())) + " mode " +
                                std::to_string(permissions_of(entry.path())) + " at " + time;
    }
    return found;
}

struct DeltaStage : AppRoot {
    std::string version = "2.0";
    fs::path full = dir / "full.zip";
    std::string big_old = big_text("old");
    std::string big_new = big_text("new");
    // 1.0, installed; 2.0, packaged whole and as a delta against 1.0: one file the same, one with
    // only its mode changed, one patched, one added, one removed, an empty directory added.
    Tree old_tree = {{"app.exe", {app_bytes, 0755}},
                     {"same.txt", {"same"}},
                     {"mode.txt", {"mode", 0644}},
                     {"lib/big.bin", {big_old}},
                     {"gone.txt", {"gone"}}};
    Tree new_tree = {{"app.exe", {app_bytes, 0755}},
                     {"same.txt", {"same"}},
                     {"mode.txt", {"mode", 0600}},
                     {"lib/big.bin", {big_new}},
                     {"added/new.txt", {"added"}}};
    std::vector<std::string> new_dirs = {"empty"};

    static std::string big_text(const std::string& which) {
        std::string text;
        for (int i = 0; i < 20000; ++i) {
            text += "line " + std::to_string(i) + (i == 777 ? which : "") + "\n";
        }
        return text;
    }

    void install(const Tree& tree) const {
        for (const auto& [path, file] : tree) {
            fs::create_directories((current / path).parent_path());
            write_file(current / path, file.data);
            fs::permissions(current / path, static_cast<fs::perms>(file.mode));
        }
        write_file(version_file, "1.0\r\n");
    }

    DeltaManifest manifest_of(const Tree& base) const {
        DeltaManifest manifest;
        manifest.base_package_sha256 = std::string(64, 'a');
        std::set<std::string> directories(new_dirs.begin(), new_dirs.end());
        for (const auto& [path, file] : new_tree) {
            for (std::size_t at = path.find('/'); at != std::string::npos;
                 at = path.find('/', at + 1)) {
                directories.insert(path.substr(0, at));
            }
        }
        manifest.directories.assign(directories.begin(), directories.end());
        for (const auto& [path, file] : new_tree) {
            DeltaFile entry{path,      file.data.size(),   sha256_of(file.data),
                            file.mode, DeltaSource::whole, {}};
            const auto old = base.find(path);
            if (old != base.end()) {
                entry.source =
                    old->second.data == file.data ? DeltaSource::unchanged : DeltaSource::patched;
                entry.base_sha256 = sha256_of(old->second.data);
            }
            manifest.files.push_back(entry);
        }
        return manifest;
    }

    // The delta of new_tree against `base`, its manifest as given; `patches` replaces the patch
    // entries' data by path.
    void write_delta(const Tree& base, const DeltaManifest& manifest,
                     const std::map<std::string, std::string>& patches = {}) const {
        std::vector<ZipEntry> entries = {
            {std::string(delta_manifest_entry), manifest_json(manifest)}};
        for (const DeltaFile& file : manifest.files) {
            const std::string& data = new_tree.at(file.path).data;
            if (file.source == DeltaSource::whole) {
                entries.push_back(unix_entry(file.path, data, 0100000 | file.mode));
            } else if (file.source == DeltaSource::patched) {
                const auto given = patches.find(file.path);
                ZipEntry patch{patch_entry_name(file.path),
                               given != patches.end() ? given->second
                                                      : patch_of(base.at(file.path).data, data)};
                patch.method = method_stored;
                entries.push_back(patch);
            }
        }
        write_zip(package, entries);
    }
    void write_delta() const { write_delta(old_tree, manifest_of(old_tree)); }

    RunResult stage(const fs::path& which) const {
        Args args = stage_command(version);
        args.at(2) = which.string();
        return run_updater(args);
    }
    RunResult stage() const { return stage(package); }

    Lines delta_lines(int from) const {
        return {"info Staging " + package.string() + " -> current.new/ (delta from " +
                std::to_string(from) + " installed files)"};
    }
    // A delta that can't be used: exit 2, nothing staged, nothing installed changed.
    void expect_unusable(const std::string& why) const {
        const std::map<std::string, std::string> before = snapshot(current);
        EXPECT_EQ(stage().exit_code, 2) << why;
        const Lines lines = log();
        ASSERT_GE(lines.size(), 2u);
        EXPECT_EQ(Lines(lines.end() - 2, lines.end()), Lines({why, "error Staging failed"}));
        EXPECT_EQ(names_in(root), Args({".version", "current", "updater.log"}));
        EXPECT_EQ(snapshot(current), before);
    }
};

// The tree built from the installed files and the delta is the full package's, to the mode and
// the time of each file; staged again it is kept, and the apply swaps it in.
TEST_F(DeltaStage, BuildsTheFullPackagesTreeAndApplySwapsItIn) {
    install(old_tree);
    write_zip(full, package_entries(new_tree, new_dirs));
    ASSERT_EQ(stage(full).exit_code, 0);
    const std::map<std::string, std::string> from_full = snapshot(staged);
    fs::remove_all(staged);
    fs::remove(stamp);

    write_delta();
    EXPECT_EQ(stage().exit_code, 0);
    Lines expected = delta_lines(4);
    expected.push_back("info Built 5 files: 3 unchanged, 1 patched, 1 whole");
    expected.push_back("info Staged version 2.0");
    EXPECT_EQ(log(), expected);
    EXPECT_EQ(snapshot(staged), from_full);
    EXPECT_EQ(read_file(current / "lib/big.bin"), big_old);

    EXPECT_EQ(stage().exit_code, 0);
    EXPECT_EQ(log(), Lines({"info Already staged: version 2.0"}));

    EXPECT_EQ(run_updater(apply_command(0, version)).exit_code, 0);
    EXPECT_EQ(log().at(0), "info Using staged installation of version 2.0");
    std::map<std::string, std::string> swapped = snapshot(current);
    swapped.erase("starts.txt");  // the started application's record
    EXPECT_EQ(swapped, from_full);
    EXPECT_EQ(read_file(version_file), "2.0\r\n");
}

TEST_F(DeltaStage, DeltaThatDoesNotFitExitsTwoAndLeavesNothing) {
    install(old_tree);
    write_delta();
    // An installed file changed, then one missing.
    write_file(current / "lib/big.bin", big_old + "x");
    expect_unusable("error Installed file does not match the delta's base: lib/big.bin");
    write_file(current / "lib/big.bin", big_old);
    fs::remove(current / "same.txt");
    expect_unusable("error Installed file does not match the delta's base: same.txt");
    write_file(current / "same.txt", "same");

    // A delta made against another release.
    Tree other = old_tree;
    other["mode.txt"].data = "other";
    write_delta(other, manifest_of(other));
    expect_unusable("error Installed file does not match the delta's base: mode.txt");

    // Patches whose entries pass the package's checks: not a zstd frame, and one that decodes to
    // other bytes.
    write_delta(old_tree, manifest_of(old_tree), {{"lib/big.bin", "not a zstd frame"}});
    expect_unusable("error Patch failed for lib/big.bin: Unknown frame descriptor");
    write_delta(old_tree, manifest_of(old_tree),
                {{"lib/big.bin", patch_of(big_old, big_new + "more")}});
    expect_unusable("error Built file does not match the delta: lib/big.bin");
    // A whole file whose entry holds other bytes than the manifest lists.
    DeltaManifest lying = manifest_of(old_tree);
    lying.files.front().sha256 = sha256_of("other");
    ASSERT_EQ(lying.files.front().path, "added/new.txt");
    write_delta(old_tree, lying);
    expect_unusable("error Built file does not match the delta: added/new.txt");
}

TEST_F(DeltaStage, MalformedOrUnknownManifestExitsTwo) {
    install(old_tree);
    write_zip(package, {{".delta/manifest.json", "{\"format\": 9}"}});
    expect_unusable("error Unsupported delta format 9");
    write_zip(package, {{".delta/manifest.json", "[1, 2"}});
    expect_unusable("error Malformed delta manifest");
    DeltaManifest escaping = manifest_of(old_tree);
    escaping.files.front().path = "../added.txt";
    write_zip(package, {{".delta/manifest.json", manifest_json(escaping)}});
    expect_unusable("error Malformed delta manifest");
    EXPECT_TRUE(contains(log(), "error Unsafe path in delta manifest: ../added.txt"));
}

// An apply of a delta without its stage builds the stage before the wait; one that can't be used
// moves nothing and starts the installed application to learn of it.
TEST_F(DeltaStage, ApplyStagesTheDeltaFirstOrExitsTwo) {
    install(old_tree);
    write_delta();
    write_file(current / "same.txt", "changed");
    EXPECT_EQ(run_updater(apply_command(0, version)).exit_code, 2);
    EXPECT_TRUE(contains(log(), "error Installed file does not match the delta's base: same.txt"));
    EXPECT_TRUE(contains(log(), "error Staging failed"));
    EXPECT_EQ(starts().at(0).args, Args({"--update-failed"}));
    EXPECT_EQ(read_file(version_file), "1.0\r\n");
    EXPECT_EQ(read_file(current / "same.txt"), "changed");
    EXPECT_EQ(names_in(root), Args({".version", "current", "updater.log"}));

    write_file(current / "same.txt", "same");
    EXPECT_EQ(run_updater(apply_command(0, version)).exit_code, 0);
    const Lines lines = log();
    EXPECT_EQ(lines.at(0), delta_lines(4).at(0));
    EXPECT_TRUE(contains(lines, "info Process 0 not found, proceeding"));
    EXPECT_EQ(lines.back(), "info Update complete, exiting");
    EXPECT_EQ(read_file(current / "lib/big.bin"), big_new);
    EXPECT_FALSE(fs::exists(current / "gone.txt"));
    EXPECT_EQ(names_in(root), Args({".version", "current", "updater.log"}));
}

// A stage from a delta killed half way leaves a tree that the full package's stage replaces.
TEST_F(DeltaStage, KilledDeltaStageThenFullPackageStageCompletes) {
    for (int i = 0; i < 3000; ++i) {
        new_tree["data/" + std::to_string(i) + ".txt"] = {std::string(512, 'x')};
    }
    new_dirs.push_back("data");
    install(old_tree);
    write_delta();
    const long pid = spawn(updater_exe(), stage_command(version));
    EXPECT_TRUE(wait_until([&] { return fs::exists(staged / "data") || !process_alive(pid); }));
    kill_process(pid);
    EXPECT_FALSE(fs::exists(stamp));

    write_zip(full, package_entries(new_tree, new_dirs));
    EXPECT_EQ(stage(full).exit_code, 0);
    EXPECT_EQ(log().back(), "info Staged version 2.0");
    EXPECT_EQ(tree(staged).size(), new_tree.size());
    EXPECT_TRUE(fs::exists(stamp));
}

}  // namespace
