#include "documents/PdfText.h"

#include <poppler-document.h>
#include <poppler-page.h>

#include <climits>
#include <memory>
#include <mutex>

namespace tolvane {

namespace {

// Poppler's complaints about damaged files would go to standard error; the
// reader reports its own problem instead.
void quietPoppler() {
    static std::once_flag once;
    std::call_once(
        once, [] { poppler::set_debug_error_function([](const std::string&, void*) {}, nullptr); });
}

bool isCjk(char16_t c) {
    return (c >= 0x2E80 && c <= 0x9FFF) || (c >= 0xF900 && c <= 0xFAFF) ||
           (c >= 0xFF00 && c <= 0xFFEF) || (c >= 0xAC00 && c <= 0xD7AF);
}

// A page's text as poppler lays it out: a line break inside a paragraph
// becomes a blank (none between two CJK characters), an empty line or a form
// feed ends the paragraph.
std::u16string pageParagraphs(const poppler::ustring& laidOut) {
    std::u16string lines(laidOut.begin(), laidOut.end());
    for (char16_t& c : lines) {
        c = c == u'\r' || c == u'\f' ? u'\n' : c;
    }
    std::u16string text;
    size_t at = 0;
    while (at < lines.size()) {
        size_t end = lines.find(u'\n', at);
        end = end == std::u16string::npos ? lines.size() : end;
        std::u16string line = lines.substr(at, end - at);
        while (!line.empty() && line.back() == u' ') {
            line.pop_back();
        }
        const size_t first = line.find_first_not_of(u' ');
        line = first == std::u16string::npos ? std::u16string() : line.substr(first);
        if (line.empty()) {
            if (!text.empty() && text.back() != u'\n') {
                text += u'\n';
            }
        } else if (!text.empty() && text.back() != u'\n') {
            if (!(isCjk(text.back()) && isCjk(line.front()))) {
                text += u' ';
            }
            text += line;
        } else {
            text += line;
        }
        at = end + 1;
    }
    if (!text.empty() && text.back() != u'\n') {
        text += u'\n';
    }
    return text;
}

} // namespace

bool readPdf(std::string_view bytes, Extraction& extraction, Document& document) {
    quietPoppler();
    document.kind = DocumentKind::kPdf;
    if (bytes.size() > size_t(INT_MAX)) {
        return extraction.fail(DocumentError::kTooLarge);
    }
    const std::unique_ptr<poppler::document> pdf(
        poppler::document::load_from_raw_data(bytes.data(), int(bytes.size())));
    if (!pdf) {
        return extraction.fail(DocumentError::kMalformed, "not a readable PDF");
    }
    if (pdf->is_locked()) {
        return extraction.fail(DocumentError::kEncrypted);
    }
    const poppler::ustring title = pdf->get_title();
    document.title.assign(title.begin(), title.end());
    size_t units = 0;
    for (int i = 0; i < pdf->pages(); ++i) {
        if (!extraction.inTime()) {
            return false;
        }
        const std::unique_ptr<poppler::page> page(pdf->create_page(i));
        if (!page) {
            continue;
        }
        DocumentSection section;
        section.text = pageParagraphs(
            page->text(poppler::rectf(), poppler::page::non_raw_non_physical_layout));
        units += section.text.size();
        if (units > extraction.limits().textUnits) {
            return extraction.fail(DocumentError::kTooLarge);
        }
        if (!section.text.empty()) {
            document.sections.push_back(std::move(section));
        }
    }
    return !document.sections.empty() ||
           extraction.fail(DocumentError::kNoText,
                           std::to_string(pdf->pages()) + " pages without text");
}

} // namespace tolvane
