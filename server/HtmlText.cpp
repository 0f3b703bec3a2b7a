#include "server/HtmlText.h"

#include <libxml/HTMLparser.h>
#include <libxml/tree.h>

#include <climits>
#include <cstring>
#include <memory>

namespace tolvane::server {

namespace {

struct DocFree {
    void operator()(xmlDoc* doc) const { xmlFreeDoc(doc); }
};
struct ContextFree {
    void operator()(htmlParserCtxt* context) const { htmlFreeParserCtxt(context); }
};

const char* const kSkipped[] = {"script", "style", "head", "noscript", "template"};
const char* const kBlocks[] = {"p",          "br",      "div",     "li",    "ul", "ol", "tr",
                               "td",         "th",      "h1",      "h2",    "h3", "h4", "h5",
                               "h6",         "hr",      "pre",     "table", "dd", "dt", "dl",
                               "blockquote", "section", "article", "img"};

bool named(const xmlNode* node, const char* const* names, std::size_t count) {
    const char* name = reinterpret_cast<const char*>(node->name);
    for (std::size_t i = 0; i < count; ++i) {
        if (name != nullptr && std::strcmp(name, names[i]) == 0) {
            return true;
        }
    }
    return false;
}

// Walks the tree without recursion, so deeply nested markup cannot exhaust the
// stack.
void collectText(const xmlNode* root, std::string& out) {
    const xmlNode* node = root;
    while (node != nullptr) {
        bool descend = false;
        if (node->type == XML_TEXT_NODE || node->type == XML_CDATA_SECTION_NODE) {
            if (node->content != nullptr) {
                out += reinterpret_cast<const char*>(node->content);
            }
        } else if (node->type == XML_ELEMENT_NODE) {
            const bool block = named(node, kBlocks, std::size(kBlocks));
            if (block) {
                out += ' ';
            }
            descend = !named(node, kSkipped, std::size(kSkipped)) && node->children != nullptr;
        }
        if (descend) {
            node = node->children;
            continue;
        }
        while (node != nullptr && node != root && node->next == nullptr) {
            node = node->parent;
            if (node != nullptr && node->type == XML_ELEMENT_NODE &&
                named(node, kBlocks, std::size(kBlocks))) {
                out += ' ';
            }
        }
        if (node == nullptr || node == root) {
            break;
        }
        node = node->next;
    }
}

} // namespace

std::string markupText(const xmlNode* root) {
    std::string text;
    if (root != nullptr) {
        collectText(root, text);
    }
    return collapseBlanks(text);
}

std::string collapseBlanks(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    bool blank = false;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        bool isBlank = c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f' || c == '\v';
        if (c == 0xC2 && i + 1 < text.size() && static_cast<unsigned char>(text[i + 1]) == 0xA0) {
            isBlank = true; // U+00A0 no-break space
            ++i;
        }
        if (isBlank) {
            blank = !out.empty();
            continue;
        }
        if (blank) {
            out += ' ';
            blank = false;
        }
        out += static_cast<char>(c);
    }
    return out;
}

// `html` with every tag made a blank, for markup libxml2 gives up on.
std::string withoutTags(std::string_view html) {
    std::string text;
    bool inTag = false;
    for (char c : html) {
        if (c == '<') {
            inTag = true;
            text += ' ';
        } else if (c == '>') {
            inTag = false;
        } else if (!inTag) {
            text += c;
        }
    }
    return text;
}

std::string htmlToText(std::string_view html) {
    if (html.find_first_of("<&") == std::string_view::npos) {
        return collapseBlanks(html);
    }
    if (html.size() > INT_MAX) {
        return {};
    }
    const int options = HTML_PARSE_RECOVER | HTML_PARSE_NOERROR | HTML_PARSE_NOWARNING |
                        HTML_PARSE_NONET | HTML_PARSE_COMPACT;
    std::unique_ptr<htmlParserCtxt, ContextFree> context(htmlNewParserCtxt());
    if (!context) {
        return {};
    }
    std::unique_ptr<xmlDoc, DocFree> doc(htmlCtxtReadMemory(
        context.get(), html.data(), static_cast<int>(html.size()), nullptr, "UTF-8", options));
    // libxml2 stops at elements nested past its depth limit and drops what
    // follows; the text is then read without the tags (their entities too).
    if (context->disableSAX != 0) {
        return htmlToText(withoutTags(html));
    }
    return doc ? markupText(xmlDocGetRootElement(doc.get())) : std::string();
}

} // namespace tolvane::server
