#include "ui/core/ReadingParts.h"

#include "documents/TextParts.h"

#include <algorithm>

namespace tolvane {

ReadingParts::ReadingParts(std::filesystem::path positionsFile)
    : positions_(std::move(positionsFile)) {}

void ReadingParts::begin(std::u16string text, size_t limit,
                         std::optional<PartPositions::Key> document, std::string* note) {
    text_ = std::move(text);
    cut(limit);
    index_ = 0;
    document_ = std::move(document);
    if (document_) {
        // Another window or tolvane-say may have moved on in the meantime.
        positions_.load(note);
    }
}

void ReadingParts::cut(size_t limit) {
    limit_ = limit;
    starts_ = partStarts(text_, limit);
    if (!starts_.empty()) {
        starts_.push_back(text_.size());
    }
}

void ReadingParts::recut(size_t limit) {
    const size_t at = active() ? start(index_) : 0;
    cut(limit);
    index_ = 0;
    while (hasNext() && start(index_ + 1) <= at) {
        ++index_;
    }
}

void ReadingParts::clear() {
    text_.clear();
    starts_.clear();
    index_ = 0;
    document_.reset();
}

std::u16string_view ReadingParts::part(size_t i) const {
    return std::u16string_view(text_).substr(start(i), end(i) - start(i));
}

size_t ReadingParts::keptPart() const {
    if (!document_ || count() == 0) {
        return 0;
    }
    return std::min(positions_.partOf(*document_), count() - 1);
}

bool ReadingParts::goTo(size_t i, std::string* error) {
    index_ = std::min(i, count() == 0 ? 0 : count() - 1);
    return !document_ || positions_.remember(*document_, index_, error);
}

} // namespace tolvane
