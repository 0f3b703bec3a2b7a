#include "documents/Extraction.h"

namespace tolvane {

Extraction::Extraction(const DocumentLimits& limits)
    : limits_(limits), deadline_(std::chrono::steady_clock::now() + limits.time) {}

bool Extraction::inTime() {
    if (std::chrono::steady_clock::now() <= deadline_) {
        return true;
    }
    return fail(DocumentError::kTookTooLong,
                "after " + std::to_string(limits_.time.count() / 1000) + " s");
}

bool Extraction::fail(DocumentError code, std::string_view detail) {
    if (!failed()) {
        problem_.code = code;
        problem_.message = documentErrorText(code);
        problem_.detail = detail;
        if (!detail.empty()) {
            problem_.message += ": ";
            problem_.message += detail;
        }
    }
    return false;
}

} // namespace tolvane
