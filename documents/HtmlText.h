#pragma once

#include "documents/Extraction.h"

#include <string>
#include <string_view>

namespace tolvane {

// The readable text of an HTML page or XHTML chapter.
struct PageText {
    std::u16string title;   // <title>, or else the first <h1> or <h2>
    std::u16string text;    // the visible text, a paragraph per block element
    std::u16string heading; // the first <h1> or <h2>
};

// Reads what a reader would see: scripts, styles, templates, hidden elements
// and the head are left out, and with `webPage` also the page's navigation,
// header, footer and asides, which a saved web page repeats around its
// content. False with the problem recorded when the page cannot be parsed.
bool readHtmlPage(std::string_view bytes, std::string_view name, bool webPage,
                  Extraction& extraction, PageText& page);

} // namespace tolvane
