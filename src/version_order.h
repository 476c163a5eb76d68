#pragma once

#include <filesystem>
#include <optional>
#include <string>

#include "native_error.h"

// The installed version as the order check sees it: the first line of root/.version without its
// line end, read without following a link and from at most 256 bytes. Nothing when the file is
// missing, unreadable, a link or anything but a regular file, when the line is longer, or when
// it holds control characters.
std::optional<std::string> installed_version(const std::filesystem::path& root);

// The order check of `stage` and `apply`: false when `version` is lower than the installed
// version and `allow_downgrade` is not set ("Refusing to downgrade from {} to {}"). A downgrade
// that is allowed logs "Downgrading from {} to {}". Nothing is compared, and nothing logged, when
// either text is not a comparable version or nothing installed can be read.
[[nodiscard]] bool version_may_install(const std::filesystem::path& root,
                                       const std::string& version, bool allow_downgrade);

// Platform piece: up to `limit` bytes from the start of the regular file at path, opened without
// following a link at its name (a link, a directory or a device fails).
NativeError read_file_start_unfollowed(const std::filesystem::path& path, std::size_t limit,
                                       std::string& text);
