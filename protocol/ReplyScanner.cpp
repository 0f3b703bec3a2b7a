#include "protocol/ReplyScanner.h"

#include <algorithm>
#include <limits>

namespace tolvane {

namespace {

struct Conversion {
    size_t width = ReplyScanner::kMaxValue;
    char delimiter = '&';
    size_t length = 0; // characters of the pattern it takes
};

// Reads "%[^D]" or "%N[^D]" at the start of `pattern`; length 0 when it is not one.
Conversion readConversion(std::string_view pattern) {
    Conversion conversion;
    size_t i = 1;
    if (i < pattern.size() && pattern[i] >= '0' && pattern[i] <= '9') {
        size_t width = 0;
        while (i < pattern.size() && pattern[i] >= '0' && pattern[i] <= '9' && width < 100000) {
            width = width * 10 + static_cast<size_t>(pattern[i] - '0');
            ++i;
        }
        conversion.width = width;
    }
    if (pattern.size() >= i + 4 && pattern.substr(i, 2) == "[^" && pattern[i + 3] == ']') {
        conversion.delimiter = pattern[i + 2];
        conversion.length = i + 4;
    }
    return conversion;
}

bool isContinuation(char c) {
    return (static_cast<unsigned char>(c) & 0xC0) == 0x80;
}

// The kept part of a value longer than `width`: cut there, or earlier at the
// start of a UTF-8 sequence the cut would split.
std::string_view keptPart(std::string_view value, size_t width) {
    if (value.size() <= width) {
        return value;
    }
    size_t cut = width;
    size_t back = 0;
    while (cut > 0 && back < 3 && isContinuation(value[cut])) {
        --cut;
        ++back;
    }
    if (cut == 0 || isContinuation(value[cut])) {
        cut = width; // not UTF-8: keep the bytes as they are
    }
    return value.substr(0, cut);
}

} // namespace

size_t ReplyScanner::scan(std::string_view text, std::string_view pattern,
                          std::span<std::string> values) {
    for (std::string& value : values) {
        value.clear();
    }
    size_t at = 0;
    size_t scanned = 0;
    for (size_t p = 0; p < pattern.size();) {
        if (pattern[p] != '%') {
            if (at >= text.size() || text[at] != pattern[p]) {
                break;
            }
            ++at;
            ++p;
            continue;
        }
        const Conversion conversion = readConversion(pattern.substr(p));
        if (conversion.length == 0 || scanned >= values.size()) {
            break;
        }
        const size_t end = std::min(text.find(conversion.delimiter, at), text.size());
        if (end == at) {
            break;
        }
        values[scanned++] = keptPart(text.substr(at, end - at), conversion.width);
        at = end;
        p += conversion.length;
    }
    return scanned;
}

std::string ReplyScanner::listPattern(std::initializer_list<std::string_view> keys) {
    std::string pattern;
    for (std::string_view key : keys) {
        pattern.append(key).append("=%[^&]&");
    }
    return pattern;
}

std::string_view ReplyScanner::from(std::string_view text, std::string_view marker, size_t start,
                                    size_t* position) {
    const size_t found = start <= text.size() ? text.find(marker, start) : std::string_view::npos;
    if (position != nullptr) {
        *position = found;
    }
    return found == std::string_view::npos ? std::string_view() : text.substr(found);
}

int32_t ReplyScanner::number(std::string_view value) {
    size_t i = 0;
    while (i < value.size() && (value[i] == ' ' || (value[i] >= '\t' && value[i] <= '\r'))) {
        ++i;
    }
    bool negative = false;
    if (i < value.size() && (value[i] == '+' || value[i] == '-')) {
        negative = value[i] == '-';
        ++i;
    }
    constexpr int64_t kLimit = int64_t{std::numeric_limits<int32_t>::max()} + 1;
    int64_t magnitude = 0;
    for (; i < value.size() && value[i] >= '0' && value[i] <= '9'; ++i) {
        magnitude = std::min(magnitude * 10 + (value[i] - '0'), kLimit);
    }
    if (negative) {
        return static_cast<int32_t>(-magnitude);
    }
    return static_cast<int32_t>(std::min(magnitude, kLimit - 1));
}

bool ReplyScanner::sameIgnoringCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) {
        return false;
    }
    for (size_t i = 0; i < a.size(); ++i) {
        const auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? char(c - 'A' + 'a') : c; };
        if (lower(a[i]) != lower(b[i])) {
            return false;
        }
    }
    return true;
}

} // namespace tolvane
