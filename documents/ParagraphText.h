#pragma once

#include "documents/Extraction.h"

#include <cstddef>
#include <string>
#include <string_view>

namespace tolvane {

// Text gathered from markup, paragraph by paragraph: runs of white space
// (no-break spaces too) become one blank, blanks at a paragraph's ends are
// dropped, and each paragraph ends with "\n". Past the limit's worth of text
// it keeps nothing more and says so.
class ParagraphText {
  public:
    explicit ParagraphText(size_t maxUnits) : maxBytes_(maxUnits * 3), maxUnits_(maxUnits) {}

    void add(std::string_view utf8);
    // Ends the paragraph being gathered, if it has any text.
    void endParagraph();
    bool empty() const { return text_.empty(); }

    // `utf8` as one line: blanks collapsed and trimmed (a title, a label).
    static std::u16string oneLine(std::string_view utf8);

    // The text in UTF-16; false with kTooLarge recorded when it was longer
    // than the limit.
    bool take(std::u16string& text, Extraction& extraction);

  private:
    std::string text_;
    bool blank_ = false;
    bool overflow_ = false;
    const size_t maxBytes_;
    const size_t maxUnits_;
};

} // namespace tolvane
