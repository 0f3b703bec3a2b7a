#include "documents/HtmlText.h"

#include "documents/MarkupTree.h"
#include "documents/ParagraphText.h"

#include <algorithm>
#include <array>

namespace tolvane {

namespace {

constexpr std::array<std::string_view, 9> kNeverRead = {
    "head", "script", "style", "noscript", "template", "svg", "math", "object", "iframe"};
constexpr std::array<std::string_view, 4> kPageFurniture = {"nav", "header", "footer", "aside"};
constexpr std::array<std::string_view, 30> kBlocks = {
    "p",    "div",  "br",      "li",         "ul",     "ol",     "dl",      "dt",
    "dd",   "h1",   "h2",      "h3",         "h4",     "h5",     "h6",      "tr",
    "td",   "th",   "table",   "blockquote", "pre",    "hr",     "section", "article",
    "main", "body", "caption", "figcaption", "figure", "address"};

template <size_t N>
bool among(std::string_view name, const std::array<std::string_view, N>& names) {
    return std::find(names.begin(), names.end(), name) != names.end();
}

} // namespace

bool readHtmlPage(std::string_view bytes, std::string_view name, bool webPage,
                  Extraction& extraction, PageText& page) {
    const MarkupDoc doc = parseHtml(bytes, name, extraction);
    if (!doc) {
        return false;
    }
    const xmlNode* root = xmlDocGetRootElement(doc.get());
    page.title = ParagraphText::oneLine(textUnder(findElement(root, "title")));
    const xmlNode* heading = findElement(root, "h1");
    page.heading =
        ParagraphText::oneLine(textUnder(heading != nullptr ? heading : findElement(root, "h2")));
    if (page.title.empty()) {
        page.title = page.heading;
    }
    ParagraphText text(extraction.limits().textUnits);
    walkTree(
        root,
        [&](const xmlNode* node) {
            if (node->type == XML_TEXT_NODE || node->type == XML_CDATA_SECTION_NODE) {
                if (node->content != nullptr) {
                    text.add(reinterpret_cast<const char*>(node->content));
                }
                return false;
            }
            const std::string_view element = localName(node);
            if (element.empty()) {
                return false;
            }
            if (among(element, kNeverRead) || (webPage && among(element, kPageFurniture)) ||
                xmlHasProp(node, reinterpret_cast<const xmlChar*>("hidden")) != nullptr) {
                return false;
            }
            if (among(element, kBlocks)) {
                text.endParagraph();
            }
            return true;
        },
        [&](const xmlNode* node) {
            if (among(localName(node), kBlocks)) {
                text.endParagraph();
            }
        });
    return text.take(page.text, extraction);
}

} // namespace tolvane
