#pragma once

#include <string>
#include <string_view>

namespace tolvane::platform {

// Text conversions between UTF-8, UTF-16 (native byte order) and "ANSI", the
// locale's 8-bit charset. Invalid input never fails a conversion: each bad
// sequence becomes U+FFFD, and a character the target charset cannot hold
// becomes '?' in an 8-bit target, as the desktop conversions do.

std::u16string utf8ToUtf16(std::string_view text);
std::string utf16ToUtf8(std::u16string_view text);

std::string ansiToUtf8(std::string_view text);
std::string utf8ToAnsi(std::string_view text);

std::u16string ansiToUtf16(std::string_view text);
std::string utf16ToAnsi(std::u16string_view text);

// ISO-8859-1 bytes (ID3 texts) to the ANSI charset.
std::string latin1ToAnsi(std::string_view text);

// The locale's 8-bit charset as an iconv name, from LC_ALL, LC_CTYPE or LANG
// (the first one set) without touching the process locale. A plain ASCII locale
// ("C", "POSIX", ANSI_X3.4-1968) and an unknown charset give "UTF-8".
std::string ansiCharset();

// Converts between any two charsets iconv knows, with the replacements above;
// false (and `out` untouched) only when iconv knows neither name pair.
bool convertCharset(std::string_view text, const std::string& from, const std::string& to,
                    std::string& out);

// `text` in `charset` as UTF-16, only when every byte belongs to a valid
// sequence: false (and `out` untouched) for an unknown charset or an invalid
// sequence, and for a sequence cut off at the end unless `cutEndAllowed`,
// when it is dropped.
bool decodeExactly(std::string_view text, const std::string& charset, std::u16string& out,
                   bool cutEndAllowed = false);

} // namespace tolvane::platform
