#include <algorithm>
#include <optional>

#include "case_folding.h"

namespace {

// The code point that starts at text[i], and its length; nothing for bytes that are not UTF-8.
std::optional<std::pair<char32_t, std::size_t>> decode(const std::string& text, std::size_t i) {
    const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(text[k]); };
    const unsigned char lead = byte(i);
    const std::size_t length = lead < 0x80   ? 1
                               : lead < 0xC2 ? 0
                               : lead < 0xE0 ? 2
                               : lead < 0xF0 ? 3
                               : lead < 0xF5 ? 4
                                             : 0;
    if (length == 0 || i + length > text.size()) {
        return std::nullopt;
    }
    char32_t code = length == 1 ? lead : lead & (0x7F >> length);
    for (std::size_t k = 1; k < length; ++k) {
        if ((byte(i + k) & 0xC0) != 0x80) {
            return std::nullopt;
        }
        code = (code << 6) | (byte(i + k) & 0x3F);
    }
    return std::make_pair(code, length);
}

void encode(char32_t code, std::string& out) {
    if (code < 0x80) {
        out += static_cast<char>(code);
    } else if (code < 0x800) {
        out += static_cast<char>(0xC0 | (code >> 6));
        out += static_cast<char>(0x80 | (code & 0x3F));
    } else if (code < 0x10000) {
        out += static_cast<char>(0xE0 | (code >> 12));
        out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (code & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (code >> 18));
        out += static_cast<char>(0x80 | ((code >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (code & 0x3F));
    }
}

char32_t fold(char32_t code) {
    if (code < 0x80) {
        return code >= 'A' && code <= 'Z' ? code - 'A' + 'a' : code;
    }
    const CaseFold* end = case_folds + case_fold_count;
    const CaseFold* found = std::lower_bound(
        case_folds, end, code, [](const CaseFold& fold, char32_t c) { return fold.from < c; });
    return found != end && found->from == code ? found->to : code;
}

}  // namespace

std::string fold_case(const std::string& utf8) {
    std::string folded;
    folded.reserve(utf8.size());
    for (std::size_t i = 0; i < utf8.size();) {
        const auto decoded = decode(utf8, i);
        if (!decoded) {
            folded += utf8[i++];
            continue;
        }
        encode(fold(decoded->first), folded);
        i += decoded->second;
    }
    return folded;
}
