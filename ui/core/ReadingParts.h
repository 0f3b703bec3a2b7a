#pragma once

#include "documents/PartPositions.h"

#include <cstddef>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tolvane {

// A text longer than the login's limit, read part after part: where it is
// cut (partStarts), which part is current, and, for a document opened from a
// file, that part kept in the positions file so that opening the file again
// goes on there. The dialog core and tolvane-say read long texts through it.
class ReadingParts {
  public:
    explicit ReadingParts(std::filesystem::path positionsFile = PartPositions::defaultFile());

    // Cuts `text` into parts of at most `limit` UTF-16 units, the first one
    // current. With `document`, the positions file is read afresh (`note`
    // hears why one that was there was ignored) and keptPart() names the part
    // last kept for it.
    void begin(std::u16string text, size_t limit,
               std::optional<PartPositions::Key> document = std::nullopt,
               std::string* note = nullptr);
    // Cuts the same text for another limit; the part holding the current
    // part's start becomes current.
    void recut(size_t limit);
    // No parts any more.
    void clear();
    // The limit the parts were cut for.
    size_t limit() const { return limit_; }

    // Whether a text is held (it has at least one part).
    bool active() const { return !starts_.empty(); }
    size_t count() const { return starts_.empty() ? 0 : starts_.size() - 1; }
    size_t index() const { return index_; }
    bool hasNext() const { return index_ + 1 < count(); }
    bool hasPrevious() const { return active() && index_ > 0; }
    // Where part `i` starts and ends in the whole text.
    size_t start(size_t i) const { return starts_[i]; }
    size_t end(size_t i) const { return starts_[i + 1]; }
    std::u16string_view part(size_t i) const;
    std::u16string_view current() const { return part(index_); }
    bool isDocument() const { return document_.has_value(); }

    // The part last kept for the document (0 for none, or a text that is no
    // document), within the parts there are.
    size_t keptPart() const;
    // Makes part `i` current and keeps it for the document; false with the
    // reason when the positions file could not be written.
    bool goTo(size_t i, std::string* error = nullptr);

  private:
    void cut(size_t limit);

    PartPositions positions_;
    std::optional<PartPositions::Key> document_;
    std::u16string text_;
    std::vector<size_t> starts_; // of the parts, then the text's end
    size_t index_ = 0;
    size_t limit_ = 0;
};

} // namespace tolvane
