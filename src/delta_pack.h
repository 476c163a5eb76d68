#pragma once

// `pack --base`: the entries of a delta package, which makes a tree from the tree inside a
// previous full package (the base). Each file of the new tree is unchanged (taken from the
// installed file), patched (a zstd patch against the installed file) or whole (an ordinary
// entry); `.delta/manifest.json` says which (delta_manifest.h). The README documents the layout.

#include <cstddef>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "zip_writer.h"

// A directory beside the output that holds what making a delta needs for a while: the base's tree
// extracted, the patches and the manifest. Removed with everything in it when it goes.
class DeltaWorkspace {
  public:
    explicit DeltaWorkspace(std::filesystem::path dir) : dir_(std::move(dir)) {}
    ~DeltaWorkspace();
    DeltaWorkspace(const DeltaWorkspace&) = delete;
    DeltaWorkspace& operator=(const DeltaWorkspace&) = delete;

    // Creates it empty (whatever an earlier run left there goes); false when that fails (logged).
    [[nodiscard]] bool create();
    [[nodiscard]] std::filesystem::path base_tree() const { return dir_ / "base"; }
    [[nodiscard]] std::filesystem::path patches() const { return dir_ / "patches"; }
    [[nodiscard]] std::filesystem::path manifest() const { return dir_ / "manifest.json"; }

  private:
    std::filesystem::path dir_;
    bool created_ = false;
};

// Checks the base package and extracts it into `into`, with every check extraction makes for
// apply. Refused, logged with the base's path: a version named by the signature beside it
// (`<base>.minisig`) that is not lower than `version`, a file that can't be read, a package apply
// would refuse. `sha256` gets the SHA-256 of the base's file, in lower-case hexadecimal.
[[nodiscard]] bool unpack_base(const std::filesystem::path& base, const std::string& version,
                               const std::filesystem::path& into, std::string& sha256);

struct DeltaPlan {
    // The zip's entries, in the order they are written: the manifest, the patches, then the whole
    // files and the empty directories in name order.
    std::vector<PackItem> entries;
    // The SHA-256 each whole file's entry must hold (by entry name): what the manifest lists.
    std::map<std::string, std::string> whole_sha256;
    std::size_t unchanged = 0;
    std::size_t patched = 0;
    std::size_t whole = 0;
};

// Plans the delta package of `tree` (a full package's items, in name order) against the base's
// items `base_items` (the extracted base listed the same way), writing the patches and the
// manifest into the workspace. False when the base is a delta itself (logged with `base`), or a
// file can't be read or a patch made (logged). Files are patched by one worker per core.
[[nodiscard]] bool plan_delta(const std::vector<PackItem>& tree,
                              const std::vector<PackItem>& base_items,
                              const std::filesystem::path& base, const std::string& base_sha256,
                              const DeltaWorkspace& workspace, DeltaPlan& plan);
