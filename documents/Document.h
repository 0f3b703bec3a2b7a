#pragma once

#include <chrono>
#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace tolvane {

// What a document is, told by its content (a file's name only breaks a tie
// between HTML and plain text).
enum class DocumentKind { kPlainText, kHtml, kPdf, kEpub, kDocx, kOdt };

// Why a document gave no text. The front ends word these in their own
// language; DocumentProblem::message is the English wording with details.
enum class DocumentError {
    kNone,
    kUnreadable,       // the file cannot be opened or read
    kTooLarge,         // the file is larger than the reader takes
    kNotADocument,     // no kind this reads (a zip of something else, binary data)
    kMalformed,        // damaged, truncated or not well-formed
    kEncrypted,        // a password protects it
    kNoText,           // readable, but holds no text (an image-only PDF)
    kUnpackedTooLarge, // an entry or all entries unpack to more than the limit
    kTooManyEntries,   // the archive holds more entries than the limit
    kNestedTooDeep,    // markup nested deeper than the parser takes
    kTookTooLong,      // reading passed its deadline
};

// The English text for `error`, without details.
std::string_view documentErrorText(DocumentError error);

struct DocumentProblem {
    DocumentError code = DocumentError::kNone;
    std::string message; // English: documentErrorText() and what was found
    std::string detail;  // what was found alone (may be empty)
};

// A chapter or page run of a document. Paragraphs end with "\n".
struct DocumentSection {
    std::u16string title; // empty when the document names none
    std::u16string text;
};

struct Document {
    DocumentKind kind = DocumentKind::kPlainText;
    std::u16string title; // the document's own title, or its file name
    std::vector<DocumentSection> sections;

    // The sections' texts one after another, as they are read aloud.
    std::u16string text() const;
};

// Bounds on what reading one document may take. Every reader checks them as
// it goes, so a hostile file is refused before it costs more.
struct DocumentLimits {
    size_t fileBytes = size_t(256) << 20;  // the file on disk
    size_t entryBytes = size_t(32) << 20;  // one archive entry, unpacked
    size_t totalBytes = size_t(128) << 20; // all entries read, unpacked
    size_t entries = 10000;                // entries in an archive
    size_t textUnits = size_t(16) << 20;   // UTF-16 units of text kept
    std::chrono::milliseconds time{30000}; // from opening to the last page or entry
};

} // namespace tolvane
