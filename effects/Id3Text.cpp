#include "effects/Id3Text.h"

#include "effects/Id3Genres.h"
#include "platform/Text.h"

#include <algorithm>
#include <string_view>

namespace tolvane {

namespace {

using Bytes = std::span<const uint8_t>;

constexpr uint8_t kLatin1 = 0;
constexpr uint8_t kUtf16WithMark = 1;
constexpr uint8_t kUtf16BigEndian = 2;
constexpr uint8_t kUtf8 = 3;

std::string_view charsOf(Bytes bytes) {
    return {reinterpret_cast<const char*>(bytes.data()), bytes.size()};
}

Bytes untilZero(Bytes bytes) {
    return bytes.first(
        static_cast<size_t>(std::find(bytes.begin(), bytes.end(), 0) - bytes.begin()));
}

// The bytes a cut to the limit reads: the limit and the few after it that
// tell whether a UTF-8 sequence runs across it. The terminator is looked for
// only there, so a huge frame is not read to its end.
Bytes head(Bytes bytes) {
    return bytes.first(std::min(bytes.size(), kId3TextLimit + 4));
}

// A text of one byte per character, cut to the limit.
Bytes cutBytes(Bytes text) {
    return text.first(std::min(text.size(), kId3TextLimit));
}

// UTF-8 text cut to the limit before the sequence the limit falls in.
Bytes cutUtf8(Bytes text) {
    if (text.size() <= kId3TextLimit) {
        return text;
    }
    size_t length = kId3TextLimit;
    // A sequence is at most 4 bytes: back over at most 3 continuation bytes.
    while (length > kId3TextLimit - 3 && (text[length] & 0xC0) == 0x80) {
        --length;
    }
    return text.first(length);
}

bool isHighSurrogate(char16_t unit) {
    return unit >= 0xD800 && unit <= 0xDBFF;
}

bool isUtf16(uint8_t encoding) {
    return encoding == kUtf16WithMark || encoding == kUtf16BigEndian;
}

// Offset of the first zero UTF-16 unit; without one, the whole units' length.
size_t utf16Length(Bytes bytes) {
    for (size_t i = 0; i + 1 < bytes.size(); i += 2) {
        if (bytes[i] == 0 && bytes[i + 1] == 0) {
            return i;
        }
    }
    return bytes.size() & ~size_t{1};
}

// UTF-16 text in the byte order a leading mark gives (the mark is dropped), else
// in `bigEndian` order, up to its zero unit.
std::string utf16ToText(Bytes bytes, bool bigEndian) {
    if (bytes.size() >= 2 && bytes[0] == 0xFF && bytes[1] == 0xFE) {
        bigEndian = false;
        bytes = bytes.subspan(2);
    } else if (bytes.size() >= 2 && bytes[0] == 0xFE && bytes[1] == 0xFF) {
        bigEndian = true;
        bytes = bytes.subspan(2);
    }
    // Some writers put a zero character before the text itself.
    if (bytes.size() > 5 && bytes[0] == 0 && bytes[1] == 0) {
        bytes = bytes.subspan(2);
    }
    constexpr size_t kMaxUnits = kId3TextLimit / 2;
    std::u16string units;
    units.reserve(std::min(bytes.size() / 2, kMaxUnits));
    for (size_t i = 0; i + 1 < bytes.size(); i += 2) {
        const auto high = bigEndian ? bytes[i] : bytes[i + 1];
        const auto low = bigEndian ? bytes[i + 1] : bytes[i];
        const auto unit = static_cast<char16_t>(high << 8 | low);
        if (unit == 0) {
            break;
        }
        if (units.size() == kMaxUnits) {
            // Cut here; a pair's first half without its second is no character.
            if (isHighSurrogate(units.back())) {
                units.pop_back();
            }
            break;
        }
        units.push_back(unit);
    }
    return platform::utf16ToAnsi(units);
}

// The text `bytes` holds in `encoding`, up to its terminator.
std::string decodeString(uint8_t encoding, Bytes bytes) {
    switch (encoding) {
    case kLatin1:
        return platform::latin1ToAnsi(charsOf(cutBytes(untilZero(head(bytes)))));
    case kUtf16WithMark:
        return utf16ToText(bytes, false);
    case kUtf16BigEndian:
        return utf16ToText(bytes, true);
    case kUtf8:
        return platform::utf8ToAnsi(charsOf(cutUtf8(untilZero(head(bytes)))));
    default:
        return std::string(charsOf(cutBytes(untilZero(head(bytes)))));
    }
}

} // namespace

std::string decodeId3v1Text(Bytes field, bool trimBlanks) {
    Bytes text = untilZero(field);
    while (trimBlanks && !text.empty() && text.back() == ' ') {
        text = text.first(text.size() - 1);
    }
    return platform::latin1ToAnsi(charsOf(text));
}

bool decodeId3Text(Bytes frame, std::string& out) {
    out.clear();
    if (frame.size() < 2) {
        return false;
    }
    const uint8_t encoding = frame[0];
    out = encoding <= kUtf8 ? decodeString(encoding, frame.subspan(1))
                            : std::string(charsOf(cutBytes(untilZero(head(frame)))));
    return !out.empty();
}

bool decodeId3Comment(Bytes frame, std::string& out) {
    out.clear();
    if (frame.size() <= 5) {
        return false;
    }
    const uint8_t encoding = frame[0];
    const Bytes afterLanguage = frame.subspan(4);
    const size_t descriptionLength =
        isUtf16(encoding) ? utf16Length(afterLanguage) : untilZero(afterLanguage).size();
    out = decodeString(encoding, afterLanguage.first(descriptionLength));
    if (out.empty()) {
        const size_t terminator = isUtf16(encoding) ? 2 : 1;
        const size_t textStart = std::min(afterLanguage.size(), descriptionLength + terminator);
        out = decodeString(encoding, afterLanguage.subspan(textStart));
    }
    return !out.empty();
}

void applyId3GenreNumber(std::string& genre) {
    if (genre.size() < 3 || genre[0] != '(' || genre[1] == '(') {
        return;
    }
    const size_t close = genre.find(')', 1);
    if (close < 2 || close > 4) {
        return;
    }
    unsigned number = 0;
    for (size_t i = 1; i < close; ++i) {
        if (genre[i] < '0' || genre[i] > '9') {
            return;
        }
        number = number * 10 + static_cast<unsigned>(genre[i] - '0');
    }
    if (number < kId3GenreCount) {
        genre = id3GenreName(number);
    }
}

} // namespace tolvane
