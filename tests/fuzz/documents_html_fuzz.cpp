// Arbitrary HTML pages through the page reader, as a web page and as an
// e-book chapter, and the whole input as a file.
#include "DocumentFuzz.h"
#include "documents/HtmlText.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace tolvane;
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    for (const bool webPage : {true, false}) {
        Extraction extraction(fuzz::smallLimits());
        PageText page;
        const bool read = readHtmlPage(input, "page.html", webPage, extraction, page);
        Document document;
        document.sections.push_back({page.title, page.text});
        fuzz::check(read, extraction, document);
    }
    fuzz::checkWholeFile(input, "page.html");
    return 0;
}
