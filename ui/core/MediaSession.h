#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

namespace tolvane {

// What the desktop's media controls (media keys, the shell's player widget)
// see of the dialog and what their commands do: the playback status follows
// the speech job's reports, each reading is a track with a title and, once
// the playback has reported it, a length. The dialog core feeds it every
// report before handling it and tells it when a reading starts; the session
// bus adaptor and the tests read it and ask decide() what a command does.
//
// Threads: the interface thread only.
class MediaSession {
  public:
    enum class Status { kStopped, kPlaying, kPaused };
    // The desktop's commands.
    enum class Command { kPlayPause, kPlay, kPause, kStop, kNext, kPrevious };
    // What the dialog does for one of them.
    enum class Action {
        kNone,
        kPlayNow,
        kPauseResume,
        kStop,
        kNextItem,
        kPreviousSentence,
        kNextSentence,
        kPreviousPart,
        kNextPart
    };

    // A title made from typed text: its first words, at most this many of
    // them and of characters.
    static constexpr size_t kTitleWords = 8;
    static constexpr size_t kTitleCharacters = 40;

    // Called after every change of what the session shows, except the
    // position, which moves on its own while a reading plays.
    void setListener(std::function<void()> listener) { listener_ = std::move(listener); }

    // A worker's report (message, code and argument as the dialog gets them).
    void onReport(uint32_t message, uint32_t code, intptr_t argument);
    // A reading starts: a news item's title and text, or typed text.
    void readingStarted(std::u16string_view title, std::u16string_view text, bool newsItem);

    // The reading ended with no report of its end to follow (a feed with no
    // more items, a reading that failed): nothing is left to pause or stop.
    void readingEnded();
    // Whether the reading's audio can go to its previous and next sentence
    // (it plays, with sentence timings); the end of the reading ends it.
    void setSentenceNavigation(bool available);
    // Whether a long text read in parts has a part before and after the one
    // on show; it holds until the dialog says otherwise.
    void setPartNavigation(bool previous, bool next);

    Action decide(Command command) const;

    Status status() const { return status_; }
    static std::string_view name(Status status);
    // The reading's number, counted from 1; 0 while no reading is under way.
    uint64_t track() const { return track_; }
    const std::u16string& title() const { return title_; }
    // In microseconds; the length is 0 until the playback reported it.
    int64_t lengthUs() const { return lengthUs_; }
    int64_t positionUs() const { return positionUs_; }

    // A command that can change something: Play or PlayPause can start or
    // resume, Pause or PlayPause can pause (a reading under way, paused or
    // not), Next can go to the next news item or, in typed text, the next
    // sentence (the dialog goes on to the next part after the last one),
    // else the next part; Previous to the previous sentence, else the
    // previous part.
    bool canPlay() const { return ready_ || busy_ || status_ != Status::kStopped; }
    bool canPause() const { return busy_ || status_ != Status::kStopped; }
    bool canGoNext() const { return newsItem_ || sentences_ || nextPart_; }
    bool canGoPrevious() const { return sentences_ || previousPart_; }

    // The title of typed text: its first words, whitespace runs made one blank,
    // with an ellipsis when words were left out; a text without blanks (as
    // Chinese is written) is cut at kTitleCharacters / 2 characters.
    static std::u16string titleOf(std::u16string_view text);

  private:
    void endReading();
    void changed();

    std::function<void()> listener_;
    Status status_ = Status::kStopped;
    bool ready_ = false;     // logged in: Play Now can start a reading
    bool busy_ = false;      // a reading is under way (Pause/Resume and Stop apply)
    bool newsItem_ = false;  // that reading is a news item, with more to come
    bool sentences_ = false; // its audio can go from sentence to sentence
    bool previousPart_ = false;
    bool nextPart_ = false;
    uint64_t readings_ = 0;
    uint64_t track_ = 0;
    std::u16string title_;
    int64_t lengthUs_ = 0;
    int64_t positionUs_ = 0;
};

} // namespace tolvane
