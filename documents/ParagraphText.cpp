#include "documents/ParagraphText.h"

#include "platform/Text.h"

namespace tolvane {

namespace {

// The length of the white space at the start of `text`: ASCII blanks and
// U+00A0, which pages use to keep words together.
size_t blankAt(std::string_view text) {
    const unsigned char c = static_cast<unsigned char>(text[0]);
    if (c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f' || c == '\v') {
        return 1;
    }
    return text.substr(0, 2) == "\xC2\xA0" ? 2 : 0;
}

} // namespace

void ParagraphText::add(std::string_view utf8) {
    while (!utf8.empty() && !overflow_) {
        const size_t blank = blankAt(utf8);
        if (blank > 0) {
            blank_ = !text_.empty() && text_.back() != '\n';
            utf8.remove_prefix(blank);
            continue;
        }
        if (blank_) {
            text_ += ' ';
            blank_ = false;
        }
        text_ += utf8[0];
        utf8.remove_prefix(1);
        overflow_ = text_.size() > maxBytes_;
    }
}

void ParagraphText::endParagraph() {
    blank_ = false;
    if (!text_.empty() && text_.back() != '\n') {
        text_ += '\n';
    }
}

std::u16string ParagraphText::oneLine(std::string_view utf8) {
    ParagraphText gathered(utf8.size() + 1);
    gathered.add(utf8);
    return platform::utf8ToUtf16(gathered.text_);
}

bool ParagraphText::take(std::u16string& text, Extraction& extraction) {
    endParagraph();
    text = platform::utf8ToUtf16(text_);
    text_.clear();
    if (overflow_ || text.size() > maxUnits_) {
        return extraction.fail(DocumentError::kTooLarge,
                               "more than " + std::to_string(maxUnits_) + " characters of text");
    }
    return true;
}

} // namespace tolvane
