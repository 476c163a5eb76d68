#pragma once

// The application root as the end-to-end tests of `apply`, `stage` and `confirm` set it up and
// read it back: its layout, the installation in it, the log the updater keeps there and the
// starts of the application, with the log lines those commands share.

#include <gtest/gtest.h>

#include <cstddef>
#include <string>
#include <vector>

#include "support.h"

namespace support {

using Args = std::vector<std::string>;

bool contains(const Lines& lines, const std::string& line);

// The lines an extraction of `package` into n files begins and ends with.
std::string counted_line(std::size_t n, const std::string& package);
std::string completed_line(std::size_t n);

// A file's content as installed() shows it: itself when short, else its size and a digest, so
// that a difference in a program stays readable.
std::string summary(const std::string& content);
// What an installation holds, leaving out the record of the test application's starts.
Files installed(const fs::path& at);

// A fresh application root in a temporary directory, the package beside it, and the test
// application's bytes as packages carry them.
struct AppRoot : ::testing::Test {
    AppRoot() { use_root("app root"); }

    // Moves to a fresh root `name` in the same temporary directory. The default one has a space
    // in its name, so that the started program's path needs its quotes.
    void use_root(const std::string& name);

    // `apply` and `stage` of the package into the root as `version`.
    Args apply_command(long pid, const std::string& version) const;
    Args stage_command(const std::string& version) const;

    Lines log() const { return log_lines(root / "updater.log"); }
    std::string exe_text() const { return (current / "app.exe").string(); }
    std::string launched(const std::string& args) const {
        return "info Launched: \"" + exe_text() + "\" " + args;
    }
    // The starts of the application in current/, once there are n of them.
    std::vector<AppStart> starts(std::size_t n = 1) const;

    TempDir dir;
    const std::string app_bytes = read_file(testapp_exe());
    fs::path package = dir / "package.zip";
    fs::path root;
    fs::path current;
    fs::path backup;        // current.bak
    fs::path staged;        // current.new
    fs::path marker;        // .apply-in-progress
    fs::path stamp;         // .staged
    fs::path pending;       // .update-pending
    fs::path version_file;  // .version
};

}  // namespace support
