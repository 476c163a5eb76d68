#pragma once

// The Windows side of the text module.

#include <windows.h>

#include <optional>
#include <string>

// Text in the given code page as UTF-16; nothing when a byte sequence has no exact form.
std::optional<std::wstring> widen(UINT code_page, const std::string& text);
