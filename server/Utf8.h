#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace tolvane::server {

// Small UTF-8 helpers for the texts the server receives and sends.

// True when `text` is well-formed UTF-8 (no overlong forms, surrogates or
// code points above U+10FFFF).
bool isValidUtf8(std::string_view text);

// `text` with every ill-formed sequence replaced by U+FFFD.
std::string repairUtf8(std::string_view text);

// The longest prefix of well-formed `text` that fits in `maxBytes` without
// splitting a character.
std::string_view cutUtf8(std::string_view text, std::size_t maxBytes);

// Length of well-formed `text` in UTF-16 code units: the way the client's text
// box counts characters.
std::size_t utf16Length(std::string_view text);

// True when `text` holds at least one CJK unified ideograph.
bool containsHan(std::string_view text);

} // namespace tolvane::server
