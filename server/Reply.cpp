#include "server/Reply.h"

#include "server/Utf8.h"

namespace tolvane::server {

namespace {

bool isWordChar(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_';
}

bool endsWith(const std::string& text, std::string_view tail) {
    return text.size() >= tail.size() &&
           text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

// Appends `c`, keeping blanks single and breaking up text that would read as
// "key=" or as a list key such as "title3" to the client.
void append(std::string& out, char c) {
    if (c == ' ') {
        if (!out.empty() && out.back() != ' ') {
            out += ' ';
        }
        return;
    }
    if (c == '=' && !out.empty() && isWordChar(out.back())) {
        out += ' ';
    } else if (c >= '0' && c <= '9' && (endsWith(out, "title") || endsWith(out, "rssid"))) {
        out += ' ';
    }
    out += c;
}

} // namespace

Reply::Reply(std::string_view item) : reply_("item=") {
    reply_ += item;
}

Reply& Reply::text(std::string_view key, std::string_view value, std::size_t maxBytes) {
    reply_ += '&';
    reply_ += key;
    reply_ += '=';
    reply_ += clean(value, maxBytes);
    return *this;
}

Reply& Reply::number(std::string_view key, long long value) {
    reply_ += '&';
    reply_ += key;
    reply_ += '=';
    reply_ += std::to_string(value);
    return *this;
}

Reply& Reply::separator() {
    reply_ += '&';
    return *this;
}

std::string Reply::clean(std::string_view value, std::size_t maxBytes) {
    const std::string repaired = repairUtf8(value);
    std::string out;
    out.reserve(repaired.size());
    for (char c : repaired) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte == 0x7F) {
            append(out, ' ');
        } else if (c == '&') {
            for (char a : std::string_view(" and ")) {
                append(out, a);
            }
        } else {
            append(out, c);
        }
    }
    std::string_view kept = cutUtf8(out, maxBytes);
    const std::size_t first = kept.find_first_not_of(' ');
    if (first == std::string_view::npos) {
        return "null";
    }
    kept = kept.substr(first, kept.find_last_not_of(' ') - first + 1);
    return std::string(kept);
}

} // namespace tolvane::server
