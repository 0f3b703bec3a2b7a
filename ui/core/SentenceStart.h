#pragma once

#include <string_view>

namespace tolvane {

// The start of the sentence that holds `position` of `text` (UTF-16 units),
// by Unicode's sentence boundaries as ICU finds them: after a full stop,
// question or exclamation mark (Latin or CJK) and what trails it, and after
// a line break. A position at or past the end belongs to the last sentence.
int sentenceStartAt(std::u16string_view text, int position);

} // namespace tolvane
