// The text of each kind of document as the tests wrote it, in order, in
// English and Chinese; and a clear problem, without harm, for what cannot or
// must not be read.
#include "documents/DocumentReader.h"
#include "platform/Text.h"
#include "tests/support/DocumentMaker.h"
#include "tests/support/TempDir.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <fstream>
#include <sys/resource.h>

namespace tolvane::test {
namespace {

using ::testing::HasSubstr;
namespace fs = std::filesystem;

const Chapter kEnglishChapter{"The Harbour", {"Ships came in at dawn.", "Nobody waited for them."}};
const Chapter kChineseChapter{"第二章 港口", {"天亮时船进港了。", "没有人等他们。"}};

std::u16string u16(const std::string& utf8) {
    return platform::utf8ToUtf16(utf8);
}

class DocumentsTest : public ::testing::Test {
  protected:
    OpenedDocument open(const std::string& name, const std::string& bytes,
                        const DocumentLimits& limits = {}) {
        const fs::path path = dir_.path() / name;
        std::ofstream(path, std::ios::binary) << bytes;
        return openDocument(path, limits);
    }

    void expectProblem(const OpenedDocument& opened, DocumentError code, const std::string& says) {
        EXPECT_FALSE(opened);
        EXPECT_EQ(opened.problem.code, code) << opened.problem.message;
        EXPECT_THAT(opened.problem.message, HasSubstr(says));
        EXPECT_TRUE(opened.document.sections.empty());
    }

    TempDir dir_{"documents-test"};
};

TEST_F(DocumentsTest, EpubChaptersComeInSpineOrderWithTheirTitles) {
    const OpenedDocument opened =
        open("book.epub", epubOf("港口 A Harbour", {kEnglishChapter, kChineseChapter}));
    ASSERT_TRUE(opened) << opened.problem.message;
    const Document& book = opened.document;
    EXPECT_EQ(book.kind, DocumentKind::kEpub);
    EXPECT_EQ(book.title, u"港口 A Harbour");
    ASSERT_EQ(book.sections.size(), 2u);
    EXPECT_EQ(book.sections[0].title, u"The Harbour");
    EXPECT_EQ(book.sections[0].text, u"Ships came in at dawn.\nNobody waited for them.\n");
    EXPECT_EQ(book.sections[1].title, u"第二章 港口");
    EXPECT_EQ(book.sections[1].text, u"天亮时船进港了。\n没有人等他们。\n");
}

TEST_F(DocumentsTest, WordProcessorParagraphsComeInOrder) {
    const std::vector<std::string> paragraphs = {"Ships came in at dawn.", "天亮时船进港了。",
                                                 "Nobody waited for them, 没有人."};
    const std::u16string expected =
        u"Ships came in at dawn.\n天亮时船进港了。\nNobody waited for them, 没有人.\n";
    for (const auto& [name, bytes] :
         NamedBytes{{"letter.docx", docxOf(paragraphs)}, {"letter.odt", odtOf(paragraphs)}}) {
        const OpenedDocument opened = open(name, bytes);
        ASSERT_TRUE(opened) << name << ": " << opened.problem.message;
        EXPECT_EQ(opened.document.text(), expected) << name;
        EXPECT_EQ(opened.document.title, u16(name)) << name;
    }
    EXPECT_EQ(open("letter.docx", docxOf(paragraphs)).document.kind, DocumentKind::kDocx);
}

TEST_F(DocumentsTest, PdfPagesComeInReadingOrder) {
    const OpenedDocument opened =
        open("report.pdf", pdfOf({{"Ships came in at dawn.", "Nobody waited for them."},
                                  {"天亮时船进港了。", "没有人等他们。"}}));
    ASSERT_TRUE(opened) << opened.problem.message;
    EXPECT_EQ(opened.document.kind, DocumentKind::kPdf);
    ASSERT_EQ(opened.document.sections.size(), 2u);
    EXPECT_EQ(opened.document.sections[0].text,
              u"Ships came in at dawn. Nobody waited for them.\n");
    EXPECT_EQ(opened.document.sections[1].text, u"天亮时船进港了。没有人等他们。\n");
}

TEST_F(DocumentsTest, HtmlGivesTheVisibleTextWithoutPageFurniture) {
    const std::string page =
        "<!DOCTYPE html><html><head><title>港口 Harbour</title><style>p{color:red}</style>"
        "<script>var hidden = 1;</script></head><body><header>Site name</header>"
        "<nav><a href=/>Home</a></nav><main><h1>The Harbour</h1><p>Ships came in\n  at "
        "<b>dawn</b>.</p><p hidden>Not shown.</p><div>天亮时船进港了。<br>没有人等他们。</div>"
        "</main><aside>Advert</aside><footer>Copyright</footer></body></html>";
    const OpenedDocument opened = open("page.html", page);
    ASSERT_TRUE(opened) << opened.problem.message;
    EXPECT_EQ(opened.document.kind, DocumentKind::kHtml);
    EXPECT_EQ(opened.document.title, u"港口 Harbour");
    EXPECT_EQ(opened.document.text(),
              u"The Harbour\nShips came in at dawn.\n天亮时船进港了。\n没有人等他们。\n");
}

TEST_F(DocumentsTest, TheKindComesFromTheContentNotTheName) {
    EXPECT_EQ(open("book.txt", epubOf("Book", {kEnglishChapter})).document.kind,
              DocumentKind::kEpub);
    EXPECT_EQ(open("notes.pdf", docxOf({"Ships."})).document.kind, DocumentKind::kDocx);
    EXPECT_EQ(open("scan.txt", pdfOf({{"Ships."}})).document.kind, DocumentKind::kPdf);
    const OpenedDocument text = open("notes.html", "天亮时船进港了。\r\nShips < boats.");
    ASSERT_TRUE(text) << text.problem.message;
    EXPECT_EQ(text.document.kind, DocumentKind::kPlainText);
    EXPECT_EQ(text.document.text(), u"天亮时船进港了。\nShips < boats.");
    EXPECT_EQ(text.document.title, u"notes.html");
}

TEST_F(DocumentsTest, LockedAndImageOnlyPdfsSaySo) {
    expectProblem(open("locked.pdf", pdfOf({{"Secret."}}, true)), DocumentError::kEncrypted,
                  "password");
    expectProblem(open("scan.pdf", pdfOf({{}, {}})), DocumentError::kNoText,
                  "2 pages without text");
}

// A deflated entry of 1 GB of zeros, honest about its size or claiming 1000
// bytes: refused after at most the per-entry limit has been unpacked.
TEST_F(DocumentsTest, ZipBombsAreRefusedBeforeTheyUnpack) {
    const NamedBytes container = {{"mimetype", "application/epub+zip"}};
    for (const bool understated : {false, true}) {
        const std::string bomb =
            zipWithZeros(container, "META-INF/container.xml", uint64_t(1) << 30, understated);
        ASSERT_FALSE(bomb.empty());
        ASSERT_LT(bomb.size(), size_t(8) << 20) << "the bomb should be small packed";
        const auto start = std::chrono::steady_clock::now();
        const OpenedDocument opened = open("bomb.epub", bomb);
        const auto took = std::chrono::steady_clock::now() - start;
        expectProblem(opened, DocumentError::kUnpackedTooLarge, "META-INF/container.xml");
        rusage usage{};
        getrusage(RUSAGE_SELF, &usage);
        std::printf("bomb (%s, %zu bytes packed): refused in %.3f s, peak RSS %ld MiB\n",
                    understated ? "understated" : "honest", bomb.size(),
                    std::chrono::duration<double>(took).count(), usage.ru_maxrss / 1024);
    }
}

TEST_F(DocumentsTest, DamagedDocumentsGiveAClearProblem) {
    expectProblem(
        open("bad.docx", zipOf({{"word/document.xml", "<w:document xmlns:w=\"urn:w\"><w:body><w:p>"
                                                      "<w:t>open</w:body></w:document>"}})),
        DocumentError::kMalformed, "word/document.xml, line 1");
    const std::string book = epubOf("Book", {kEnglishChapter, kChineseChapter});
    expectProblem(open("cut.epub", book.substr(0, book.size() / 2)), DocumentError::kMalformed,
                  "the archive");
    const std::string pdf = pdfOf({{"Ships came in at dawn."}});
    const OpenedDocument cutPdf = open("cut.pdf", pdf.substr(0, pdf.size() / 3));
    EXPECT_FALSE(cutPdf);
    EXPECT_THAT(cutPdf.problem.code,
                ::testing::AnyOf(DocumentError::kMalformed, DocumentError::kNoText));
    expectProblem(open("other.zip", zipOf({{"photo.jpg", "\xFF\xD8\xFF"}})),
                  DocumentError::kNotADocument, "zip archive");
    expectProblem(open("binary.dat", std::string("\x01\x00\x02\x00", 4)),
                  DocumentError::kNotADocument, "not text");
    expectProblem(open("missing.epub", zipOf({{"META-INF/container.xml", "<container/>"}})),
                  DocumentError::kMalformed, "names no package");
}

TEST_F(DocumentsTest, MarkupIsBoundedInDepthAndEntities) {
    std::string deep;
    for (int i = 0; i < 100000; ++i) {
        deep += "<w:r>";
    }
    expectProblem(
        open("deep.docx", zipOf({{"word/document.xml", "<w:document xmlns:w=\"urn:w\">" + deep}})),
        DocumentError::kNestedTooDeep, "word/document.xml");
    std::string divs;
    for (int i = 0; i < 100000; ++i) {
        divs += "<div>";
    }
    expectProblem(open("deep.html", "<html><body>" + divs + "text"), DocumentError::kNestedTooDeep,
                  "deep.html");
    // Entities are never expanded into the text, and libxml2 refuses an
    // amplifying chain of them outright.
    std::string entities = "<!DOCTYPE w:document [<!ENTITY l0 \"ha\">";
    for (int i = 1; i < 10; ++i) {
        std::string ten;
        for (int k = 0; k < 10; ++k) {
            ten += "&l" + std::to_string(i - 1) + ";";
        }
        entities += "<!ENTITY l" + std::to_string(i) + " \"" + ten + "\">";
    }
    entities += "]><w:document xmlns:w=\"urn:w\"><w:body><w:p><w:t>before &l9; after</w:t>"
                "</w:p></w:body></w:document>";
    expectProblem(open("laughs.docx", zipOf({{"word/document.xml", entities}})),
                  DocumentError::kMalformed, "entity");
    const std::string oneEntity =
        "<!DOCTYPE w:document [<!ENTITY e \"ha\">]><w:document xmlns:w=\"urn:w\"><w:body><w:p>"
        "<w:t>before &e; after</w:t></w:p></w:body></w:document>";
    const OpenedDocument opened = open("entity.docx", zipOf({{"word/document.xml", oneEntity}}));
    ASSERT_TRUE(opened) << opened.problem.message;
    EXPECT_EQ(opened.document.text(), u"before after\n");
}

TEST_F(DocumentsTest, LimitsOfSizeEntriesAndTimeHold) {
    DocumentLimits limits;
    limits.fileBytes = 1000;
    expectProblem(open("long.txt", std::string(1001, 'a'), limits), DocumentError::kTooLarge,
                  "more than");
    limits = {};
    limits.entries = 3;
    expectProblem(
        open("many.docx",
             zipOf({{"a", "1"}, {"b", "2"}, {"c", "3"}, {"word/document.xml", "<w:document/>"}}),
             limits),
        DocumentError::kTooManyEntries, "4 entries");
    limits = {};
    limits.time = std::chrono::milliseconds(0);
    expectProblem(open("slow.pdf", pdfOf({{"Ships."}, {"Boats."}}), limits),
                  DocumentError::kTookTooLong, "took too long");
    limits = {};
    limits.textUnits = 10;
    expectProblem(open("wordy.odt", odtOf({"Ships came in at dawn."}), limits),
                  DocumentError::kTooLarge, "more than 10 characters");
    expectProblem(open("nowhere.txt", ""), DocumentError::kNoText, "no text");
    expectProblem(openDocument(dir_.path() / "absent.pdf"), DocumentError::kUnreadable,
                  "absent.pdf");
}

} // namespace
} // namespace tolvane::test
