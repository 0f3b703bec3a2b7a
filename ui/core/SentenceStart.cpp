#include "ui/core/SentenceStart.h"

#include <unicode/brkiter.h>
#include <unicode/locid.h>
#include <unicode/unistr.h>

#include <algorithm>
#include <memory>

namespace tolvane {

int sentenceStartAt(std::u16string_view text, int position) {
    if (text.empty()) {
        return 0;
    }
    UErrorCode status = U_ZERO_ERROR;
    std::unique_ptr<icu::BreakIterator> sentences(
        icu::BreakIterator::createSentenceInstance(icu::Locale::getRoot(), status));
    if (U_FAILURE(status) || !sentences) {
        return 0; // without ICU's rules the whole text is one sentence
    }
    // The iterator reads the text where it lies.
    const icu::UnicodeString units(false, text.data(), int32_t(text.size()));
    sentences->setText(units);
    const int32_t last = int32_t(text.size()) - 1;
    const int32_t at = std::clamp<int32_t>(position, 0, last);
    const int32_t start = sentences->preceding(at + 1);
    return start == icu::BreakIterator::DONE ? 0 : start;
}

} // namespace tolvane
