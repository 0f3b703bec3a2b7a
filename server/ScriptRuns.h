#pragma once

#include <string_view>
#include <vector>

namespace tolvane::server {

// The scripts the server has a voice for. Han: Chinese characters with the
// CJK punctuation, full-width digits and signs and the other CJK forms around
// them. Latin: the letters of every other script (the English voice reads
// them, as it reads any text without Chinese).
enum class Script { Latin, Han };

struct ScriptRun {
    Script script;
    std::string_view text; // a piece of the text that was split
};

// Cuts `text` (UTF-8; ill-formed bytes are taken as symbols) into runs of one
// script each. The runs follow one another, together make the whole text,
// and neighbours differ in script. Characters of no script (digits, blanks,
// punctuation, symbols, marks) join the run before them, or the first run
// when they open the text, except that a number written directly before a
// Han character joins the Han run: "iOS 20 in" stays English, "iPhone 15发布"
// reads "15" in Chinese. Text without a letter of either script is one run of
// `neutral` (the request's language decides who reads "2024" or "...").
std::vector<ScriptRun> splitScripts(std::string_view text, Script neutral);

} // namespace tolvane::server
