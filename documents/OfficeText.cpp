#include "documents/MarkupTree.h"
#include "documents/PackedText.h"
#include "documents/ParagraphText.h"

#include <array>

namespace tolvane {

namespace {

// How a word-processor element adds to the text.
enum class Part { kContainer, kText, kBlank, kBreak, kParagraph, kSkipped };

struct Markup {
    std::string_view body;     // the part holding the text
    std::string_view metadata; // the part holding the title, if any
    Part (*partOf)(std::string_view element);
};

Part docxPart(std::string_view element) {
    if (element == "t") {
        return Part::kText;
    }
    if (element == "tab" || element == "ptab") {
        return Part::kBlank;
    }
    if (element == "br" || element == "cr") {
        return Part::kBreak;
    }
    if (element == "p") {
        return Part::kParagraph;
    }
    // Deleted runs, field codes, and the older copy of drawings that newer
    // markup carries beside them, which would read text boxes twice.
    if (element == "del" || element == "delText" || element == "instrText" ||
        element == "Fallback") {
        return Part::kSkipped;
    }
    return Part::kContainer;
}

Part odtPart(std::string_view element) {
    if (element == "s" || element == "tab") {
        return Part::kBlank;
    }
    if (element == "line-break") {
        return Part::kBreak;
    }
    if (element == "p" || element == "h") {
        return Part::kParagraph;
    }
    if (element == "note" || element == "annotation" || element == "tracked-changes" ||
        element == "sequence-decls") {
        return Part::kSkipped;
    }
    return Part::kContainer;
}

// DOCX keeps text only inside <w:t>; ODT's paragraphs hold text directly.
bool textCounts(const xmlNode* node, const Markup& markup) {
    if (markup.partOf == docxPart) {
        return node->parent != nullptr && markup.partOf(localName(node->parent)) == Part::kText;
    }
    return true;
}

std::u16string titleIn(PackedFiles& files, std::string_view part, const Extraction& extraction) {
    std::string bytes;
    // Without its metadata a document is still read; its file name titles it.
    Extraction spare = extraction.spare();
    if (!files.has(part) || !files.read(part, bytes, spare)) {
        return {};
    }
    const MarkupDoc doc = parseXml(bytes, part, spare);
    return doc ? ParagraphText::oneLine(
                     textUnder(findElement(xmlDocGetRootElement(doc.get()), "title")))
               : std::u16string();
}

bool readWordProcessor(PackedFiles& files, const Markup& markup, Extraction& extraction,
                       Document& document) {
    std::string bytes;
    if (!files.read(markup.body, bytes, extraction)) {
        return false;
    }
    const MarkupDoc doc = parseXml(bytes, markup.body, extraction);
    if (!doc) {
        return false;
    }
    ParagraphText text(extraction.limits().textUnits);
    walkTree(
        xmlDocGetRootElement(doc.get()),
        [&](const xmlNode* node) {
            if (node->type == XML_TEXT_NODE || node->type == XML_CDATA_SECTION_NODE) {
                if (node->content != nullptr && textCounts(node, markup)) {
                    text.add(reinterpret_cast<const char*>(node->content));
                }
                return false;
            }
            switch (markup.partOf(localName(node))) {
            case Part::kBlank:
                text.add(" ");
                return false;
            case Part::kBreak:
                text.endParagraph();
                return false;
            case Part::kSkipped:
                return false;
            default:
                return node->type == XML_ELEMENT_NODE;
            }
        },
        [&](const xmlNode* node) {
            if (markup.partOf(localName(node)) == Part::kParagraph) {
                text.endParagraph();
            }
        });
    DocumentSection section;
    if (!text.take(section.text, extraction)) {
        return false;
    }
    document.title = titleIn(files, markup.metadata, extraction);
    document.sections.push_back(std::move(section));
    return true;
}

} // namespace

bool readDocx(PackedFiles& files, Extraction& extraction, Document& document) {
    document.kind = DocumentKind::kDocx;
    return readWordProcessor(files, {"word/document.xml", "docProps/core.xml", docxPart},
                             extraction, document);
}

bool readOdt(PackedFiles& files, Extraction& extraction, Document& document) {
    document.kind = DocumentKind::kOdt;
    return readWordProcessor(files, {"content.xml", "meta.xml", odtPart}, extraction, document);
}

} // namespace tolvane
