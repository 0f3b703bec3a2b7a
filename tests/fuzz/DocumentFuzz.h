#pragma once

// The input of the document readers' fuzz targets: files named in the input
// itself, "NAME\nBYTES" separated by NUL bytes, so the fuzzer reaches the
// readers' markup without first having to build a valid zip archive. The
// whole input is also read as a file, which covers the zip reader.
#include "documents/DocumentReader.h"
#include "documents/Extraction.h"
#include "documents/PackedFiles.h"

#include <cstdint>
#include <cstdlib>
#include <string_view>

namespace tolvane::fuzz {

inline DocumentLimits smallLimits() {
    DocumentLimits limits;
    limits.entryBytes = 1 << 20;
    limits.totalBytes = 4 << 20;
    limits.textUnits = 1 << 20;
    return limits;
}

inline NamedFiles filesOf(std::string_view input) {
    NamedFiles files;
    while (!input.empty()) {
        const size_t end = std::min(input.find('\0'), input.size());
        const std::string_view file = input.substr(0, end);
        const size_t newline = std::min(file.find('\n'), file.size());
        files.files[std::string(file.substr(0, newline))] =
            std::string(file.substr(std::min(newline + 1, file.size())));
        input.remove_prefix(std::min(end + 1, input.size()));
    }
    return files;
}

// A reader either fills the document within the limits or says why not.
inline void check(bool read, const Extraction& extraction, const Document& document) {
    if (read == extraction.failed() || (!read && extraction.problem().message.empty())) {
        std::abort();
    }
    size_t units = 0;
    for (const DocumentSection& section : document.sections) {
        units += section.text.size();
    }
    if (units > extraction.limits().textUnits) {
        std::abort();
    }
}

inline void checkWholeFile(std::string_view input, std::string_view name) {
    const OpenedDocument opened = readDocument(input, name, smallLimits());
    if ((!opened && opened.problem.message.empty()) ||
        (opened && opened.document.sections.empty())) {
        std::abort();
    }
}

// One fuzz input through a reader of packed (zip) documents: the files named
// in the input, then the whole input as a file called `name`.
inline int fuzzPacked(const uint8_t* data, size_t size,
                      bool (*read)(PackedFiles&, Extraction&, Document&), std::string_view name) {
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    NamedFiles files = filesOf(input);
    Extraction extraction(smallLimits());
    Document document;
    check(read(files, extraction, document), extraction, document);
    checkWholeFile(input, name);
    return 0;
}

} // namespace tolvane::fuzz
