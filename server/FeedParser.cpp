#include "server/FeedParser.h"

#include "server/HtmlText.h"
#include "server/Utf8.h"

#include <libxml/parser.h>
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
    void operator()(xmlParserCtxt* context) const { xmlFreeParserCtxt(context); }
};
struct StringFree {
    void operator()(xmlChar* text) const { xmlFree(text); }
};

bool isNamed(const xmlNode* node, const char* name) {
    return node->type == XML_ELEMENT_NODE && node->name != nullptr &&
           std::strcmp(reinterpret_cast<const char*>(node->name), name) == 0;
}

const xmlNode* child(const xmlNode* parent, const char* name) {
    for (const xmlNode* node = parent->children; node != nullptr; node = node->next) {
        if (isNamed(node, name)) {
            return node;
        }
    }
    return nullptr;
}

std::string attribute(const xmlNode* node, const char* name) {
    std::unique_ptr<xmlChar, StringFree> value(xmlGetProp(node, BAD_CAST name));
    return value ? reinterpret_cast<const char*>(value.get()) : "";
}

// The character data of an element and its descendants.
std::string content(const xmlNode* node) {
    std::unique_ptr<xmlChar, StringFree> text(xmlNodeGetContent(node));
    return text ? reinterpret_cast<const char*>(text.get()) : "";
}

// The first of `names` that `parent` has, as text; HTML is reduced to its text
// when `html` says the element holds markup.
std::string field(const xmlNode* parent, std::initializer_list<const char*> names, bool html) {
    for (const char* name : names) {
        const xmlNode* node = child(parent, name);
        if (node == nullptr) {
            continue;
        }
        const std::string type = attribute(node, "type");
        const bool markup = html || type == "html" || type == "text/html";
        if (type == "xhtml") {
            return markupText(node); // already parsed markup
        }
        return markup ? htmlToText(content(node)) : collapseBlanks(content(node));
    }
    return {};
}

void addItem(const xmlNode* node, bool atom, std::vector<FeedItem>& items) {
    FeedItem item;
    if (atom) {
        item.title = field(node, {"title"}, false);
        item.description = field(node, {"summary", "content"}, false);
        item.time = field(node, {"updated", "published"}, false);
    } else {
        item.title = field(node, {"title"}, false);
        item.description = field(node, {"description", "encoded"}, true);
        item.time = field(node, {"pubDate", "date"}, false);
    }
    for (std::string* text : {&item.title, &item.description, &item.time}) {
        text->resize(cutUtf8(*text, kItemTextBytes).size());
        text->shrink_to_fit();
    }
    if (!item.title.empty() || !item.description.empty()) {
        items.push_back(std::move(item));
    }
}

// Collects the items under `parent` ("item" or Atom "entry" elements).
void collect(const xmlNode* parent, const char* name, bool atom, std::size_t maxItems,
             std::vector<FeedItem>& items) {
    for (const xmlNode* node = parent->children; node != nullptr && items.size() < maxItems;
         node = node->next) {
        if (isNamed(node, name)) {
            addItem(node, atom, items);
        }
    }
}

bool declaresEntities(const xmlDoc* doc) {
    for (const xmlDtd* dtd : {doc->intSubset, doc->extSubset}) {
        if (dtd == nullptr) {
            continue;
        }
        for (const xmlNode* node = dtd->children; node != nullptr; node = node->next) {
            if (node->type == XML_ENTITY_DECL) {
                return true;
            }
        }
    }
    return false;
}

} // namespace

bool parseFeed(std::string_view xml, std::size_t maxItems, std::vector<FeedItem>& items,
               std::string& error) {
    items.clear();
    if (xml.size() > INT_MAX) {
        error = "feed too large";
        return false;
    }
    std::unique_ptr<xmlParserCtxt, ContextFree> context(xmlNewParserCtxt());
    if (!context) {
        error = "libxml2 cannot create a parser";
        return false;
    }
    // No network, no external entities or DTDs, no messages on stderr.
    const int options = XML_PARSE_NONET | XML_PARSE_NOERROR | XML_PARSE_NOWARNING;
    std::unique_ptr<xmlDoc, DocFree> doc(xmlCtxtReadMemory(
        context.get(), xml.data(), static_cast<int>(xml.size()), nullptr, nullptr, options));
    if (!doc) {
        const xmlError* last = xmlCtxtGetLastError(context.get());
        error = "not well-formed XML";
        if (last != nullptr && last->message != nullptr) {
            std::string message = last->message;
            while (!message.empty() && (message.back() == '\n' || message.back() == ' ')) {
                message.pop_back();
            }
            error += " (line " + std::to_string(last->line) + ": " + message + ")";
        }
        return false;
    }
    if (declaresEntities(doc.get())) {
        error = "feed declares entities, which are not accepted";
        return false;
    }
    const xmlNode* root = xmlDocGetRootElement(doc.get());
    if (root == nullptr) {
        error = "empty document";
        return false;
    }
    if (isNamed(root, "rss")) {
        const xmlNode* channel = child(root, "channel");
        if (channel == nullptr) {
            error = "RSS document without a channel";
            return false;
        }
        collect(channel, "item", false, maxItems, items);
    } else if (isNamed(root, "feed")) {
        collect(root, "entry", true, maxItems, items);
    } else if (isNamed(root, "RDF")) {
        collect(root, "item", false, maxItems, items);
    } else {
        error = "neither RSS nor Atom (root element <" +
                std::string(root->name ? reinterpret_cast<const char*>(root->name) : "") + ">)";
        return false;
    }
    return true;
}

} // namespace tolvane::server
