#include <windows.h>

#include <clocale>
#include <cstring>
#include <system_error>

#include "text.h"

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

std::filesystem::path to_path(const std::string& narrow) {
    if (narrow.empty()) {
        return {};
    }
    const UINT cp = file_system_code_page();
    const int length = static_cast<int>(narrow.size());
    const int wide_length =
        MultiByteToWideChar(cp, MB_ERR_INVALID_CHARS, narrow.data(), length, nullptr, 0);
    if (wide_length <= 0) {
        conversion_failed("cannot convert narrow text to a path");
    }
    std::wstring wide(static_cast<size_t>(wide_length), L'\0');
    MultiByteToWideChar(cp, MB_ERR_INVALID_CHARS, narrow.data(), length, wide.data(), wide_length);
    return std::filesystem::path(wide);
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

std::string error_text(unsigned long code) {
    constexpr DWORD flags = FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS;
    char buffer[1024];
    const DWORD languages[] = {MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US), 0,
                               MAKELANGID(LANG_NEUTRAL, SUBLANG_NEUTRAL)};
    for (DWORD language : languages) {
        DWORD length =
            FormatMessageA(flags, nullptr, code, language, buffer, sizeof buffer, nullptr);
        while (length > 0 && std::strchr(" \t\r\n", buffer[length - 1]) != nullptr) {
            --length;
        }
        if (length > 0) {
            return std::string(buffer, length);
        }
    }
    return "unknown error";
}

unsigned long rename_path(const std::filesystem::path& from, const std::filesystem::path& to) {
    if (MoveFileExW(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_COPY_ALLOWED)) {
        return 0;
    }
    return GetLastError();
}
