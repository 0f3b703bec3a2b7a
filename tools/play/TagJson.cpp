#include "tools/play/TagJson.h"

#include "platform/Text.h"

#include <cstdio>
#include <utility>

namespace tolvane::play {

std::string TagJson::quote(std::string_view utf8) {
    std::string out = "\"";
    for (const char c : utf8) {
        switch (c) {
        case '"':
            out += "\\\"";
            break;
        case '\\':
            out += "\\\\";
            break;
        case '\n':
            out += "\\n";
            break;
        case '\r':
            out += "\\r";
            break;
        case '\t':
            out += "\\t";
            break;
        default:
            if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) {
                char escape[8];
                std::snprintf(escape, sizeof escape, "\\u%04x", unsigned(c));
                out += escape;
            } else {
                out += c;
            }
        }
    }
    return out + "\"";
}

std::string TagJson::format(const ID3_TAG_INFO& info) {
    const std::pair<const char*, const char*> fields[] = {
        {"title", info.pTitle}, {"artist", info.pArtist},   {"album", info.pAlbum},
        {"year", info.pYear},   {"comment", info.pComment}, {"track", info.pTrack},
        {"genre", info.pGenre},
    };
    std::string line = "{";
    for (const auto& [name, text] : fields) {
        if (line.size() > 1) {
            line += ",";
        }
        line += quote(name) + ":" + quote(platform::ansiToUtf8(text ? text : ""));
    }
    return line + "}";
}

} // namespace tolvane::play
