#include "documents/DocumentReader.h"

#include "documents/Extraction.h"
#include "documents/FileBytes.h"
#include "documents/HtmlText.h"
#include "documents/PackedText.h"
#include "documents/PdfText.h"
#include "documents/TextFile.h"
#include "platform/SystemText.h"
#include "platform/Text.h"

#include <array>

namespace tolvane {

namespace {

constexpr std::string_view kZipMagic = "PK\x03\x04";

std::string extensionOf(std::string_view fileName) {
    const size_t dot = fileName.rfind('.');
    const size_t slash = fileName.rfind('/');
    if (dot == std::string_view::npos || (slash != std::string_view::npos && dot < slash)) {
        return {};
    }
    return platform::asciiLowered(fileName.substr(dot + 1));
}

// An HTML page starts, after a byte-order mark and blanks, with a doctype,
// <html>, <head> or <body>, or a comment or XML declaration before one.
bool looksLikeHtml(std::string_view bytes, std::string_view fileName) {
    if (bytes.substr(0, 3) == "\xEF\xBB\xBF") {
        bytes.remove_prefix(3);
    }
    const size_t first = bytes.find_first_not_of(" \t\r\n");
    if (first == std::string_view::npos || bytes[first] != '<') {
        return false;
    }
    const std::string head = platform::asciiLowered(bytes.substr(first, 1024));
    for (std::string_view start : {"<!doctype html", "<html", "<head", "<body"}) {
        if (head.compare(0, start.size(), start) == 0) {
            return true;
        }
    }
    const std::string extension = extensionOf(fileName);
    return head.find("<html") != std::string::npos || extension == "html" || extension == "htm" ||
           extension == "xhtml";
}

std::string mimetypeOf(ZipFiles& zip, Extraction& extraction) {
    std::string mimetype;
    Extraction spare = extraction.spare();
    if (zip.has("mimetype")) {
        zip.read("mimetype", mimetype, spare);
    }
    const size_t end = mimetype.find_last_not_of(" \t\r\n");
    return mimetype.substr(0, end == std::string::npos ? 0 : end + 1);
}

bool readZipped(std::string_view bytes, Extraction& extraction, Document& document) {
    ZipFiles zip;
    if (!zip.open(bytes, extraction)) {
        return false;
    }
    const std::string mimetype = mimetypeOf(zip, extraction);
    if (mimetype == "application/epub+zip" || zip.has("META-INF/container.xml")) {
        return readEpub(zip, extraction, document);
    }
    if (zip.has("word/document.xml")) {
        return readDocx(zip, extraction, document);
    }
    if (mimetype.rfind("application/vnd.oasis.opendocument.text", 0) == 0 ||
        (mimetype.empty() && zip.has("content.xml"))) {
        return readOdt(zip, extraction, document);
    }
    return extraction.fail(DocumentError::kNotADocument, mimetype.empty()
                                                             ? "a zip archive of other files"
                                                             : "a zip archive of " + mimetype);
}

bool readHtml(std::string_view bytes, std::string_view fileName, Extraction& extraction,
              Document& document) {
    document.kind = DocumentKind::kHtml;
    PageText page;
    if (!readHtmlPage(bytes, fileName, true, extraction, page)) {
        return false;
    }
    document.title = page.title;
    document.sections.push_back({{}, std::move(page.text)});
    return true;
}

bool readPlainText(std::string_view bytes, Extraction& extraction, Document& document) {
    document.kind = DocumentKind::kPlainText;
    std::optional<std::u16string> text = TextFile::decode(bytes, platform::ansiCharset());
    if (!text || text->find(u'\0') != std::u16string::npos) {
        return extraction.fail(DocumentError::kNotADocument, "not text in a known encoding");
    }
    if (text->size() > extraction.limits().textUnits) {
        return extraction.fail(DocumentError::kTooLarge);
    }
    document.sections.push_back({{}, std::move(*text)});
    return true;
}

} // namespace

OpenedDocument readDocument(std::string_view bytes, std::string_view fileName,
                            const DocumentLimits& limits) {
    OpenedDocument opened;
    Extraction extraction(limits);
    Document& document = opened.document;
    bool read = false;
    if (bytes.size() > limits.fileBytes) {
        read = extraction.fail(DocumentError::kTooLarge, std::to_string(bytes.size()) + " bytes");
    } else if (bytes.substr(0, 1024).find("%PDF-") != std::string_view::npos) {
        read = readPdf(bytes, extraction, document);
    } else if (bytes.substr(0, kZipMagic.size()) == kZipMagic) {
        read = readZipped(bytes, extraction, document);
    } else if (looksLikeHtml(bytes, fileName)) {
        read = readHtml(bytes, fileName, extraction, document);
    } else {
        read = readPlainText(bytes, extraction, document);
    }
    std::erase_if(document.sections, [](const DocumentSection& section) {
        return section.text.find_first_not_of(u" \t\n") == std::u16string::npos;
    });
    if (read && document.sections.empty()) {
        extraction.fail(DocumentError::kNoText);
    }
    opened.problem = extraction.problem();
    if (!opened) {
        opened.document = {};
        return opened;
    }
    if (document.title.empty()) {
        const size_t slash = fileName.rfind('/');
        document.title = platform::utf8ToUtf16(
            slash == std::string_view::npos ? fileName : fileName.substr(slash + 1));
    }
    return opened;
}

OpenedDocument openDocument(const std::filesystem::path& path, const DocumentLimits& limits) {
    std::string bytes;
    bool truncated = false;
    std::string error;
    std::error_code ec;
    // A file larger than the limit is refused before any of it is read.
    const uintmax_t size = std::filesystem::file_size(path, ec);
    truncated = !ec && size > limits.fileBytes;
    if (!truncated && !readFileHead(path, limits.fileBytes, bytes, truncated, error)) {
        OpenedDocument opened;
        Extraction extraction(limits);
        extraction.fail(DocumentError::kUnreadable, error);
        opened.problem = extraction.problem();
        return opened;
    }
    if (truncated) {
        OpenedDocument opened;
        Extraction extraction(limits);
        extraction.fail(DocumentError::kTooLarge,
                        "more than " + std::to_string(limits.fileBytes >> 20) + " MiB");
        opened.problem = extraction.problem();
        return opened;
    }
    return readDocument(bytes, path.filename().string(), limits);
}

} // namespace tolvane
