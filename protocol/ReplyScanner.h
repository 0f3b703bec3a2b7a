#pragma once

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <span>
#include <string>
#include <string_view>

namespace tolvane {

// Reads protocol replies: one line of key=value pairs joined by "&".
//
// A scan pattern is literal text and conversions "%[^D]" (a value running up
// to the delimiter D or the end of the text), optionally with a width,
// "%511[^&]". A value holds at most kMaxValue bytes unless its width says
// otherwise; the rest of a longer value is skipped (the cut moved back to the
// start of a UTF-8 sequence it would split) and the scan goes on after it. The
// scan stops at the first literal that does not match and at the first empty
// value; the values it did not reach stay empty.
class ReplyScanner {
  public:
    static constexpr size_t kMaxValue = 255;

    // Matches `pattern` from the first byte of `text`, writing one value per
    // conversion into `values` (which is cleared first); the number of values
    // scanned.
    static size_t scan(std::string_view text, std::string_view pattern,
                       std::span<std::string> values);

    // "k1=%[^&]&k2=%[^&]&...&" for counted-list keys such as "title3".
    static std::string listPattern(std::initializer_list<std::string_view> keys);

    // The text from the first `marker` at or after `start` on (strstr), or an
    // empty view; `position` receives where it was found, or npos.
    static std::string_view from(std::string_view text, std::string_view marker, size_t start,
                                 size_t* position = nullptr);

    // The leading decimal number of a value as atol reads it (blanks, a sign,
    // digits; anything else 0), held to the 32-bit range.
    static int32_t number(std::string_view value);

    // ASCII comparison ignoring case, as status values are compared.
    static bool sameIgnoringCase(std::string_view a, std::string_view b);
};

} // namespace tolvane
