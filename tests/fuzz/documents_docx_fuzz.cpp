// Arbitrary DOCX files through the DOCX reader: named files as the fuzzer
// writes them, and the whole input as a file.
#include "DocumentFuzz.h"
#include "documents/PackedText.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    return tolvane::fuzz::fuzzPacked(data, size, &tolvane::readDocx, "letter.docx");
}
