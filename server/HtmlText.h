#pragma once

#include <string>
#include <string_view>

struct _xmlNode;

namespace tolvane::server {

// The readable text of an HTML fragment, as a feed description carries it:
// tags dropped (script and style with their content), entities resolved,
// block elements and line breaks turned into blanks, runs of white space
// (no-break spaces included) made one blank, trimmed.
std::string htmlToText(std::string_view html);

// The same for markup libxml2 has already parsed (Atom's xhtml content).
std::string markupText(const _xmlNode* root);

// `text` with runs of white space made one blank and trimmed.
std::string collapseBlanks(std::string_view text);

} // namespace tolvane::server
