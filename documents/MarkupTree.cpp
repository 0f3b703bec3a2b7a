#include "documents/MarkupTree.h"

#include <libxml/HTMLparser.h>
#include <libxml/parser.h>

#include <climits>
#include <cstring>
#include <mutex>
#include <unicode/utf8.h>

namespace tolvane {

namespace {

struct ParserFree {
    void operator()(xmlParserCtxt* context) const { xmlFreeParserCtxt(context); }
};

void initialiseOnce() {
    static std::once_flag once;
    std::call_once(once, [] { xmlInitParser(); });
}

bool isValidUtf8(std::string_view bytes) {
    const auto* s = reinterpret_cast<const uint8_t*>(bytes.data());
    const int32_t length = int32_t(bytes.size());
    int32_t i = 0;
    while (i < length) {
        UChar32 c = 0;
        U8_NEXT(s, i, length, c);
        if (c < 0) {
            return false;
        }
    }
    return true;
}

// What libxml2 said about the part, as "NAME, line N: MESSAGE".
std::string parserSays(const xmlParserCtxt* context, std::string_view name) {
    std::string said(name);
    const xmlError& error = context->lastError;
    if (error.line > 0) {
        said += ", line " + std::to_string(error.line);
    }
    if (error.message != nullptr) {
        std::string message = error.message;
        while (!message.empty() && (message.back() == '\n' || message.back() == ' ')) {
            message.pop_back();
        }
        said += ": " + message;
    }
    return said;
}

bool nestedTooDeep(const xmlParserCtxt* context) {
    return context->lastError.message != nullptr &&
           std::strstr(context->lastError.message, "Excessive depth") != nullptr;
}

bool fits(std::string_view bytes, std::string_view name, Extraction& extraction) {
    return bytes.size() <= size_t(INT_MAX) ||
           extraction.fail(DocumentError::kTooLarge, std::string(name));
}

} // namespace

MarkupDoc parseXml(std::string_view bytes, std::string_view name, Extraction& extraction) {
    initialiseOnce();
    if (!fits(bytes, name, extraction)) {
        return nullptr;
    }
    std::unique_ptr<xmlParserCtxt, ParserFree> context(xmlNewParserCtxt());
    if (!context) {
        extraction.fail(DocumentError::kTooLarge, "no memory to parse " + std::string(name));
        return nullptr;
    }
    const int options = XML_PARSE_NONET | XML_PARSE_NOERROR | XML_PARSE_NOWARNING;
    MarkupDoc doc(xmlCtxtReadMemory(context.get(), bytes.data(), int(bytes.size()), nullptr,
                                    nullptr, options));
    if (!doc || context->wellFormed == 0) {
        extraction.fail(nestedTooDeep(context.get()) ? DocumentError::kNestedTooDeep
                                                     : DocumentError::kMalformed,
                        parserSays(context.get(), name));
        return nullptr;
    }
    return doc;
}

MarkupDoc parseHtml(std::string_view bytes, std::string_view name, Extraction& extraction) {
    initialiseOnce();
    if (!fits(bytes, name, extraction)) {
        return nullptr;
    }
    std::unique_ptr<xmlParserCtxt, ParserFree> context(htmlNewParserCtxt());
    if (!context) {
        extraction.fail(DocumentError::kTooLarge, "no memory to parse " + std::string(name));
        return nullptr;
    }
    const int options = HTML_PARSE_RECOVER | HTML_PARSE_NOERROR | HTML_PARSE_NOWARNING |
                        HTML_PARSE_NONET | HTML_PARSE_COMPACT;
    const char* encoding = isValidUtf8(bytes) ? "UTF-8" : nullptr;
    MarkupDoc doc(htmlCtxtReadMemory(context.get(), bytes.data(), int(bytes.size()), nullptr,
                                     encoding, options));
    // The parser gives up on elements nested past its depth limit and drops
    // the rest of the page.
    if (context->disableSAX != 0 && nestedTooDeep(context.get())) {
        extraction.fail(DocumentError::kNestedTooDeep, parserSays(context.get(), name));
        return nullptr;
    }
    if (!doc) {
        extraction.fail(DocumentError::kMalformed, parserSays(context.get(), name));
    }
    return doc;
}

std::string_view localName(const xmlNode* node) {
    if (node == nullptr || node->type != XML_ELEMENT_NODE || node->name == nullptr) {
        return {};
    }
    std::string_view name(reinterpret_cast<const char*>(node->name));
    // The HTML parser keeps an XHTML prefix ("epub:type") in the name.
    const size_t colon = name.rfind(':');
    return colon == std::string_view::npos ? name : name.substr(colon + 1);
}

bool isElement(const xmlNode* node, std::string_view name) {
    return localName(node) == name;
}

std::string attributeOf(const xmlNode* node, std::string_view name) {
    if (node == nullptr || node->type != XML_ELEMENT_NODE) {
        return {};
    }
    for (const xmlAttr* attribute = node->properties; attribute != nullptr;
         attribute = attribute->next) {
        std::string_view attributeName(reinterpret_cast<const char*>(attribute->name));
        const size_t colon = attributeName.rfind(':');
        if (colon != std::string_view::npos) {
            attributeName.remove_prefix(colon + 1);
        }
        if (attributeName == name) {
            xmlChar* value = xmlNodeGetContent(reinterpret_cast<const xmlNode*>(attribute));
            std::string text = value != nullptr ? reinterpret_cast<const char*>(value) : "";
            xmlFree(value);
            return text;
        }
    }
    return {};
}

const xmlNode* findElement(const xmlNode* root, std::string_view name) {
    const xmlNode* found = nullptr;
    walkTree(root, [&](const xmlNode* node) {
        if (found == nullptr && isElement(node, name)) {
            found = node;
        }
        return found == nullptr;
    });
    return found;
}

std::string textUnder(const xmlNode* node) {
    std::string text;
    walkTree(node, [&](const xmlNode* n) {
        if ((n->type == XML_TEXT_NODE || n->type == XML_CDATA_SECTION_NODE) &&
            n->content != nullptr) {
            text += reinterpret_cast<const char*>(n->content);
        }
        return true;
    });
    return text;
}

void walkTree(const xmlNode* root, const std::function<bool(const xmlNode*)>& enter,
              const std::function<void(const xmlNode*)>& leave) {
    const xmlNode* node = root;
    while (node != nullptr) {
        if (enter(node) && node->children != nullptr && node->type != XML_ENTITY_REF_NODE) {
            node = node->children;
            continue;
        }
        // The node is done: so is every ancestor it is the last child of.
        while (true) {
            if (leave && node->type == XML_ELEMENT_NODE) {
                leave(node);
            }
            if (node == root) {
                return;
            }
            if (node->next != nullptr) {
                node = node->next;
                break;
            }
            node = node->parent;
        }
    }
}

} // namespace tolvane
