#include "config/Pronunciations.h"

#include "platform/SystemText.h"
#include "platform/Text.h"

#include <algorithm>
#include <optional>

namespace tolvane {

namespace {

constexpr std::string_view kUtf8Bom = "\xEF\xBB\xBF";

constexpr std::string_view kHeader =
    "# Tolvane's pronunciations: how the speech server is to say a word.\n"
    "# One rule a line, the fields separated by tabs:\n"
    "#   LANGUAGE<TAB>WORD<TAB>SAY AS[<TAB>case]\n"
    "# LANGUAGE is en or zh: the rule is used for readings sent in that language.\n"
    "# Words of Latin script match whole words only; Chinese words match anywhere.\n"
    "# Letter case is ignored unless the line ends in \"case\". Lines starting\n"
    "# with # are comments. Example:\n"
    "#   en\tTolvane\tToll vane\n";

struct FileLine {
    std::string_view raw; // without its line break
    std::optional<Pronunciation> rule;
    std::string problem; // why a line that is not blank or a comment is skipped
};

std::string_view trimSpaces(std::string_view text) {
    const size_t first = text.find_first_not_of(' ');
    if (first == std::string_view::npos) {
        return {};
    }
    return text.substr(first, text.find_last_not_of(' ') - first + 1);
}

std::vector<std::string_view> fields(std::string_view text) {
    std::vector<std::string_view> out;
    size_t begin = 0;
    for (size_t tab = text.find('\t'); tab != std::string_view::npos;
         tab = text.find('\t', begin)) {
        out.push_back(trimSpaces(text.substr(begin, tab - begin)));
        begin = tab + 1;
    }
    out.push_back(trimSpaces(text.substr(begin)));
    return out;
}

std::optional<Pronunciation::Language> languageNamed(std::string_view name) {
    const std::string lowered = platform::asciiLowered(name);
    if (lowered == "en" || lowered == "en-us") {
        return Pronunciation::Language::kEnglish;
    }
    if (lowered == "zh" || lowered == "zh-cn") {
        return Pronunciation::Language::kChinese;
    }
    return std::nullopt;
}

// Blank lines and comments give neither a rule nor a problem.
FileLine parseLine(std::string_view raw) {
    FileLine line{raw, std::nullopt, {}};
    const std::string_view content = raw.ends_with('\r') ? raw.substr(0, raw.size() - 1) : raw;
    const size_t first = content.find_first_not_of(" \t");
    if (first == std::string_view::npos || content[first] == '#') {
        return line;
    }
    std::u16string ignored;
    if (!platform::decodeExactly(content, "UTF-8", ignored)) {
        line.problem = "not UTF-8 text";
        return line;
    }
    const std::vector<std::string_view> parts = fields(content);
    if (parts.size() < 3 || parts.size() > 4) {
        line.problem = "not LANGUAGE<TAB>WORD<TAB>SAY AS[<TAB>case]";
        return line;
    }
    const std::optional<Pronunciation::Language> language = languageNamed(parts[0]);
    if (!language) {
        line.problem = "unknown language \"" + std::string(parts[0]) + "\" (en or zh)";
        return line;
    }
    if (parts.size() == 4 && platform::asciiLowered(parts[3]) != PronunciationFile::kMatchCase &&
        !parts[3].empty()) {
        line.problem = "\"" + std::string(parts[3]) + "\" where only \"case\" may stand";
        return line;
    }
    Pronunciation rule{*language, std::string(parts[1]), std::string(parts[2]),
                       parts.size() == 4 && !parts[3].empty()};
    if (!PronunciationFile::complete(rule)) {
        line.problem = "an empty or overlong word or replacement";
        return line;
    }
    line.rule = std::move(rule);
    return line;
}

std::vector<FileLine> parseLines(std::string_view bytes) {
    if (bytes.starts_with(kUtf8Bom)) {
        bytes.remove_prefix(kUtf8Bom.size());
    }
    std::vector<FileLine> lines;
    while (!bytes.empty()) {
        const size_t lf = bytes.find('\n');
        lines.push_back(parseLine(bytes.substr(0, lf)));
        bytes.remove_prefix(lf == std::string_view::npos ? bytes.size() : lf + 1);
    }
    return lines;
}

// For each of `old`, the index in `kept` of the same rule in a longest common
// subsequence of the two, or -1. Past this many pairs no rule counts as kept.
constexpr size_t kMaxPairs = size_t(4) << 20;

std::vector<int> matchKept(const std::vector<Pronunciation>& old,
                           const std::vector<Pronunciation>& kept) {
    std::vector<int> match(old.size(), -1);
    const size_t rows = old.size() + 1;
    const size_t columns = kept.size() + 1;
    if (rows * columns > kMaxPairs) {
        return match;
    }
    // common[i][j]: the longest common subsequence of old[i..] and kept[j..].
    std::vector<int> common(rows * columns, 0);
    for (size_t i = old.size(); i-- > 0;) {
        for (size_t j = kept.size(); j-- > 0;) {
            common[i * columns + j] = old[i] == kept[j] ? common[(i + 1) * columns + j + 1] + 1
                                                        : std::max(common[(i + 1) * columns + j],
                                                                   common[i * columns + j + 1]);
        }
    }
    for (size_t i = 0, j = 0; i < old.size() && j < kept.size();) {
        if (old[i] == kept[j]) {
            match[i++] = int(j++);
        } else if (common[(i + 1) * columns + j] >= common[i * columns + j + 1]) {
            ++i;
        } else {
            ++j;
        }
    }
    return match;
}

std::string cleanField(std::string_view text) {
    std::string out(text);
    std::replace_if(
        out.begin(), out.end(), [](char c) { return c == '\t' || c == '\n' || c == '\r'; }, ' ');
    return std::string(trimSpaces(out));
}

} // namespace

PronunciationFile::Parsed PronunciationFile::parse(std::string_view bytes) {
    Parsed parsed;
    int number = 0;
    for (FileLine& line : parseLines(bytes)) {
        ++number;
        if (line.rule) {
            parsed.rules.push_back(std::move(*line.rule));
        } else if (!line.problem.empty()) {
            parsed.problems.push_back("line " + std::to_string(number) + ": " + line.problem);
        }
    }
    return parsed;
}

std::string PronunciationFile::merged(std::string_view old,
                                      const std::vector<Pronunciation>& rules) {
    const std::vector<FileLine> lines = parseLines(old);
    std::vector<Pronunciation> oldRules;
    for (const FileLine& line : lines) {
        if (line.rule) {
            oldRules.push_back(*line.rule);
        }
    }
    const std::vector<int> match = matchKept(oldRules, rules);
    // A byte-order mark the file began with stays.
    std::string out = old.starts_with(kUtf8Bom) ? std::string(kUtf8Bom) : std::string();
    if (lines.empty()) {
        out += kHeader;
    }
    size_t next = 0; // the first of `rules` not yet written
    const auto writeUpTo = [&](size_t end) {
        for (; next < end; ++next) {
            out += line(rules[next]) + "\n";
        }
    };
    size_t ordinal = 0; // of the rule lines of `old`
    for (const FileLine& fileLine : lines) {
        if (fileLine.rule) {
            const size_t i = ordinal++;
            if (match[i] >= 0) {
                writeUpTo(size_t(match[i]));
                out.append(fileLine.raw).append("\n");
                next = size_t(match[i]) + 1;
                continue;
            }
            // A rule that went: the new and changed rules before the next
            // kept one take its place.
            const auto kept =
                std::find_if(match.begin() + long(i), match.end(), [](int m) { return m >= 0; });
            writeUpTo(kept == match.end() ? rules.size() : size_t(*kept));
            continue;
        }
        out.append(fileLine.raw).append("\n");
    }
    writeUpTo(rules.size());
    return out;
}

std::string PronunciationFile::line(const Pronunciation& rule) {
    std::string text = std::string(code(rule.language)) + "\t" + cleanField(rule.word) + "\t" +
                       cleanField(rule.sayAs);
    return rule.matchCase ? text + "\t" + std::string(kMatchCase) : text;
}

std::string_view PronunciationFile::code(Pronunciation::Language language) {
    return language == Pronunciation::Language::kChinese ? "zh" : "en";
}

Pronunciation::Language PronunciationFile::forRequest(std::string_view requestLanguage) {
    return languageNamed(requestLanguage.substr(0, 2)).value_or(Pronunciation::Language::kEnglish);
}

bool PronunciationFile::complete(const Pronunciation& rule) {
    const auto fits = [](const std::string& text) {
        const std::string cleaned = cleanField(text);
        return !cleaned.empty() && cleaned.size() <= kMaxFieldBytes;
    };
    return fits(rule.word) && fits(rule.sayAs);
}

} // namespace tolvane
