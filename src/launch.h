#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "native_error.h"

// The command line a program is started with: the executable in double quotes, then, when there
// are arguments, one space and the argument text exactly as given.
std::string quoted_command_line(const std::string& exe_text, const std::string& args);

// Starts `exe` detached, in its own directory, with `args` appended to its command line.
// The outcome is logged; the caller is told nothing.
void launch_process(const std::filesystem::path& exe, const std::string& args);

// Starts a command line as an independent process that the updater never waits for, in
// working_dir (nothing: the updater's own).
NativeError start_detached(const std::string& command_line,
                           const std::optional<std::string>& working_dir);

// The path as the system's process start takes it: on Windows a path past the start's length
// limit is given in its short (8.3) form where the volume has one; elsewhere, and for short
// paths, the path itself.
std::filesystem::path startable_path(const std::filesystem::path& path);

// Splits a command line into arguments the way the Windows C runtime does, so that a program
// started by the POSIX layer sees what it would see on Windows.
std::vector<std::string> split_command_line(const std::string& command_line);
