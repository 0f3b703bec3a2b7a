#include "server/Utf8.h"

#include <cstdint>

namespace tolvane::server {

std::size_t decodeUtf8(std::string_view text, std::size_t pos, char32_t& cp) {
    const auto byte = [&](std::size_t i) { return static_cast<uint8_t>(text[pos + i]); };
    const uint8_t lead = byte(0);
    std::size_t length = 0;
    char32_t minimum = 0;
    if (lead < 0x80) {
        cp = lead;
        return 1;
    }
    if ((lead & 0xE0) == 0xC0) {
        length = 2;
        cp = lead & 0x1F;
        minimum = 0x80;
    } else if ((lead & 0xF0) == 0xE0) {
        length = 3;
        cp = lead & 0x0F;
        minimum = 0x800;
    } else if ((lead & 0xF8) == 0xF0) {
        length = 4;
        cp = lead & 0x07;
        minimum = 0x10000;
    } else {
        return 0;
    }
    if (pos + length > text.size()) {
        return 0;
    }
    for (std::size_t i = 1; i < length; ++i) {
        if ((byte(i) & 0xC0) != 0x80) {
            return 0;
        }
        cp = (cp << 6) | (byte(i) & 0x3F);
    }
    if (cp < minimum || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) {
        return 0;
    }
    return length;
}

bool isValidUtf8(std::string_view text) {
    char32_t cp = 0;
    for (std::size_t pos = 0; pos < text.size();) {
        const std::size_t length = decodeUtf8(text, pos, cp);
        if (length == 0) {
            return false;
        }
        pos += length;
    }
    return true;
}

std::string repairUtf8(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    char32_t cp = 0;
    for (std::size_t pos = 0; pos < text.size();) {
        const std::size_t length = decodeUtf8(text, pos, cp);
        if (length == 0) {
            out += "\xEF\xBF\xBD";
            ++pos;
        } else {
            out.append(text.substr(pos, length));
            pos += length;
        }
    }
    return out;
}

std::string_view cutUtf8(std::string_view text, std::size_t maxBytes) {
    if (text.size() <= maxBytes) {
        return text;
    }
    std::size_t end = maxBytes;
    while (end > 0 && (static_cast<uint8_t>(text[end]) & 0xC0) == 0x80) {
        --end;
    }
    return text.substr(0, end);
}

std::size_t utf16Length(std::string_view text) {
    std::size_t units = 0;
    char32_t cp = 0;
    for (std::size_t pos = 0; pos < text.size();) {
        const std::size_t length = decodeUtf8(text, pos, cp);
        pos += length == 0 ? 1 : length;
        units += cp >= 0x10000 && length != 0 ? 2 : 1;
    }
    return units;
}

std::size_t codePointCount(std::string_view text) {
    std::size_t count = 0;
    char32_t cp = 0;
    for (std::size_t pos = 0; pos < text.size(); ++count) {
        const std::size_t length = decodeUtf8(text, pos, cp);
        pos += length == 0 ? 1 : length;
    }
    return count;
}

} // namespace tolvane::server
