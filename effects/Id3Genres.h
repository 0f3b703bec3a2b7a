#pragma once

#include <string_view>

namespace tolvane {

// Number of names in the genre table that ID3 tags refer to by number.
constexpr unsigned kId3GenreCount = 148;

// The name of genre `number`, or an empty text for a number past the table.
std::string_view id3GenreName(unsigned number);

} // namespace tolvane
