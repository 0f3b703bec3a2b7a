#include "protocol/ReportText.h"

#include "platform/Text.h"

namespace tolvane {

std::u16string ReportText::fromUtf8(std::string_view utf8, size_t units) {
    return fit(platform::utf8ToUtf16(utf8), units);
}

std::u16string ReportText::fit(std::u16string text, size_t units) {
    const size_t limit = units == 0 ? 0 : units - 1;
    if (text.size() > limit) {
        size_t cut = limit;
        if (cut > 0 && text[cut - 1] >= 0xD800 && text[cut - 1] <= 0xDBFF) {
            --cut; // a high surrogate whose partner does not fit
        }
        text.resize(cut);
    }
    return text;
}

std::u16string ReportText::withTransferError(std::u16string_view text, std::string_view curlError) {
    std::u16string out(text);
    out += u'[';
    out += fromUtf8(curlError);
    out += u']';
    return fit(std::move(out));
}

std::u16string ReportText::withServerError(std::u16string_view text, std::string_view errcode,
                                           std::string_view errmsg) {
    std::u16string out(text);
    out += u" [";
    out += fromUtf8(errcode);
    out += u", ";
    out += fromUtf8(errmsg);
    out += u']';
    return fit(std::move(out));
}

std::string ReportText::field(std::string_view bytes, size_t limit) {
    return std::string(bytes.substr(0, limit));
}

} // namespace tolvane
