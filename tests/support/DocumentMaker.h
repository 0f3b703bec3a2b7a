#pragma once

// Small documents the tests make themselves: zip archives with libzip (EPUB,
// DOCX, ODT, and a zip bomb deflated from a stream of zeros), and PDF files
// written object by object, with an English font and a CJK font whose text
// maps to Unicode, optionally locked by a password.
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace tolvane::test {

using NamedBytes = std::vector<std::pair<std::string, std::string>>;

// A zip archive of the files in order, each deflated; empty on failure.
std::string zipOf(const NamedBytes& files);

// A zip archive of `others` and one entry `name` of `zeros` zero bytes,
// deflated as they stream by (no buffer of that size is held). With
// `understated`, the archive's headers claim the entry unpacks to 1000 bytes.
std::string zipWithZeros(const NamedBytes& others, const std::string& name, uint64_t zeros,
                         bool understated = false);

// A chapter of a book: its title and paragraphs.
struct Chapter {
    std::string title;
    std::vector<std::string> paragraphs;
};

// An EPUB 3 book: its title, its chapters in spine order (the files listed in
// the manifest in reverse, so the spine's order is the one that counts),
// a navigation document titling them.
std::string epubOf(const std::string& title, const std::vector<Chapter>& chapters);
std::string docxOf(const std::vector<std::string>& paragraphs);
std::string odtOf(const std::vector<std::string>& paragraphs);

// A PDF with a page for each list of lines, each line in UTF-8 drawn on a
// line of its own; lines with CJK characters use the CJK font. With
// `locked`, a password the reader does not have protects it.
std::string pdfOf(const std::vector<std::vector<std::string>>& pages, bool locked = false);

} // namespace tolvane::test
