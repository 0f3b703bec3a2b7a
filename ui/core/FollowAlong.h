#pragma once

#include "protocol/SpeechTimings.h"
#include "ui/core/DialogView.h"
#include "ui/core/Pronouncer.h"

#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

namespace tolvane {

// Which word and sentence of the text box hold the heard position of a
// reading. The server's marks count code points of the text it spoke; the
// box counts UTF-16 units, and shows that text only in part: a news item's
// title is spoken before the description the box holds, and reading from the
// cursor speaks a piece of the box. Marks outside the box light nothing but
// still count: a word's interval runs from its start to the next word's.
// Where the user's pronunciations replaced a word, every mark within the
// replacement lights the word the box shows.
//
// Threads: the interface thread only.
class FollowAlong {
  public:
    // Within this long of a sentence's start, the previous sentence is the
    // one before it; later, the start of the same sentence.
    static constexpr int64_t kRestartAfterMs = 1000;

    // A reading starts: `spoken` is the text sent to the server; its first
    // unit stands at `boxOffset` of the box (negative when the box does not
    // show its beginning), which holds `boxLength` units. `replaced` are the
    // pronunciations in `spoken`, in order: their spoken ranges in units of
    // `spoken`, their `at` where the text as typed would have put them
    // (so that `at + boxOffset` is in the box). Drops any marks.
    void start(std::u16string_view spoken, int boxOffset, int boxLength,
               const std::vector<Pronouncer::Replaced>& replaced = {});
    // The reading's marks, placed in the box.
    void setTimings(const SpeechTimings& timings);
    // No reading: nothing placed, nothing lit.
    void clear();

    bool hasMarks() const { return !words_.empty() || !sentences_.empty(); }
    bool hasSentences() const { return !sentences_.empty(); }

    // Finds what holds `ms` of the audio; true when the lit ranges changed.
    bool hear(int64_t ms);
    TextRange word() const { return word_ < 0 ? TextRange() : words_[size_t(word_)].range; }
    TextRange sentence() const {
        return sentence_ < 0 ? TextRange() : sentences_[size_t(sentence_)].range;
    }
    // The start of the word whose interval holds the heard position; −1 before
    // the first.
    int64_t wordStartMs() const { return word_ < 0 ? -1 : words_[size_t(word_)].startMs; }

    // The start of the next (`step` 1) or previous (`step` −1) sentence from
    // the one heard at `ms`; none past the last.
    std::optional<int64_t> sentenceStart(int step, int64_t ms) const;

    // Code points [offset, offset + length) of the spoken text as a range of
    // the box, cut to what the box shows; empty when nothing of it is there.
    TextRange toBox(int64_t offset, int64_t length) const;

  private:
    struct Placed {
        int64_t startMs = 0;
        TextRange range;
    };

    std::vector<Placed> place(const std::vector<SpeechMark>& marks) const;
    // The last of `placed` that starts at or before `ms`; −1 when none does.
    static int holding(const std::vector<Placed>& placed, int64_t ms);

    // Where each code point of the spoken text begins and ends in the text
    // as typed, in units (the last entry of each: the end of the text).
    std::vector<int> begins_{0};
    std::vector<int> ends_{0};
    int boxOffset_ = 0;
    int boxLength_ = 0;
    std::vector<Placed> words_;
    std::vector<Placed> sentences_;
    int word_ = -1;
    int sentence_ = -1;
};

} // namespace tolvane
