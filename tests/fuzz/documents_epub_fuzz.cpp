// Arbitrary EPUB files through the EPUB reader: named files as the fuzzer
// writes them, and the whole input as a file.
#include "DocumentFuzz.h"
#include "documents/PackedText.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace tolvane;
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    NamedFiles files = fuzz::filesOf(input);
    Extraction extraction(fuzz::smallLimits());
    Document document;
    fuzz::check(readEpub(files, extraction, document), extraction, document);
    fuzz::checkWholeFile(input, "book.epub");
    return 0;
}
