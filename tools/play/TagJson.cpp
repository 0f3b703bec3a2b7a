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

namespace {

std::string syncedJson(const SyncedText& text) {
    std::string json = "{" + TagJson::quote("language") + ":" + TagJson::quote(text.language) +
                       "," + TagJson::quote("description") + ":" +
                       TagJson::quote(text.description) + "," + TagJson::quote("unit") + ":" +
                       TagJson::quote(text.milliseconds ? "ms" : "frames") + "," +
                       TagJson::quote("entries") + ":[";
    for (size_t i = 0; i < text.entries.size(); ++i) {
        json += (i == 0 ? "[" : ",[") + std::to_string(text.entries[i].first) + "," +
                TagJson::quote(text.entries[i].second) + "]";
    }
    return json + "]}";
}

} // namespace

std::string TagJson::format(const ID3_TAG_INFO& info, const std::vector<SyncedText>& synced) {
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
    if (!synced.empty()) {
        line += "," + quote("sylt") + ":[";
        for (size_t i = 0; i < synced.size(); ++i) {
            line += (i == 0 ? "" : ",") + syncedJson(synced[i]);
        }
        line += "]";
    }
    return line + "}";
}

} // namespace tolvane::play
