#pragma once

#include <filesystem>
#include <optional>
#include <string>

#include "files.h"

// The package, opened once before anything reads it and held until extraction ends, so that
// what was verified is what is installed. On Windows no one may write, rename or remove it
// meanwhile; on Linux a writer still can, and the change then shows in its state.
struct HeldPackage {
    // Opens the package, if it has a path form. One that can't be opened fails where its
    // signature is checked or where extraction reads it, as any unopenable package does.
    explicit HeldPackage(const std::optional<std::filesystem::path>& package);

    ReadOnlyFile file;
    // At the opening; nothing when it could not be opened or its state read.
    std::optional<FileState> state;
};

// True when the held package is still what it was when it was opened; logged when not. A change
// after the extraction read it would mean that the installed files are not the ones checked.
[[nodiscard]] bool package_unchanged(const HeldPackage& package, const std::string& package_text);
