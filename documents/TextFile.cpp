#include "documents/TextFile.h"

#include "platform/Text.h"

#include <algorithm>

namespace tolvane {

namespace {

bool startsWith(std::string_view bytes, std::string_view prefix) {
    return bytes.substr(0, prefix.size()) == prefix;
}

bool isUtf8(const std::string& charset) {
    return charset == "UTF-8" || charset == "UTF8" || charset == "utf-8" || charset == "utf8";
}

// "\r\n" and a lone "\r" become "\n", as the text box shows them.
std::u16string withNewlines(std::u16string_view text) {
    std::u16string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == u'\r') {
            out += u'\n';
            if (i + 1 < text.size() && text[i + 1] == u'\n') {
                ++i;
            }
        } else {
            out += text[i];
        }
    }
    return out;
}

} // namespace

std::optional<std::u16string> TextFile::decode(std::string_view bytes,
                                               const std::string& localeCharset, bool truncated) {
    std::u16string text;
    const auto decoded = [&](std::string_view body, const std::string& charset) {
        return platform::decodeExactly(body, charset, text, truncated);
    };
    bool ok = false;
    if (startsWith(bytes, "\xEF\xBB\xBF")) {
        ok = decoded(bytes.substr(3), "UTF-8");
    } else if (startsWith(bytes, "\xFF\xFE")) {
        ok = decoded(bytes.substr(2), "UTF-16LE");
    } else if (startsWith(bytes, "\xFE\xFF")) {
        ok = decoded(bytes.substr(2), "UTF-16BE");
    } else {
        ok = decoded(bytes, "UTF-8") || (!isUtf8(localeCharset) && decoded(bytes, localeCharset)) ||
             decoded(bytes, "GB18030");
    }
    if (!ok) {
        return std::nullopt;
    }
    return withNewlines(text);
}

} // namespace tolvane
