#include "documents/HtmlText.h"
#include "documents/MarkupTree.h"
#include "documents/PackedText.h"
#include "documents/ParagraphText.h"

#include <map>
#include <vector>

namespace tolvane {

namespace {

constexpr std::string_view kContainer = "META-INF/container.xml";

// A manifest item of the package.
struct Item {
    std::string path; // in the archive
    std::string mediaType;
    std::string properties;
};

struct Package {
    std::string title;
    std::map<std::string, Item> items; // by id
    std::vector<std::string> spine;    // item ids in reading order
    std::string ncxId;                 // the spine's toc attribute
};

int hexValue(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    c = char(c | 0x20);
    return c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
}

std::string percentDecoded(std::string_view text) {
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '%' && i + 2 < text.size() && hexValue(text[i + 1]) >= 0 &&
            hexValue(text[i + 2]) >= 0) {
            out += char(hexValue(text[i + 1]) * 16 + hexValue(text[i + 2]));
            i += 2;
        } else {
            out += text[i];
        }
    }
    return out;
}

// The archive path of `href` (a relative URL, fragment dropped) as seen from
// the file at `from`; "." and ".." resolved, never above the archive's root.
std::string resolved(std::string_view from, std::string_view href) {
    href = href.substr(0, href.find('#'));
    const size_t slash = from.rfind('/');
    const std::string joined =
        (slash == std::string_view::npos ? std::string() : std::string(from.substr(0, slash + 1))) +
        percentDecoded(href);
    std::vector<std::string> parts;
    size_t start = 0;
    while (start <= joined.size()) {
        const size_t end = std::min(joined.find('/', start), joined.size());
        const std::string part = joined.substr(start, end - start);
        if (part == "..") {
            if (!parts.empty()) {
                parts.pop_back();
            }
        } else if (!part.empty() && part != ".") {
            parts.push_back(part);
        }
        start = end + 1;
    }
    std::string path;
    for (const std::string& part : parts) {
        path += (path.empty() ? "" : "/") + part;
    }
    return path;
}

bool readPackagePath(PackedFiles& files, Extraction& extraction, std::string& path) {
    std::string bytes;
    if (!files.read(kContainer, bytes, extraction)) {
        return false;
    }
    const MarkupDoc container = parseXml(bytes, kContainer, extraction);
    if (!container) {
        return false;
    }
    const xmlNode* rootfile = findElement(xmlDocGetRootElement(container.get()), "rootfile");
    path = resolved("", attributeOf(rootfile, "full-path"));
    return !path.empty() ||
           extraction.fail(DocumentError::kMalformed, "the container names no package");
}

bool readPackage(PackedFiles& files, const std::string& path, Extraction& extraction,
                 Package& package) {
    std::string bytes;
    if (!files.read(path, bytes, extraction)) {
        return false;
    }
    const MarkupDoc opf = parseXml(bytes, path, extraction);
    if (!opf) {
        return false;
    }
    const xmlNode* root = xmlDocGetRootElement(opf.get());
    package.title = textUnder(findElement(findElement(root, "metadata"), "title"));
    walkTree(root, [&](const xmlNode* node) {
        if (isElement(node, "item")) {
            package.items[attributeOf(node, "id")] = {resolved(path, attributeOf(node, "href")),
                                                      attributeOf(node, "media-type"),
                                                      attributeOf(node, "properties")};
        } else if (isElement(node, "spine")) {
            package.ncxId = attributeOf(node, "toc");
        } else if (isElement(node, "itemref") && attributeOf(node, "linear") != "no") {
            package.spine.push_back(attributeOf(node, "idref"));
        }
        return true;
    });
    return !package.spine.empty() ||
           extraction.fail(DocumentError::kMalformed, path + " lists no chapters");
}

// Chapter titles by archive path, from the navigation document's table of
// contents or the NCX: the first entry naming a file titles it.
std::map<std::string, std::u16string> tableOfContents(PackedFiles& files, const Package& package,
                                                      Extraction& extraction) {
    std::map<std::string, std::u16string> titles;
    const Item* nav = nullptr;
    for (const auto& [id, item] : package.items) {
        if ((" " + item.properties + " ").find(" nav ") != std::string::npos) {
            nav = &item;
        }
    }
    const auto ncx = package.items.find(package.ncxId);
    const Item* source = nav != nullptr ? nav : ncx != package.items.end() ? &ncx->second : nullptr;
    std::string bytes;
    // A table that cannot be read costs the titles only; the chapters' own
    // titles stand in.
    Extraction spare = extraction.spare();
    if (source == nullptr || !files.read(source->path, bytes, spare)) {
        return titles;
    }
    const MarkupDoc doc = nav != nullptr ? parseHtml(bytes, source->path, spare)
                                         : parseXml(bytes, source->path, spare);
    if (!doc) {
        return titles;
    }
    const auto add = [&](const std::string& href, const std::string& label) {
        const std::u16string title = ParagraphText::oneLine(label);
        if (!href.empty() && !title.empty()) {
            titles.emplace(resolved(source->path, href), title);
        }
    };
    walkTree(xmlDocGetRootElement(doc.get()), [&](const xmlNode* node) {
        if (nav != nullptr && isElement(node, "a")) {
            add(attributeOf(node, "href"), textUnder(node));
        } else if (nav == nullptr && isElement(node, "navPoint")) {
            add(attributeOf(findElement(node, "content"), "src"),
                textUnder(findElement(findElement(node, "navLabel"), "text")));
        }
        return true;
    });
    return titles;
}

} // namespace

bool readEpub(PackedFiles& files, Extraction& extraction, Document& document) {
    document.kind = DocumentKind::kEpub;
    std::string packagePath;
    Package package;
    if (!readPackagePath(files, extraction, packagePath) ||
        !readPackage(files, packagePath, extraction, package)) {
        return false;
    }
    document.title = ParagraphText::oneLine(package.title);
    const std::map<std::string, std::u16string> titles =
        tableOfContents(files, package, extraction);
    size_t units = 0;
    for (const std::string& id : package.spine) {
        const auto item = package.items.find(id);
        std::string bytes;
        PageText page;
        if (item == package.items.end()) {
            return extraction.fail(DocumentError::kMalformed,
                                   packagePath + " names a chapter it does not hold");
        }
        if (!files.read(item->second.path, bytes, extraction) ||
            !readHtmlPage(bytes, item->second.path, false, extraction, page)) {
            return false;
        }
        units += page.text.size();
        if (units > extraction.limits().textUnits) {
            return extraction.fail(DocumentError::kTooLarge,
                                   "more than " + std::to_string(extraction.limits().textUnits) +
                                       " characters of text");
        }
        if (!page.text.empty()) {
            const auto listed = titles.find(item->second.path);
            document.sections.push_back(
                {listed != titles.end() ? listed->second : page.title, std::move(page.text)});
        }
    }
    return true;
}

} // namespace tolvane
