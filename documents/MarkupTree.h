#pragma once

#include "documents/Extraction.h"

#include <libxml/tree.h>

#include <functional>
#include <memory>
#include <string>
#include <string_view>

namespace tolvane {

struct MarkupFree {
    void operator()(xmlDoc* doc) const { xmlFreeDoc(doc); }
};
using MarkupDoc = std::unique_ptr<xmlDoc, MarkupFree>;

// An XML part of a document (`name` says which, for messages). No network,
// no external DTD, entities left unexpanded, and libxml2's own bounds on
// nesting, text nodes and entity amplification kept (its "huge" mode off).
// Null with the problem recorded when it is not well-formed.
MarkupDoc parseXml(std::string_view bytes, std::string_view name, Extraction& extraction);

// An HTML page or XHTML chapter through libxml2's forgiving HTML parser, with
// the same bounds. The bytes are read as UTF-8 when they are valid UTF-8,
// otherwise as the page's own charset declaration says.
MarkupDoc parseHtml(std::string_view bytes, std::string_view name, Extraction& extraction);

// The element's name without its prefix, lower case for HTML; empty for
// other nodes.
std::string_view localName(const xmlNode* node);
bool isElement(const xmlNode* node, std::string_view name);

// The value of the attribute of that local name (any namespace), or empty.
std::string attributeOf(const xmlNode* node, std::string_view name);

// The first element of that local name at or below `root`, in document order.
const xmlNode* findElement(const xmlNode* root, std::string_view name);

// All text under `node`, in document order.
std::string textUnder(const xmlNode* node);

// Visits the tree under `root` in document order without recursion, so
// deep nesting cannot exhaust the stack. `enter` sees every node; returning
// false skips what lies under it. `leave` sees every element after what lies
// under it.
void walkTree(const xmlNode* root, const std::function<bool(const xmlNode*)>& enter,
              const std::function<void(const xmlNode*)>& leave = {});

} // namespace tolvane
