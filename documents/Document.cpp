#include "documents/Document.h"

namespace tolvane {

std::string_view documentErrorText(DocumentError error) {
    switch (error) {
    case DocumentError::kNone:
        return "no problem";
    case DocumentError::kUnreadable:
        return "the file cannot be read";
    case DocumentError::kTooLarge:
        return "the document is too large";
    case DocumentError::kNotADocument:
        return "the file is not a document that can be read aloud";
    case DocumentError::kMalformed:
        return "the document is damaged";
    case DocumentError::kEncrypted:
        return "the document is protected by a password";
    case DocumentError::kNoText:
        return "the document holds no text (only images?)";
    case DocumentError::kUnpackedTooLarge:
        return "the document unpacks to more than can be read";
    case DocumentError::kTooManyEntries:
        return "the document is packed from too many files";
    case DocumentError::kNestedTooDeep:
        return "the document's markup is nested too deeply";
    case DocumentError::kTookTooLong:
        return "reading the document took too long";
    }
    return "unknown problem";
}

std::u16string Document::text() const {
    std::u16string all;
    for (const DocumentSection& section : sections) {
        if (!all.empty() && all.back() != u'\n') {
            all += u'\n';
        }
        all += section.text;
    }
    return all;
}

} // namespace tolvane
