#include "documents/TextParts.h"

#include <unicode/brkiter.h>
#include <unicode/locid.h>
#include <unicode/unistr.h>

#include <algorithm>
#include <memory>

namespace tolvane {

namespace {

constexpr std::u16string_view kClauseMarks = u"，；、：,;:";

using Breaks = std::unique_ptr<icu::BreakIterator>;

// ICU's iterator of that kind over `units` (which must outlive it), or null
// when ICU has no rules for it.
Breaks breaksOver(const icu::UnicodeString& units, bool sentences) {
    UErrorCode status = U_ZERO_ERROR;
    Breaks breaks(sentences
                      ? icu::BreakIterator::createSentenceInstance(icu::Locale::getRoot(), status)
                      : icu::BreakIterator::createWordInstance(icu::Locale::getRoot(), status));
    if (U_FAILURE(status) || !breaks) {
        return nullptr;
    }
    breaks->setText(units);
    return breaks;
}

// The last boundary of `breaks` after `start` and at most `end`, or 0.
size_t lastBoundary(icu::BreakIterator* breaks, size_t start, size_t end) {
    if (breaks == nullptr) {
        return 0;
    }
    const int32_t at =
        breaks->isBoundary(int32_t(end)) ? int32_t(end) : breaks->preceding(int32_t(end));
    return at != icu::BreakIterator::DONE && size_t(at) > start ? size_t(at) : 0;
}

// After the last clause mark in the second half of [start, end), or 0.
size_t afterClauseMark(std::u16string_view text, size_t start, size_t end) {
    for (size_t i = end; i > start + (end - start) / 2; --i) {
        if (kClauseMarks.find(text[i - 1]) != std::u16string_view::npos) {
            return i;
        }
    }
    return 0;
}

bool isLeadSurrogate(char16_t unit) {
    return unit >= 0xD800 && unit <= 0xDBFF;
}

} // namespace

std::vector<size_t> partStarts(std::u16string_view text, size_t limit) {
    limit = std::max<size_t>(limit, 2);
    std::vector<size_t> starts;
    const icu::UnicodeString units(false, text.data(), int32_t(text.size()));
    const Breaks sentences = breaksOver(units, true);
    Breaks words; // made the first time a sentence is longer than the limit
    size_t start = 0;
    while (start < text.size()) {
        starts.push_back(start);
        const size_t end = start + limit;
        if (end >= text.size()) {
            break;
        }
        size_t cut = lastBoundary(sentences.get(), start, end);
        if (cut == 0) {
            cut = afterClauseMark(text, start, end);
        }
        if (cut == 0) {
            words = words ? std::move(words) : breaksOver(units, false);
            cut = lastBoundary(words.get(), start, end);
        }
        if (cut == 0) {
            cut = isLeadSurrogate(text[end - 1]) ? end - 1 : end;
        }
        start = cut;
    }
    return starts;
}

std::vector<std::u16string> cutIntoParts(std::u16string_view text, size_t limit) {
    const std::vector<size_t> starts = partStarts(text, limit);
    std::vector<std::u16string> parts;
    for (size_t i = 0; i < starts.size(); ++i) {
        const size_t end = i + 1 < starts.size() ? starts[i + 1] : text.size();
        parts.emplace_back(text.substr(starts[i], end - starts[i]));
    }
    return parts;
}

} // namespace tolvane
