#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace tolvane::server {

// Small UTF-8 helpers for the texts the server receives and sends.

// Decodes the character at `pos` (inside `text`) into `cp`; returns its byte
// length, or 0 when the bytes there are not a well-formed character.
std::size_t decodeUtf8(std::string_view text, std::size_t pos, char32_t& cp);

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

// Number of characters (code points) in `text`, each ill-formed byte counted
// as one.
std::size_t codePointCount(std::string_view text);

} // namespace tolvane::server
