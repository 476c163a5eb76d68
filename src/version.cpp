#include "version.h"

#include <cstdint>
#include <string>
#include <vector>

namespace {

// One dot-separated identifier of a pre-release: numeric ones order by value, below any other.
struct Identifier {
    bool numeric = false;
    std::uint64_t number = 0;
    std::string_view text;
};

struct ParsedVersion {
    std::vector<std::uint64_t> numbers;
    std::vector<Identifier> pre_release;
};

[[nodiscard]] bool is_digit(char c) {
    return c >= '0' && c <= '9';
}

[[nodiscard]] bool is_identifier_character(char c) {
    return is_digit(c) || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '-';
}

// The value of a non-empty run of digits; nothing beyond 64 bits.
std::optional<std::uint64_t> parse_number(std::string_view digits) {
    if (digits.empty()) {
        return std::nullopt;
    }
    std::uint64_t value = 0;
    for (const char c : digits) {
        if (!is_digit(c)) {
            return std::nullopt;
        }
        const auto digit = static_cast<std::uint64_t>(c - '0');
        if (value > (UINT64_MAX - digit) / 10) {
            return std::nullopt;
        }
        value = value * 10 + digit;
    }
    return value;
}

std::vector<std::string_view> split_at_dots(std::string_view text) {
    std::vector<std::string_view> parts;
    for (;;) {
        const std::size_t dot = text.find('.');
        parts.push_back(text.substr(0, dot));
        if (dot == std::string_view::npos) {
            return parts;
        }
        text.remove_prefix(dot + 1);
    }
}

std::optional<Identifier> parse_identifier(std::string_view text) {
    if (text.empty()) {
        return std::nullopt;
    }
    bool all_digits = true;
    for (const char c : text) {
        if (!is_identifier_character(c)) {
            return std::nullopt;
        }
        all_digits = all_digits && is_digit(c);
    }
    if (!all_digits) {
        return Identifier{false, 0, text};
    }
    const std::optional<std::uint64_t> number = parse_number(text);
    if (!number) {
        return std::nullopt;
    }
    return Identifier{true, *number, text};
}

[[nodiscard]] bool are_identifiers(std::string_view text) {
    for (const std::string_view part : split_at_dots(text)) {
        if (!parse_identifier(part)) {
            return false;
        }
    }
    return true;
}

std::optional<ParsedVersion> parse_version(std::string_view text) {
    const std::size_t plus = text.find('+');
    if (plus != std::string_view::npos && !are_identifiers(text.substr(plus + 1))) {
        return std::nullopt;
    }
    text = text.substr(0, plus);
    ParsedVersion version;
    const std::size_t dash = text.find('-');
    if (dash != std::string_view::npos) {
        for (const std::string_view part : split_at_dots(text.substr(dash + 1))) {
            const std::optional<Identifier> identifier = parse_identifier(part);
            if (!identifier) {
                return std::nullopt;
            }
            version.pre_release.push_back(*identifier);
        }
    }
    for (const std::string_view part : split_at_dots(text.substr(0, dash))) {
        const std::optional<std::uint64_t> number = parse_number(part);
        if (!number) {
            return std::nullopt;
        }
        version.numbers.push_back(*number);
    }
    return version;
}

template <typename T>
int order(const T& a, const T& b) {
    return a < b ? -1 : (b < a ? 1 : 0);
}

int compare_numbers(const std::vector<std::uint64_t>& a, const std::vector<std::uint64_t>& b) {
    for (std::size_t i = 0; i < a.size() || i < b.size(); ++i) {
        const std::uint64_t x = i < a.size() ? a[i] : 0;
        const std::uint64_t y = i < b.size() ? b[i] : 0;
        if (x != y) {
            return order(x, y);
        }
    }
    return 0;
}

int compare_identifiers(const Identifier& a, const Identifier& b) {
    if (a.numeric != b.numeric) {
        return a.numeric ? -1 : 1;
    }
    return a.numeric ? order(a.number, b.number) : order(a.text, b.text);
}

// A version without a pre-release orders after every pre-release of it; otherwise the
// identifiers decide in turn, and a shorter list that agrees throughout orders first.
int compare_pre_releases(const std::vector<Identifier>& a, const std::vector<Identifier>& b) {
    if (a.empty() || b.empty()) {
        return order(b.size(), a.size());
    }
    for (std::size_t i = 0; i < a.size() && i < b.size(); ++i) {
        if (const int result = compare_identifiers(a[i], b[i]); result != 0) {
            return result;
        }
    }
    return order(a.size(), b.size());
}

}  // namespace

bool is_comparable_version(std::string_view text) {
    return parse_version(text).has_value();
}

std::optional<int> compare_versions(std::string_view a, std::string_view b) {
    const std::optional<ParsedVersion> x = parse_version(a);
    const std::optional<ParsedVersion> y = parse_version(b);
    if (!x || !y) {
        return std::nullopt;
    }
    if (const int result = compare_numbers(x->numbers, y->numbers); result != 0) {
        return result;
    }
    return compare_pre_releases(x->pre_release, y->pre_release);
}
