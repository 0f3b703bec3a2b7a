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

    // A reading of something optional (a mimetype entry, a table of
    // contents): the same limits and deadline, its problems kept apart so
    // they do not end this reading.
    Extraction spare() const { return Extraction(limits_, deadline_); }

    // False, with kTookTooLong recorded, once the deadline has passed.
    bool inTime();

    // Records the first problem (later ones add nothing) and returns false,
    // so a reader can `return fail(...)`. `detail` follows the error's text.
    bool fail(DocumentError code, std::string_view detail = {});

    bool failed() const { return problem_.code != DocumentError::kNone; }
    const DocumentProblem& problem() const { return problem_; }

  private:
    Extraction(const DocumentLimits& limits, std::chrono::steady_clock::time_point deadline)
        : limits_(limits), deadline_(deadline) {}

    const DocumentLimits limits_;
    const std::chrono::steady_clock::time_point deadline_;
    DocumentProblem problem_;
};

} // namespace tolvane
