#include "tests/support/DocumentMaker.h"

#include <zip.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>

namespace tolvane::test {

namespace {

// The bytes of a zip archive libzip wrote into a memory source.
std::string bytesOf(zip_source_t* source) {
    std::string bytes;
    if (zip_source_open(source) != 0) {
        return bytes;
    }
    char buffer[65536];
    zip_int64_t got = 0;
    while ((got = zip_source_read(source, buffer, sizeof buffer)) > 0) {
        bytes.append(buffer, size_t(got));
    }
    zip_source_close(source);
    return bytes;
}

struct Zeros {
    uint64_t size = 0;
    uint64_t given = 0;
};

zip_int64_t zerosSource(void* state, void* data, zip_uint64_t length, zip_source_cmd_t command) {
    Zeros& zeros = *static_cast<Zeros*>(state);
    switch (command) {
    case ZIP_SOURCE_OPEN:
        zeros.given = 0;
        return 0;
    case ZIP_SOURCE_READ: {
        const uint64_t count = std::min<uint64_t>(length, zeros.size - zeros.given);
        std::memset(data, 0, count);
        zeros.given += count;
        return zip_int64_t(count);
    }
    case ZIP_SOURCE_STAT: {
        auto* stat = static_cast<zip_stat_t*>(data);
        zip_stat_init(stat);
        stat->size = zeros.size;
        stat->valid |= ZIP_STAT_SIZE;
        return sizeof(zip_stat_t);
    }
    case ZIP_SOURCE_SUPPORTS:
        return zip_source_make_command_bitmap(ZIP_SOURCE_OPEN, ZIP_SOURCE_READ, ZIP_SOURCE_CLOSE,
                                              ZIP_SOURCE_STAT, ZIP_SOURCE_ERROR, ZIP_SOURCE_FREE,
                                              -1);
    case ZIP_SOURCE_ERROR:
        return 2 * sizeof(int);
    default:
        return 0;
    }
}

void putLe32(std::string& bytes, size_t at, uint32_t value) {
    for (int i = 0; i < 4; ++i) {
        bytes[at + size_t(i)] = char((value >> (8 * i)) & 0xFF);
    }
}

uint32_t le32(const std::string& bytes, size_t at) {
    uint32_t value = 0;
    for (int i = 3; i >= 0; --i) {
        value = value << 8 | uint8_t(bytes[at + size_t(i)]);
    }
    return value;
}

// Claims in both headers of `name` that it unpacks to `size` bytes.
void understate(std::string& zip, const std::string& name, uint32_t size) {
    for (size_t at = zip.find("PK\x01\x02"); at != std::string::npos;
         at = zip.find("PK\x01\x02", at + 4)) {
        const size_t nameLength = uint8_t(zip[at + 28]) | uint8_t(zip[at + 29]) << 8;
        if (zip.compare(at + 46, nameLength, name) == 0) {
            putLe32(zip, at + 24, size);
            putLe32(zip, le32(zip, at + 42) + 22, size);
        }
    }
}

std::string archive(const NamedBytes& files, const Zeros* zeros, const std::string& zerosName) {
    zip_error_t error;
    zip_error_init(&error);
    zip_source_t* memory = zip_source_buffer_create(nullptr, 0, 0, &error);
    zip_t* zip = zip_open_from_source(memory, ZIP_TRUNCATE, &error);
    if (zip == nullptr) {
        return {};
    }
    zip_source_keep(memory);
    for (const auto& [name, bytes] : files) {
        zip_source_t* source = zip_source_buffer(zip, bytes.data(), bytes.size(), 0);
        const zip_int64_t index = zip_file_add(zip, name.c_str(), source, ZIP_FL_ENC_UTF_8);
        // The mimetype entry of EPUB and ODT is stored, as readers expect.
        zip_set_file_compression(zip, zip_uint64_t(index),
                                 name == "mimetype" ? ZIP_CM_STORE : ZIP_CM_DEFLATE, 0);
    }
    if (zeros != nullptr) {
        zip_source_t* source = zip_source_function(zip, zerosSource, const_cast<Zeros*>(zeros));
        const zip_int64_t index = zip_file_add(zip, zerosName.c_str(), source, 0);
        zip_set_file_compression(zip, zip_uint64_t(index), ZIP_CM_DEFLATE, 1);
    }
    if (zip_close(zip) != 0) {
        zip_discard(zip);
        zip_source_free(memory);
        return {};
    }
    std::string bytes = bytesOf(memory);
    zip_source_free(memory);
    return bytes;
}

std::string escapedXml(const std::string& text) {
    std::string out;
    for (char c : text) {
        out += c == '<' ? "&lt;" : c == '&' ? "&amp;" : c == '>' ? "&gt;" : std::string(1, c);
    }
    return out;
}

} // namespace

std::string zipOf(const NamedBytes& files) {
    return archive(files, nullptr, {});
}

std::string zipWithZeros(const NamedBytes& others, const std::string& name, uint64_t zeros,
                         bool understated) {
    const Zeros source{zeros, 0};
    std::string zip = archive(others, &source, name);
    if (understated) {
        understate(zip, name, 1000);
    }
    return zip;
}

std::string epubOf(const std::string& title, const std::vector<Chapter>& chapters) {
    NamedBytes files = {
        {"mimetype", "application/epub+zip"},
        {"META-INF/container.xml",
         "<?xml version=\"1.0\"?>\n<container version=\"1.0\" "
         "xmlns=\"urn:oasis:names:tc:opendocument:xmlns:container\"><rootfiles><rootfile "
         "full-path=\"OEBPS/content.opf\" media-type=\"application/oebps-package+xml\"/>"
         "</rootfiles></container>"}};
    std::string manifest = "<item id=\"nav\" href=\"nav.xhtml\" properties=\"nav\" "
                           "media-type=\"application/xhtml+xml\"/>";
    std::string spine;
    std::string nav;
    for (size_t i = chapters.size(); i-- > 0;) {
        const std::string id = "c" + std::to_string(i + 1);
        manifest += "<item id=\"" + id + "\" href=\"text/" + id +
                    ".xhtml\" media-type=\"application/xhtml+xml\"/>";
    }
    for (size_t i = 0; i < chapters.size(); ++i) {
        const std::string id = "c" + std::to_string(i + 1);
        spine += "<itemref idref=\"" + id + "\"/>";
        nav += "<li><a href=\"text/" + id + ".xhtml#start\">" + escapedXml(chapters[i].title) +
               "</a></li>";
        std::string body;
        for (const std::string& paragraph : chapters[i].paragraphs) {
            body += "<p>" + escapedXml(paragraph) + "</p>\n";
        }
        files.push_back(
            {"OEBPS/text/" + id + ".xhtml", "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<html "
                                            "xmlns=\"http://www.w3.org/1999/xhtml\"><head><title>" +
                                                escapedXml(chapters[i].title) +
                                                "</title><style>p{}</style></head>"
                                                "<body>\n" +
                                                body + "</body></html>"});
    }
    files.push_back({"OEBPS/content.opf",
                     "<?xml version=\"1.0\"?>\n<package xmlns=\"http://www.idpf.org/2007/opf\" "
                     "version=\"3.0\"><metadata xmlns:dc=\"http://purl.org/dc/elements/1.1/\">"
                     "<dc:title>" +
                         escapedXml(title) + "</dc:title></metadata><manifest>" + manifest +
                         "</manifest><spine>" + spine + "</spine></package>"});
    files.push_back({"OEBPS/nav.xhtml",
                     "<?xml version=\"1.0\"?>\n<html xmlns=\"http://www.w3.org/1999/xhtml\" "
                     "xmlns:epub=\"http://www.idpf.org/2007/ops\"><body><nav epub:type=\"toc\">"
                     "<ol>" +
                         nav + "</ol></nav></body></html>"});
    return zipOf(files);
}

std::string docxOf(const std::vector<std::string>& paragraphs) {
    std::string body;
    for (const std::string& paragraph : paragraphs) {
        // Each paragraph in two runs split at its first blank, as editors do.
        const size_t blank = paragraph.find(' ');
        const std::string first = paragraph.substr(0, blank);
        const std::string rest = blank == std::string::npos ? "" : paragraph.substr(blank);
        body += "<w:p><w:pPr/><w:r><w:t>" + escapedXml(first) +
                "</w:t></w:r><w:r><w:instrText> PAGE </w:instrText></w:r><w:r><w:t "
                "xml:space=\"preserve\">" +
                escapedXml(rest) + "</w:t></w:r></w:p>\n";
    }
    return zipOf(
        {{"[Content_Types].xml", "<?xml version=\"1.0\"?><Types/>"},
         {"word/document.xml",
          "<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"yes\"?>\n<w:document "
          "xmlns:w=\"http://schemas.openxmlformats.org/wordprocessingml/2006/main\"><w:body>\n" +
              body + "</w:body></w:document>"}});
}

std::string odtOf(const std::vector<std::string>& paragraphs) {
    std::string body;
    for (size_t i = 0; i < paragraphs.size(); ++i) {
        const std::string tag = i == 0 ? "text:h" : "text:p";
        std::string paragraph = escapedXml(paragraphs[i]);
        // A blank written as ODF writes a run of them.
        const size_t blank = paragraph.find(' ');
        if (blank != std::string::npos) {
            paragraph.replace(blank, 1, " <text:s text:c=\"1\"/>");
        }
        body += "<" + tag + ">" + paragraph +
                "<text:note><text:note-body><text:p>a note"
                "</text:p></text:note-body></text:note></" +
                tag + ">\n";
    }
    return zipOf(
        {{"mimetype", "application/vnd.oasis.opendocument.text"},
         {"content.xml", "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<office:document-content "
                         "xmlns:office=\"urn:oasis:names:tc:opendocument:xmlns:office:1.0\" "
                         "xmlns:text=\"urn:oasis:names:tc:opendocument:xmlns:text:1.0\">"
                         "<office:body><office:text>\n" +
                             body + "</office:text></office:body></office:document-content>"}});
}

namespace {

std::u32string codePoints(const std::string& utf8) {
    std::u32string out;
    for (size_t i = 0; i < utf8.size();) {
        const uint8_t c = uint8_t(utf8[i]);
        const int extra = c < 0x80 ? 0 : c < 0xE0 ? 1 : c < 0xF0 ? 2 : 3;
        char32_t point = extra == 0 ? c : c & (0x3F >> extra);
        for (int k = 1; k <= extra && i + size_t(k) < utf8.size(); ++k) {
            point = point << 6 | (uint8_t(utf8[i + size_t(k)]) & 0x3F);
        }
        out += point;
        i += size_t(extra) + 1;
    }
    return out;
}

std::string hex4(unsigned value) {
    char text[8];
    std::snprintf(text, sizeof text, "%04X", value);
    return text;
}

std::string pdfLiteral(const std::string& text) {
    std::string out = "(";
    for (char c : text) {
        if (c == '(' || c == ')' || c == '\\') {
            out += '\\';
        }
        out += c;
    }
    return out + ")";
}

} // namespace

std::string pdfOf(const std::vector<std::vector<std::string>>& pages, bool locked) {
    // CJK characters get glyph numbers (CIDs) in order of first use; the
    // font's ToUnicode map turns them back into text.
    std::map<char32_t, unsigned> cids;
    std::vector<std::string> contents;
    for (const auto& lines : pages) {
        std::string content;
        double y = 760;
        for (const std::string& line : lines) {
            const std::u32string points = codePoints(line);
            const bool cjk =
                std::any_of(points.begin(), points.end(), [](char32_t p) { return p >= 0x2E80; });
            content += "BT /" + std::string(cjk ? "F2" : "F1") + " 12 Tf 50 " +
                       std::to_string(int(y)) + " Td ";
            if (cjk) {
                content += "<";
                for (char32_t point : points) {
                    const auto [entry, added] = cids.emplace(point, unsigned(cids.size() + 1));
                    content += hex4(entry->second);
                }
                content += "> Tj ET\n";
            } else {
                content += pdfLiteral(line) + " Tj ET\n";
            }
            y -= 18;
        }
        contents.push_back(content);
    }
    std::string toUnicode = "/CIDInit /ProcSet findresource begin 12 dict begin begincmap "
                            "/CIDSystemInfo << /Registry (Adobe) /Ordering (UCS) /Supplement 0 "
                            ">> def /CMapName /Adobe-Identity-UCS def /CMapType 2 def "
                            "1 begincodespacerange <0000> <FFFF> endcodespacerange\n";
    for (const auto& [point, cid] : cids) {
        toUnicode +=
            "1 beginbfchar <" + hex4(cid) + "> <" + hex4(unsigned(point)) + "> endbfchar\n";
    }
    toUnicode += "endcmap CMapName currentdict /CMap defineresource pop end end\n";

    std::vector<std::string> objects; // object n is objects[n - 1]
    const auto stream = [](const std::string& data) {
        return "<< /Length " + std::to_string(data.size()) + " >>\nstream\n" + data + "\nendstream";
    };
    objects.push_back("<< /Type /Catalog /Pages 2 0 R >>");
    objects.push_back(""); // the page tree, once the pages have numbers
    objects.push_back("<< /Type /Font /Subtype /Type1 /BaseFont /Helvetica "
                      "/Encoding /WinAnsiEncoding >>");
    objects.push_back("<< /Type /Font /Subtype /Type0 /BaseFont /WenQuanYiMicroHei "
                      "/Encoding /Identity-H /DescendantFonts [5 0 R] /ToUnicode 6 0 R >>");
    objects.push_back("<< /Type /Font /Subtype /CIDFontType2 /BaseFont /WenQuanYiMicroHei "
                      "/CIDSystemInfo << /Registry (Adobe) /Ordering (Identity) /Supplement 0 >> "
                      "/FontDescriptor 7 0 R /DW 1000 >>");
    objects.push_back(stream(toUnicode));
    objects.push_back("<< /Type /FontDescriptor /FontName /WenQuanYiMicroHei /Flags 4 "
                      "/FontBBox [0 -200 1000 900] /ItalicAngle 0 /Ascent 900 /Descent -200 "
                      "/CapHeight 700 /StemV 80 >>");
    std::string kids;
    for (const std::string& content : contents) {
        const size_t pageObject = objects.size() + 1;
        kids += std::to_string(pageObject) + " 0 R ";
        objects.push_back("<< /Type /Page /Parent 2 0 R /MediaBox [0 0 612 792] /Resources "
                          "<< /Font << /F1 3 0 R /F2 4 0 R >> >> /Contents " +
                          std::to_string(pageObject + 1) + " 0 R >>");
        objects.push_back(stream(content));
    }
    objects[1] =
        "<< /Type /Pages /Kids [" + kids + "] /Count " + std::to_string(contents.size()) + " >>";
    if (locked) {
        // The standard handler, revision 2, with check values no password
        // gives: the empty user password does not open it.
        objects.push_back("<< /Filter /Standard /V 1 /R 2 /P -44 /O <" + std::string(64, 'A') +
                          "> /U <" + std::string(64, 'B') + "> >>");
    }
    std::string pdf = "%PDF-1.4\n%\xE2\xE3\xCF\xD3\n";
    std::vector<size_t> offsets;
    for (size_t i = 0; i < objects.size(); ++i) {
        offsets.push_back(pdf.size());
        pdf += std::to_string(i + 1) + " 0 obj\n" + objects[i] + "\nendobj\n";
    }
    const size_t xref = pdf.size();
    pdf += "xref\n0 " + std::to_string(objects.size() + 1) + "\n0000000000 65535 f \n";
    for (size_t offset : offsets) {
        char entry[24];
        std::snprintf(entry, sizeof entry, "%010zu 00000 n \n", offset);
        pdf += entry;
    }
    pdf += "trailer\n<< /Size " + std::to_string(objects.size() + 1) + " /Root 1 0 R";
    if (locked) {
        pdf += " /Encrypt " + std::to_string(objects.size()) + " 0 R /ID [<" +
               std::string(32, '1') + "> <" + std::string(32, '1') + ">]";
    }
    pdf += " >>\nstartxref\n" + std::to_string(xref) + "\n%%EOF\n";
    return pdf;
}

} // namespace tolvane::test
