#include "server/ScriptRuns.h"

#include "server/Utf8.h"

#include <cstddef>
#include <utility>

namespace tolvane::server {

namespace {

enum class Kind : unsigned char { Neutral, Latin, Han };

using Range = std::pair<char32_t, char32_t>;

template <std::size_t N> bool inRanges(char32_t cp, const Range (&ranges)[N]) {
    for (const auto& [first, last] : ranges) {
        if (cp >= first && cp <= last) {
            return true;
        }
    }
    return false;
}

// Ideographs and the CJK blocks written with them: radicals, CJK symbols and
// punctuation, bopomofo, strokes, enclosed and compatibility forms, vertical
// forms and the full-width and half-width forms (their Latin letters and kana
// aside), and the supplementary ideographic planes.
constexpr Range kHan[] = {
    {0x2E80, 0x2FDF}, {0x2FF0, 0x303F}, {0x3100, 0x312F}, {0x31A0, 0x31EF},   {0x3200, 0x4DBF},
    {0x4E00, 0x9FFF}, {0xF900, 0xFAFF}, {0xFE10, 0xFE1F}, {0xFE30, 0xFE4F},   {0xFF01, 0xFF20},
    {0xFF3B, 0xFF40}, {0xFF5B, 0xFF65}, {0xFFE0, 0xFFEF}, {0x20000, 0x3FFFF},
};

// Characters of no script beyond ASCII: Latin-1 signs, combining marks,
// general punctuation through the symbol blocks, variation selectors, small
// forms, specials, emoji and tags.
constexpr Range kNeutral[] = {
    {0x0080, 0x00BF}, {0x00D7, 0x00D7},   {0x00F7, 0x00F7},   {0x0300, 0x036F},
    {0x2000, 0x2BFF}, {0xFE00, 0xFE0F},   {0xFE50, 0xFE6F},   {0xFEFF, 0xFEFF},
    {0xFFF0, 0xFFFF}, {0x1F000, 0x1FAFF}, {0xE0000, 0xE01EF},
};

bool isAsciiLetter(char32_t cp) {
    return (cp >= 'A' && cp <= 'Z') || (cp >= 'a' && cp <= 'z');
}

Kind kindOf(char32_t cp) {
    if (cp < 0x80) {
        return isAsciiLetter(cp) ? Kind::Latin : Kind::Neutral;
    }
    if (inRanges(cp, kHan)) {
        return Kind::Han;
    }
    return inRanges(cp, kNeutral) ? Kind::Neutral : Kind::Latin;
}

// One character (or one ill-formed byte) of the text.
struct Piece {
    std::size_t begin = 0;
    std::size_t size = 0;
    Kind kind = Kind::Neutral;
};

std::vector<Piece> piecesOf(std::string_view text) {
    std::vector<Piece> pieces;
    char32_t cp = 0;
    for (std::size_t pos = 0; pos < text.size();) {
        const std::size_t size = decodeUtf8(text, pos, cp);
        pieces.push_back({pos, size == 0 ? 1 : size, size == 0 ? Kind::Neutral : kindOf(cp)});
        pos += pieces.back().size;
    }
    return pieces;
}

// A number: ASCII digits, with '.', ',' or ':' between two of them ("3.5",
// "1,000", "10:30"), and an optional '%'. One that a Han character follows
// directly is read in Chinese.
void joinNumbersToHan(std::string_view text, std::vector<Piece>& pieces) {
    const auto charAt = [&](std::size_t i) {
        return i < pieces.size() ? text[pieces[i].begin] : '\0';
    };
    const auto isDigit = [&](std::size_t i) { return charAt(i) >= '0' && charAt(i) <= '9'; };
    const auto isSeparator = [&](std::size_t i) {
        return (charAt(i) == '.' || charAt(i) == ',' || charAt(i) == ':') && isDigit(i + 1);
    };
    for (std::size_t i = 0; i < pieces.size();) {
        if (!isDigit(i)) {
            ++i;
            continue;
        }
        std::size_t end = i + 1;
        while (isDigit(end) || isSeparator(end)) {
            ++end;
        }
        end += charAt(end) == '%' ? 1 : 0;
        if (end < pieces.size() && pieces[end].kind == Kind::Han) {
            for (std::size_t k = i; k < end; ++k) {
                pieces[k].kind = Kind::Han;
            }
        }
        i = end;
    }
}

// Gives each character of no script the script of the letter before it, or
// of the first letter when none comes before, or `neutral` when none at all.
void resolveNeutrals(std::vector<Piece>& pieces, Kind neutral) {
    Kind previous = Kind::Neutral;
    Kind first = Kind::Neutral;
    for (Piece& piece : pieces) {
        if (piece.kind == Kind::Neutral) {
            piece.kind = previous;
        } else {
            previous = piece.kind;
            first = first == Kind::Neutral ? piece.kind : first;
        }
    }
    for (Piece& piece : pieces) {
        if (piece.kind != Kind::Neutral) {
            break;
        }
        piece.kind = first == Kind::Neutral ? neutral : first;
    }
}

} // namespace

std::vector<ScriptRun> splitScripts(std::string_view text, Script neutral) {
    std::vector<Piece> pieces = piecesOf(text);
    joinNumbersToHan(text, pieces);
    resolveNeutrals(pieces, neutral == Script::Han ? Kind::Han : Kind::Latin);
    std::vector<ScriptRun> runs;
    for (const Piece& piece : pieces) {
        const Script script = piece.kind == Kind::Han ? Script::Han : Script::Latin;
        if (runs.empty() || runs.back().script != script) {
            runs.push_back({script, text.substr(piece.begin, 0)});
        }
        ScriptRun& run = runs.back();
        run.text = std::string_view(run.text.data(), run.text.size() + piece.size);
    }
    return runs;
}

} // namespace tolvane::server
