#pragma once

#include "documents/Document.h"

#include <filesystem>
#include <string_view>

namespace tolvane {

// A document's text, or why there is none.
struct OpenedDocument {
    Document document;
    DocumentProblem problem; // code kNone when the document was read

    explicit operator bool() const { return problem.code == DocumentError::kNone; }
};

// Reads the text of the file at `path`: PDF, EPUB, DOCX, ODT, HTML or plain
// text (decoded as TextFile decodes it), the kind told by the content. A
// document without a title of its own is titled with the file's name. Every
// step keeps within `limits`; nothing is written anywhere.
OpenedDocument openDocument(const std::filesystem::path& path, const DocumentLimits& limits = {});

// The same for a file's bytes already in memory; `fileName` titles the
// document when it names no title, and its extension tells an HTML fragment
// from plain text that only starts with "<".
OpenedDocument readDocument(std::string_view bytes, std::string_view fileName,
                            const DocumentLimits& limits = {});

} // namespace tolvane
