#pragma once

#include <optional>
#include <string_view>

// Version texts the updater can order: one or more dot-separated non-negative integers, then
// optionally `-` and a pre-release (dot-separated identifiers of ASCII letters, digits and `-`),
// then optionally `+` and build metadata (identifiers of the same kind). Leading zeros are
// allowed; a number beyond 64 bits or an empty identifier makes the text not comparable.

// True when text is such a version.
[[nodiscard]] bool is_comparable_version(std::string_view text);

// Negative, zero or positive as a orders before, the same as or after b, in Semantic Versioning
// 2.0's precedence extended to any number of numeric parts, missing parts counting as 0 (so
// 1.2 = 1.2.0 < 1.10, 2.0.0-rc.1 < 2.0.0). Build metadata takes no part. Nothing when either text
// is not comparable.
std::optional<int> compare_versions(std::string_view a, std::string_view b);
