#pragma once

#include "documents/Document.h"

#include <chrono>
#include <string>
#include <string_view>

namespace tolvane {

// One document's reading under its limits: the deadline it must meet and the
// first problem met, which ends it. Readers return false once they fail, and
// check inTime() between pages and entries.
class Extraction {
  public:
    explicit Extraction(const DocumentLimits& limits);

    const DocumentLimits& limits() const { return limits_; }

    // False, with kTookTooLong recorded, once the deadline has passed.
    bool inTime();

    // Records the first problem (later ones add nothing) and returns false,
    // so a reader can `return fail(...)`. `detail` follows the error's text.
    bool fail(DocumentError code, std::string_view detail = {});

    bool failed() const { return problem_.code != DocumentError::kNone; }
    const DocumentProblem& problem() const { return problem_; }

  private:
    const DocumentLimits limits_;
    const std::chrono::steady_clock::time_point deadline_;
    DocumentProblem problem_;
};

} // namespace tolvane
