#include "server/SpeechMarks.h"

#include "server/Utf8.h"

#include <algorithm>
#include <cstdlib>
#include <string>
#include <utility>

namespace tolvane::server {

namespace {

using Range = std::pair<char32_t, char32_t>;

template <std::size_t N> bool inRanges(char32_t cp, const Range (&ranges)[N]) {
    return std::any_of(std::begin(ranges), std::end(ranges),
                       [cp](const Range& r) { return cp >= r.first && cp <= r.second; });
}

constexpr Range kHanCharacters[] = {
    {0x2E80, 0x2FDF}, {0x3005, 0x3007}, {0x3021, 0x3029}, {0x3038, 0x303B},
    {0x3400, 0x4DBF}, {0x4E00, 0x9FFF}, {0xF900, 0xFAFF}, {0x20000, 0x3FFFF},
};

// Control characters, blanks and the invisible word separators.
constexpr Range kBlanks[] = {
    {0x00, 0x20},     {0x7F, 0x85},     {0xA0, 0xA0},     {0x1680, 0x1680}, {0x2000, 0x200B},
    {0x2028, 0x2029}, {0x202F, 0x202F}, {0x205F, 0x205F}, {0x3000, 0x3000}, {0xFEFF, 0xFEFF},
};

// Punctuation that stands around words: stops, commas, quotes, brackets and
// dashes, in ASCII, Latin-1, the general punctuation block and the CJK and
// full-width forms. Symbols ($, %, @, emoji) belong to their word.
constexpr Range kPunctuation[] = {
    {'!', '!'},       {'"', '"'},       {'\'', ')'},      {',', ','},       {'.', '.'},
    {':', ';'},       {'?', '?'},       {'[', '['},       {']', ']'},       {'`', '`'},
    {'{', '{'},       {'}', '}'},       {0xA1, 0xA1},     {0xAB, 0xAB},     {0xB7, 0xB7},
    {0xBB, 0xBB},     {0xBF, 0xBF},     {0x2010, 0x2027}, {0x2030, 0x205E}, {0x3001, 0x3003},
    {0x3008, 0x3011}, {0x3014, 0x301F}, {0x30FB, 0x30FB}, {0xFE10, 0xFE19}, {0xFE30, 0xFE4F},
    {0xFE50, 0xFE6B}, {0xFF01, 0xFF02}, {0xFF07, 0xFF09}, {0xFF0C, 0xFF0C}, {0xFF0E, 0xFF0E},
    {0xFF1A, 0xFF1B}, {0xFF1F, 0xFF1F}, {0xFF3B, 0xFF3B}, {0xFF3D, 0xFF3D}, {0xFF5B, 0xFF5B},
    {0xFF5D, 0xFF5D}, {0xFF5F, 0xFF65},
};

// Marks that end a sentence.
constexpr Range kSentenceEnds[] = {
    {'!', '!'},       {'.', '.'},       {'?', '?'},       {0x2026, 0x2026},
    {0x203C, 0x203D}, {0x2047, 0x2049}, {0x3002, 0x3002}, {0xFF01, 0xFF01},
    {0xFF0E, 0xFF0E}, {0xFF1F, 0xFF1F}, {0xFF61, 0xFF61},
};

bool isBlank(char32_t cp) {
    return inRanges(cp, kBlanks);
}

bool isPunctuation(char32_t cp) {
    return inRanges(cp, kPunctuation);
}

std::u32string codePoints(std::string_view text) {
    std::u32string out;
    char32_t cp = 0;
    for (std::size_t pos = 0; pos < text.size();) {
        const std::size_t size = decodeUtf8(text, pos, cp);
        out += size == 0 ? U'\uFFFD' : cp;
        pos += size == 0 ? 1 : size;
    }
    return out;
}

// The text cut into words: stretches between blanks, each Han character a
// stretch of its own; the word of each character (npos on blanks).
class Words {
  public:
    explicit Words(const std::u32string& text) : text_(text), wordOf_(text.size(), kNone) {
        for (std::size_t i = 0; i < text.size(); ++i) {
            if (isBlank(text[i])) {
                continue;
            }
            const bool han = isHanCharacter(text[i]);
            if (han || i == 0 || wordOf_[i - 1] == kNone || isHanCharacter(text[i - 1])) {
                ranges_.emplace_back(i, i);
            }
            ranges_.back().second = i + 1;
            wordOf_[i] = ranges_.size() - 1;
        }
    }

    static constexpr std::size_t kNone = static_cast<std::size_t>(-1);

    // The word holding the first character of [offset, offset + length) that
    // is not blank; kNone when there is none.
    std::size_t find(std::size_t offset, std::size_t length) const {
        const std::size_t end = std::min(text_.size(), offset + length);
        for (std::size_t i = offset; i < end; ++i) {
            if (wordOf_[i] != kNone) {
                return wordOf_[i];
            }
        }
        return kNone;
    }

    // The word's characters without the punctuation around them (all of
    // them when they are all punctuation).
    std::pair<std::size_t, std::size_t> trimmed(std::size_t word) const {
        auto [begin, end] = ranges_[word];
        while (begin < end && isPunctuation(text_[begin])) {
            ++begin;
        }
        while (end > begin && isPunctuation(text_[end - 1])) {
            --end;
        }
        return begin < end ? std::pair(begin, end) : ranges_[word];
    }

    bool punctuationOnly(std::size_t begin, std::size_t end) const {
        return std::all_of(text_.begin() + begin, text_.begin() + end, isPunctuation);
    }

  private:
    const std::u32string& text_;
    std::vector<std::size_t> wordOf_;
    std::vector<std::pair<std::size_t, std::size_t>> ranges_;
};

// Whether a sentence closes in text[from, to).
bool closesSentence(const std::u32string& text, std::size_t from, std::size_t to) {
    to = std::min(to, text.size());
    for (std::size_t i = from; i < to; ++i) {
        if (inRanges(text[i], kSentenceEnds)) {
            return true;
        }
    }
    return false;
}

// Stretches each sentence from its first word's start to the end of its last
// word and the punctuation directly after it.
void spanSentences(const std::u32string& text, std::vector<SpeechMark>& marks) {
    SpeechMark* sentence = nullptr;
    const auto close = [&](std::size_t end) {
        if (sentence != nullptr) {
            while (end < text.size() && isPunctuation(text[end])) {
                ++end;
            }
            sentence->length = end - sentence->offset;
        }
    };
    std::size_t end = 0;
    for (SpeechMark& mark : marks) {
        if (mark.kind == SpeechMark::Kind::Sentence) {
            close(end);
            sentence = &mark;
        } else {
            end = mark.offset + mark.length;
        }
    }
    close(end);
}

// espeak-ng speaks some short words as one with the word before them ("in
// the" is one word to it) and reports only the first. The words between the
// last word marked and the word at `nextBegin` (starting at `nextSample`)
// that have no mark of their own get starts spread between the two marks in
// proportion to the characters before them, so every word of the text is
// marked and lit in turn. Words of punctuation alone are not spoken.
void markPassedOver(const Words& words, std::size_t lastWord, std::size_t nextWord,
                    std::size_t nextBegin, std::size_t nextSample, std::vector<SpeechMark>& marks) {
    const SpeechMark before = marks.back();
    const std::size_t characters = nextBegin - before.offset;
    const std::size_t samples = nextSample > before.sample ? nextSample - before.sample : 0;
    for (std::size_t word = lastWord + 1; word < nextWord; ++word) {
        const auto [begin, end] = words.trimmed(word);
        if (words.punctuationOnly(begin, end) || characters == 0) {
            continue;
        }
        const std::size_t sample = before.sample + samples * (begin - before.offset) / characters;
        marks.push_back({SpeechMark::Kind::Word, sample, begin, end - begin});
    }
}

} // namespace

bool isHanCharacter(char32_t cp) {
    return inRanges(cp, kHanCharacters);
}

std::vector<SpeechMark> placeMarks(std::string_view utf8, const std::vector<SpeechEvent>& events) {
    const std::u32string text = codePoints(utf8);
    const Words words(text);
    std::vector<SpeechMark> marks;
    std::size_t lastWord = Words::kNone;
    std::size_t lastEnd = 0; // where the last word marked ends
    // A sentence begins with the first word spoken after its event.
    bool sentencePending = false;
    for (const SpeechEvent& event : events) {
        if (event.kind == SpeechEvent::Kind::Sentence) {
            // espeak-ng starts a sentence at the start of every run it speaks;
            // one that starts where no sentence closed goes on with the last.
            if (marks.empty() || !event.runStart || closesSentence(text, lastEnd, event.offset)) {
                sentencePending = true;
            }
            continue;
        }
        // espeak-ng gives a word after an opening quote no length and the
        // position of the blank before it: it is the next word.
        const std::size_t word =
            words.find(event.offset, event.length == 0 ? text.size() : event.length);
        if (word == Words::kNone || (lastWord != Words::kNone && word <= lastWord)) {
            continue;
        }
        const auto [begin, end] = words.trimmed(word);
        if (!sentencePending && lastWord != Words::kNone) {
            markPassedOver(words, lastWord, word, begin, event.sample, marks);
        }
        if (sentencePending || marks.empty()) {
            marks.push_back({SpeechMark::Kind::Sentence, event.sample, begin, 0});
            sentencePending = false;
        }
        marks.push_back({SpeechMark::Kind::Word, event.sample, begin, end - begin});
        lastWord = word;
        lastEnd = end;
    }
    spanSentences(text, marks);
    return marks;
}

void startAtSound(std::vector<SpeechMark>& marks, const std::vector<int16_t>& pcm,
                  std::size_t maxShift) {
    // Sound is what rises above 40 dB below the speech's peak.
    int peak = 0;
    for (const int16_t sample : pcm) {
        peak = std::max(peak, std::abs(static_cast<int>(sample)));
    }
    const int level = std::max(peak / 100, 16);
    for (std::size_t i = marks.size(); i-- > 0;) {
        SpeechMark& mark = marks[i];
        if (mark.kind == SpeechMark::Kind::Sentence) {
            mark.sample = i + 1 < marks.size() ? marks[i + 1].sample : mark.sample;
            continue;
        }
        std::size_t limit = std::min(pcm.size(), mark.sample + maxShift);
        for (std::size_t k = i + 1; k < marks.size(); ++k) {
            if (marks[k].kind == SpeechMark::Kind::Word) {
                limit = std::min(limit, marks[k].sample);
                break;
            }
        }
        std::size_t at = mark.sample;
        while (at < limit && std::abs(static_cast<int>(pcm[at])) < level) {
            ++at;
        }
        mark.sample = at < limit ? at : mark.sample;
    }
}

} // namespace tolvane::server
