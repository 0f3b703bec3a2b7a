#pragma once

#include "documents/Document.h"
#include "documents/Extraction.h"
#include "documents/PackedFiles.h"

namespace tolvane {

// The readers of packed documents. Each fills `document` (kind, title when
// the document names one, sections) or returns false with the problem
// recorded in `extraction`.

// EPUB: the chapters in the order of the package's spine, each titled from
// the navigation document (or the older NCX table), else its own <title> or
// first heading.
bool readEpub(PackedFiles& files, Extraction& extraction, Document& document);

// DOCX: the paragraphs of word/document.xml in order, with tabs as blanks and
// line breaks as paragraph ends; deleted text and field codes left out.
bool readDocx(PackedFiles& files, Extraction& extraction, Document& document);

// ODT: the headings and paragraphs of content.xml's body in order; notes,
// annotations and tracked deletions left out.
bool readOdt(PackedFiles& files, Extraction& extraction, Document& document);

} // namespace tolvane
