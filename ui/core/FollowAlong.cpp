#include "ui/core/FollowAlong.h"

#include <algorithm>

namespace tolvane {

namespace {

bool isHighSurrogate(char16_t c) {
    return c >= 0xD800 && c <= 0xDBFF;
}
bool isLowSurrogate(char16_t c) {
    return c >= 0xDC00 && c <= 0xDFFF;
}

} // namespace

void FollowAlong::start(std::u16string_view spoken, int boxOffset, int boxLength,
                        const std::vector<Pronouncer::Replaced>& replaced) {
    clear();
    begins_.clear();
    ends_.clear();
    size_t piece = 0; // the first replacement not wholly before the unit
    int shift = 0;    // how much longer the typed text was before it
    const auto place = [&](int unit) {
        for (; piece < replaced.size() &&
               replaced[piece].spokenAt + replaced[piece].spokenLength <= unit;
             ++piece) {
            shift += replaced[piece].length - replaced[piece].spokenLength;
        }
        if (piece < replaced.size() && replaced[piece].spokenAt < unit) {
            begins_.push_back(replaced[piece].at);
            ends_.push_back(replaced[piece].at + replaced[piece].length);
        } else {
            begins_.push_back(unit + shift);
            ends_.push_back(unit + shift);
        }
    };
    // A surrogate pair is one code point; a lone surrogate counts as one too,
    // as the conversion to UTF-8 makes it one replacement character.
    for (size_t i = 0; i < spoken.size(); ++i) {
        place(int(i));
        if (isHighSurrogate(spoken[i]) && i + 1 < spoken.size() && isLowSurrogate(spoken[i + 1])) {
            ++i;
        }
    }
    place(int(spoken.size()));
    boxOffset_ = boxOffset;
    boxLength_ = boxLength;
}

void FollowAlong::setTimings(const SpeechTimings& timings) {
    words_ = place(timings.words);
    sentences_ = place(timings.sentences);
    word_ = -1;
    sentence_ = -1;
}

void FollowAlong::clear() {
    begins_.assign(1, 0);
    ends_.assign(1, 0);
    boxOffset_ = 0;
    boxLength_ = 0;
    words_.clear();
    sentences_.clear();
    word_ = -1;
    sentence_ = -1;
}

TextRange FollowAlong::toBox(int64_t offset, int64_t length) const {
    const int64_t points = int64_t(begins_.size()) - 1;
    if (offset < 0 || length <= 0 || offset >= points) {
        return {};
    }
    const int64_t end = std::min(points, offset + length);
    const int begin = std::clamp(begins_[size_t(offset)] + boxOffset_, 0, boxLength_);
    const int stop = std::clamp(ends_[size_t(end)] + boxOffset_, 0, boxLength_);
    return stop > begin ? TextRange{begin, stop} : TextRange{};
}

std::vector<FollowAlong::Placed> FollowAlong::place(const std::vector<SpeechMark>& marks) const {
    std::vector<Placed> placed;
    placed.reserve(marks.size());
    for (const SpeechMark& mark : marks) {
        placed.push_back({mark.startMs, toBox(mark.offset, mark.length)});
    }
    std::stable_sort(placed.begin(), placed.end(),
                     [](const Placed& a, const Placed& b) { return a.startMs < b.startMs; });
    return placed;
}

int FollowAlong::holding(const std::vector<Placed>& placed, int64_t ms) {
    const auto after = std::upper_bound(placed.begin(), placed.end(), ms,
                                        [](int64_t t, const Placed& p) { return t < p.startMs; });
    return int(after - placed.begin()) - 1;
}

bool FollowAlong::hear(int64_t ms) {
    const TextRange litWord = word();
    const TextRange litSentence = sentence();
    word_ = holding(words_, ms);
    sentence_ = holding(sentences_, ms);
    return word() != litWord || sentence() != litSentence;
}

std::optional<int64_t> FollowAlong::sentenceStart(int step, int64_t ms) const {
    const int current = holding(sentences_, ms);
    int target = current + step;
    if (step < 0 && current >= 0 && ms - sentences_[size_t(current)].startMs > kRestartAfterMs) {
        target = current; // well into a sentence, back to its start
    }
    if (sentences_.empty() || target >= int(sentences_.size())) {
        return std::nullopt;
    }
    return sentences_[size_t(std::max(target, 0))].startMs;
}

} // namespace tolvane
