#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace tolvane {

// Where a long text is cut so that each part fits the login's limit: the
// parts' start positions (UTF-16 units, as the text box counts), the first 0.
// Together the parts hold every unit of the text once, in order, each at most
// `limit` long. A part ends at the last sentence end (ICU's sentence
// boundaries, Latin or CJK) that fits; a sentence longer than the limit is cut
// after the last clause mark (，；、：,;:) in the second half of the part,
// else at the last word boundary (ICU's, which also parts CJK words), else
// at the limit itself, never inside a surrogate pair. No parts for an empty
// text; a limit below 2 is taken as 2.
std::vector<size_t> partStarts(std::u16string_view text, size_t limit);

// The parts themselves, cut at partStarts().
std::vector<std::u16string> cutIntoParts(std::u16string_view text, size_t limit);

} // namespace tolvane
