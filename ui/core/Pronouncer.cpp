#include "ui/core/Pronouncer.h"

#include "platform/Text.h"

#include <unicode/uchar.h>
#include <unicode/uscript.h>
#include <unicode/utf16.h>

#include <algorithm>

namespace tolvane {

namespace {

// Scripts written without spaces between words: no word boundaries there.
bool unspaced(char32_t c) {
    UErrorCode status = U_ZERO_ERROR;
    const UScriptCode script = uscript_getScript(UChar32(c), &status);
    return U_SUCCESS(status) && (script == USCRIPT_HAN || script == USCRIPT_HIRAGANA ||
                                 script == USCRIPT_KATAKANA || script == USCRIPT_BOPOMOFO);
}

// A character that goes on with a word of a script written with spaces.
bool inSpacedWord(char32_t c) {
    const bool wordPart = u_hasBinaryProperty(UChar32(c), UCHAR_ALPHABETIC) ||
                          u_isdigit(UChar32(c)) || (U_GET_GC_MASK(UChar32(c)) & U_GC_M_MASK) != 0;
    return wordPart && !unspaced(c);
}

char32_t folded(char32_t c) {
    return char32_t(u_foldCase(UChar32(c), U_FOLD_CASE_DEFAULT));
}

std::vector<char32_t> codePoints(std::u16string_view text, std::vector<int>* starts = nullptr) {
    std::vector<char32_t> points;
    const auto length = int32_t(text.size());
    for (int32_t i = 0; i < length;) {
        if (starts != nullptr) {
            starts->push_back(i);
        }
        UChar32 c = 0;
        U16_NEXT(text.data(), i, length, c);
        points.push_back(char32_t(c));
    }
    if (starts != nullptr) {
        starts->push_back(length);
    }
    return points;
}

} // namespace

Pronouncer::Pronouncer(const std::vector<Pronunciation>& rules, Pronunciation::Language language) {
    for (const Pronunciation& given : rules) {
        if (given.language != language || !PronunciationFile::complete(given)) {
            continue;
        }
        Rule rule;
        rule.word = codePoints(platform::utf8ToUtf16(given.word));
        rule.sayAs = platform::utf8ToUtf16(given.sayAs);
        rule.matchCase = given.matchCase;
        rule.wholeAtStart = inSpacedWord(rule.word.front());
        rule.wholeAtEnd = inSpacedWord(rule.word.back());
        if (!rule.matchCase) {
            std::transform(rule.word.begin(), rule.word.end(), rule.word.begin(), folded);
        }
        byFirst_[folded(rule.word.front())].push_back(rules_.size());
        rules_.push_back(std::move(rule));
    }
    for (auto& [first, indices] : byFirst_) {
        std::stable_sort(indices.begin(), indices.end(), [this](size_t a, size_t b) {
            return rules_[a].word.size() > rules_[b].word.size();
        });
    }
}

Pronouncer::Result Pronouncer::apply(std::u16string_view text, int64_t& room) const {
    Result result;
    if (rules_.empty()) {
        result.text = text;
        return result;
    }
    Points points;
    points.points = codePoints(text, &points.starts);
    points.folded.resize(points.points.size());
    std::transform(points.points.begin(), points.points.end(), points.folded.begin(), folded);
    result.text.reserve(text.size());
    for (size_t at = 0; at < points.points.size();) {
        const int begin = points.starts[at];
        const Rule* rule = ruleAt(points, at, room);
        if (rule == nullptr) {
            result.text.append(text.substr(size_t(begin), size_t(points.starts[at + 1] - begin)));
            ++at;
            continue;
        }
        at += rule->word.size();
        const int length = points.starts[at] - begin;
        result.replaced.push_back(
            {begin, length, int(result.text.size()), int(rule->sayAs.size())});
        result.text += rule->sayAs;
        room -= int64_t(rule->sayAs.size()) - length;
    }
    return result;
}

const Pronouncer::Rule* Pronouncer::ruleAt(const Points& text, size_t at, int64_t room) const {
    const auto candidates = byFirst_.find(text.folded[at]);
    if (candidates == byFirst_.end()) {
        return nullptr;
    }
    const size_t count = text.points.size();
    for (const size_t index : candidates->second) {
        const Rule& rule = rules_[index];
        const size_t end = at + rule.word.size();
        if (end > count) {
            continue;
        }
        const std::vector<char32_t>& source = rule.matchCase ? text.points : text.folded;
        if (!std::equal(rule.word.begin(), rule.word.end(), source.begin() + long(at)) ||
            (rule.wholeAtStart && at > 0 && inSpacedWord(text.points[at - 1])) ||
            (rule.wholeAtEnd && end < count && inSpacedWord(text.points[end]))) {
            continue;
        }
        const int64_t growth = int64_t(rule.sayAs.size()) - (text.starts[end] - text.starts[at]);
        if (growth <= room) {
            return &rule;
        }
    }
    return nullptr;
}

} // namespace tolvane
