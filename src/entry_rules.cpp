#include "entry_rules.h"

#include <algorithm>
#include <cstring>
#include <iterator>

#include "entry_paths.h"
#include "text.h"

namespace {

constexpr zip_uint32_t dos_directory_attribute = 0x10;

std::vector<std::string> elements(const std::string& name) {
    std::vector<std::string> parts;
    size_t start = 0;
    for (;;) {
        const size_t end = std::min(name.find('/', start), name.size());
        parts.push_back(name.substr(start, end - start));
        if (end == name.size()) {
            return parts;
        }
        start = end + 1;
    }
}

// Names Windows gives to devices: an element that is one of them, in any letter case, alone or
// followed by an extension or spaces, opens the device instead of a file.
bool is_device_name(const std::string& element) {
    std::string base = ascii_lower(element.substr(0, element.find('.')));
    base.erase(base.find_last_not_of(' ') + 1);
    static const char* const fixed[] = {"con", "prn", "aux", "nul", "conin$", "conout$"};
    if (std::find(std::begin(fixed), std::end(fixed), base) != std::end(fixed)) {
        return true;
    }
    // COM and LPT with a digit, or a superscript one, two or three (UTF-8).
    static const char* const numbers[] = {"0", "1", "2", "3",        "4",        "5",       "6",
                                          "7", "8", "9", "\xC2\xB9", "\xC2\xB2", "\xC2\xB3"};
    for (const char* prefix : {"com", "lpt"}) {
        for (const char* number : numbers) {
            if (base == std::string(prefix) + number) {
                return true;
            }
        }
    }
    return false;
}

// An element Windows can't hold as written: a device name, a trailing dot or space (dropped by
// the system, so that two names collide or a name changes), or a character it refuses.
bool is_unsafe_element(const std::string& element) {
    if (element.empty() || element == ".") {
        return false;
    }
    if (element == ".." || element.back() == '.' || element.back() == ' ' ||
        is_device_name(element)) {
        return true;
    }
    return std::any_of(element.begin(), element.end(), [](char c) {
        return static_cast<unsigned char>(c) < 32 || std::strchr("<>\"|?*:", c) != nullptr;
    });
}

// The length of the UTF-8 sequence starting at `at`, or 0 when none valid starts there.
std::size_t utf8_sequence_length(const std::string& text, std::size_t at) {
    const auto byte = [&text](std::size_t i) { return static_cast<unsigned char>(text[i]); };
    const unsigned char lead = byte(at);
    if (lead < 0x80) {
        return 1;
    }
    std::size_t length = 0;
    char32_t code = 0;
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
        code = lead & 0x1F;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        code = lead & 0x0F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        code = lead & 0x07;
    } else {
        return 0;
    }
    if (at + length > text.size()) {
        return 0;
    }
    for (std::size_t i = 1; i < length; ++i) {
        if ((byte(at + i) & 0xC0) != 0x80) {
            return 0;
        }
        code = (code << 6) | (byte(at + i) & 0x3F);
    }
    const bool overlong = (length == 3 && code < 0x800) || (length == 4 && code < 0x10000);
    const bool surrogate = code >= 0xD800 && code <= 0xDFFF;
    return overlong || surrogate || code > 0x10FFFF ? 0 : length;
}

}  // namespace

std::string with_forward_slashes(std::string name) {
    std::replace(name.begin(), name.end(), '\\', '/');
    return name;
}

std::vector<std::string> path_elements(const std::string& name) {
    std::vector<std::string> parts = elements(name);
    parts.erase(std::remove_if(parts.begin(), parts.end(),
                               [](const std::string& part) { return part.empty() || part == "."; }),
                parts.end());
    return parts;
}

bool is_unsafe_name(const std::string& name) {
    if (!name.empty() && name[0] == '/') {
        return true;
    }
    const std::vector<std::string> parts = elements(name);
    return std::any_of(parts.begin(), parts.end(), is_unsafe_element);
}

bool is_valid_utf8(const std::string& text) {
    for (std::size_t at = 0; at < text.size();) {
        const std::size_t length = utf8_sequence_length(text, at);
        if (length == 0) {
            return false;
        }
        at += length;
    }
    return true;
}

bool is_directory_entry(zip_t* archive, zip_uint64_t index, const std::string& name) {
    if (!name.empty() && name.back() == '/') {
        return true;
    }
    zip_uint8_t system = 0;
    zip_uint32_t attributes = 0;
    return zip_file_get_external_attributes(archive, index, 0, &system, &attributes) == 0 &&
           (attributes & dos_directory_attribute) != 0;
}

bool is_readable_method(const zip_stat_t& stat) {
    const bool stored_or_deflated =
        (stat.valid & ZIP_STAT_COMP_METHOD) != 0 &&
        (stat.comp_method == ZIP_CM_STORE || stat.comp_method == ZIP_CM_DEFLATE);
    const bool encrypted =
        (stat.valid & ZIP_STAT_ENCRYPTION_METHOD) != 0 && stat.encryption_method != ZIP_EM_NONE;
    return stored_or_deflated && !encrypted;
}

NameRefusal name_refusal(EntryPaths& paths, const std::string& name, bool directory) {
    if (is_unsafe_name(name)) {
        return NameRefusal::unsafe;
    }
    const std::vector<std::string> parts = path_elements(name);
    if (!paths.add(parts, directory)) {
        return NameRefusal::clash;
    }
    const bool native = std::all_of(parts.begin(), parts.end(),
                                    [](const std::string& part) { return utf8_to_path(part); });
    return native ? NameRefusal::none : NameRefusal::no_native_form;
}
