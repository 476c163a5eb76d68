#pragma once

#include <filesystem>
#include <optional>
#include <string>

#include "files.h"

// The package, opened once before anything reads it and held until extraction ends, so that
// what was verified is what is installed. On Windows no one may write, rename or remove it
// meanwhile; on Linux a writer still can, and the change then shows in its state.
struct HeldPackage {
    // Opens the package named `text`, if the name has a path form. One that can't be opened
    // fails where its signature is checked or where extraction reads it, as any unopenable
    // package does. Anything but a regular file at the name is not opened at all.
    explicit HeldPackage(std::string text);

    // The name as given, which every log line names it by.
    std::string text;
    // Nothing when the name has no path form: it then fails as a package that can't be opened.
    std::optional<std::filesystem::path> path;
    // A directory, FIFO, device or socket at the name: it can never be installed.
    bool other_than_a_file = false;
    ReadOnlyFile file;
    // At the opening; nothing when it could not be opened or its state read.
    std::optional<FileState> state;
};

// True when the held package is still what it was when it was opened; logged when not. A change
// after the extraction read it would mean that the installed files are not the ones checked.
[[nodiscard]] bool package_unchanged(const HeldPackage& package);
