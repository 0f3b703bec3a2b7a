#pragma once

#include "config/Pronunciations.h"

#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace tolvane {

// Applies the user's pronunciations of one language to a text about to be
// sent to the speech server, in one pass from left to right: at each place
// the longest rule that matches there is used (of rules as long, the first in
// the list), and the text it puts in is not looked at again.
//
// Matching: a word whose first (last) character is a letter or digit of a
// script written with spaces between words matches only where the text does
// not go on with such a letter or digit before (after) it, so "Tolvane"
// leaves "Tolvanes" alone; Han and kana characters have no word boundaries,
// so a Chinese word matches anywhere, and a Latin word next to one still
// counts as whole. Letter case is ignored (Unicode simple case folding)
// unless the rule asks for its own; the replacement is sent as written.
class Pronouncer {
  public:
    // A piece of the text replaced, in UTF-16 units: [at, at + length) of the
    // text given became [spokenAt, spokenAt + spokenLength) of the result.
    struct Replaced {
        int at = 0;
        int length = 0;
        int spokenAt = 0;
        int spokenLength = 0;
    };
    struct Result {
        std::u16string text;
        std::vector<Replaced> replaced;
    };

    Pronouncer() = default;
    // The rules of `rules` that belong to `language`.
    Pronouncer(const std::vector<Pronunciation>& rules, Pronunciation::Language language);

    // `text` with the rules applied. `room` is how many UTF-16 units longer
    // the text may grow: a replacement that would take more is not made, and
    // each one made takes its growth from it.
    Result apply(std::u16string_view text, int64_t& room) const;

  private:
    struct Rule {
        std::vector<char32_t> word; // case-folded unless matchCase
        std::u16string sayAs;
        bool matchCase = false;
        bool wholeAtStart = false;
        bool wholeAtEnd = false;
    };

    // The text being replaced: its code points, each one case-folded, and
    // where each starts in UTF-16 units (then the length).
    struct Points {
        std::vector<char32_t> points;
        std::vector<char32_t> folded;
        std::vector<int> starts;
    };

    // The rule used at code point `at`, or null.
    const Rule* ruleAt(const Points& text, size_t at, int64_t room) const;

    std::vector<Rule> rules_;
    // Rules by their first case-folded character, longest first.
    std::unordered_map<char32_t, std::vector<size_t>> byFirst_;
};

} // namespace tolvane
