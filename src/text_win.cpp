#include <clocale>
#include <cstring>
#include <system_error>

#include "text.h"
#include "text_win.h"

namespace {

// The code page the C runtime and the file APIs use for narrow file names.
UINT file_system_code_page() {
    const char* locale = std::setlocale(LC_CTYPE, nullptr);
    if (locale != nullptr && std::strstr(locale, ".65001") != nullptr) {
        return CP_UTF8;
    }
    return AreFileApisANSI() ? CP_ACP : CP_OEMCP;
}

[[noreturn]] void conversion_failed(const char* what) {
    throw std::filesystem::filesystem_error(what,
                                            std::make_error_code(std::errc::illegal_byte_sequence));
}

}  // namespace

std::optional<std::wstring> widen(UINT code_page, const std::string& text) {
    if (text.empty()) {
        return std::wstring();
    }
    const int length = static_cast<int>(text.size());
    const int wide_length =
        MultiByteToWideChar(code_page, MB_ERR_INVALID_CHARS, text.data(), length, nullptr, 0);
    if (wide_length <= 0) {
        return std::nullopt;
    }
    std::wstring wide(static_cast<size_t>(wide_length), L'\0');
    MultiByteToWideChar(code_page, MB_ERR_INVALID_CHARS, text.data(), length, wide.data(),
                        wide_length);
    return wide;
}

std::filesystem::path to_path(const std::string& narrow) {
    std::optional<std::wstring> wide = widen(file_system_code_page(), narrow);
    if (!wide) {
        conversion_failed("cannot convert narrow text to a path");
    }
    return std::filesystem::path(std::move(*wide));
}

std::string to_narrow(const std::filesystem::path& path) {
    const std::wstring& wide = path.native();
    if (wide.empty()) {
        return {};
    }
    const UINT cp = file_system_code_page();
    // UTF-8 can represent every character and rejects the best-fit flags.
    const DWORD flags = cp == CP_UTF8 ? WC_ERR_INVALID_CHARS : WC_NO_BEST_FIT_CHARS;
    BOOL used_default = FALSE;
    BOOL* used_default_out = cp == CP_UTF8 ? nullptr : &used_default;
    const int length = static_cast<int>(wide.size());
    const int narrow_length =
        WideCharToMultiByte(cp, flags, wide.data(), length, nullptr, 0, nullptr, used_default_out);
    if (narrow_length <= 0 || used_default) {
        conversion_failed("cannot convert a path to narrow text");
    }
    std::string narrow(static_cast<size_t>(narrow_length), '\0');
    WideCharToMultiByte(cp, flags, wide.data(), length, narrow.data(), narrow_length, nullptr,
                        used_default_out);
    return narrow;
}

std::optional<std::filesystem::path> utf8_to_path(const std::string& utf8) {
    std::optional<std::wstring> wide = widen(CP_UTF8, utf8);
    if (!wide) {
        return std::nullopt;
    }
    return std::filesystem::path(std::move(*wide));
}
