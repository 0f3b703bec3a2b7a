#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

namespace tolvane {

// Text decoding of ID3 tags into the locale's 8-bit charset ("ANSI"). Every
// function reads only the bytes it is given.

// The most bytes of one ID3v2 text that are decoded, far beyond any title or
// comment: a longer text is cut there at a character boundary of its encoding
// (never inside a UTF-8 sequence or a UTF-16 surrogate pair), so a huge frame
// costs no more than this.
constexpr size_t kId3TextLimit = 64 * 1024;

// An ID3v1 field: ISO-8859-1 bytes up to the first zero byte, with trailing
// blanks removed when `trimBlanks` is set.
std::string decodeId3v1Text(std::span<const uint8_t> field, bool trimBlanks);

// An ID3v2 text frame: byte 0 names the encoding (0 ISO-8859-1, 1 UTF-16 with
// byte-order mark, 2 UTF-16 big-endian, 3 UTF-8), the rest is the text up to its
// terminator or kId3TextLimit. A frame of an unknown encoding is kept as it is, encoding byte
// included. False (and `out` empty) when the frame is too short or yields no text.
bool decodeId3Text(std::span<const uint8_t> frame, std::string& out);

// An ID3v2 comment frame (encoding, 3-byte language, description, text): the
// description when it is not empty, else the comment text.
bool decodeId3Comment(std::span<const uint8_t> frame, std::string& out);

// Replaces a genre reference "(N)" or "(N)Name" with the name of genre N when N is
// in the genre table; any other text stays as it is ("17", "((17)", "(255)").
void applyId3GenreNumber(std::string& genre);

} // namespace tolvane
