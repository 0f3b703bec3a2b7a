#pragma once

#include "documents/Document.h"
#include "documents/Extraction.h"

#include <string_view>

namespace tolvane {

// A PDF's text in reading order, a section per page with text, through
// poppler's C++ interface; the lines of a paragraph joined. A PDF that asks
// for a password, or whose pages hold no text (scanned images), is refused
// with a problem that says so.
bool readPdf(std::string_view bytes, Extraction& extraction, Document& document);

} // namespace tolvane
