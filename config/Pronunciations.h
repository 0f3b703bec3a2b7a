#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace tolvane {

// One of the user's pronunciations: a word or phrase, and what the speech
// server is to be sent in its place. A rule belongs to one speech language and
// is used for the readings sent in that language.
struct Pronunciation {
    enum class Language { kEnglish, kChinese };

    Language language = Language::kEnglish;
    std::string word;  // UTF-8
    std::string sayAs; // UTF-8
    bool matchCase = false;

    bool operator==(const Pronunciation&) const = default;
};

// The pronunciations file, a plain UTF-8 text a user may edit by hand:
//
//   # comment
//   en<TAB>Tolvane<TAB>Toll vane
//   zh<TAB>行<TAB>航<TAB>case
//
// one rule a line: the language ("en" or "zh"; "en-US" and "zh-CN" are taken
// too), the word, how to say it and, optionally, "case" for a rule that
// matches only the word's letter case as written. Fields are separated by
// one tab each and lose the spaces around them. Blank lines and lines whose
// first character that is not a blank is '#' are comments. A line that
// breaks these rules is reported and skipped.
class PronunciationFile {
  public:
    static constexpr std::string_view kFileName = "pronunciations.txt";
    // A larger file is refused as a whole; a longer word or replacement is
    // refused on its line.
    static constexpr size_t kMaxFileBytes = size_t(1) << 20;
    static constexpr size_t kMaxFieldBytes = 1000;
    static constexpr std::string_view kMatchCase = "case";

    struct Parsed {
        std::vector<Pronunciation> rules;
        // "line N: why", one for each line skipped.
        std::vector<std::string> problems;
    };

    static Parsed parse(std::string_view bytes);

    // The file `old` (its bytes; empty for a new file) holding `rules` in
    // place of its own: comments, blank lines, skipped lines and the lines of
    // rules that stay are kept where they were; a changed rule takes the
    // place of the one it replaced; new rules follow the last rule kept. A
    // new file begins with a comment that explains the format.
    static std::string merged(std::string_view old, const std::vector<Pronunciation>& rules);

    // The file's line for `rule`, without the line break. Tabs and line
    // breaks in the word or replacement become spaces.
    static std::string line(const Pronunciation& rule);

    // "en" or "zh".
    static std::string_view code(Pronunciation::Language language);
    // The language of a reading sent as `requestLanguage` ("en-US", "zh-CN").
    static Pronunciation::Language forRequest(std::string_view requestLanguage);

    // Whether `rule` can be written and read back as it is: a word and a
    // replacement that are not blank and fit kMaxFieldBytes.
    static bool complete(const Pronunciation& rule);
};

} // namespace tolvane
