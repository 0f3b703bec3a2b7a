#pragma once

#include <string>
#include <string_view>

namespace tolvane {

// The main dialog's texts in the current language: Chinese for the language
// code "zh-CN" exactly, English for every other code. Texts with a number are
// printf formats, filled by format().
class UiTextTable {
  public:
    enum Slot {
        kEntryCaption,
        kEntryPrompt,
        kFeedCaption,
        kEmptyWarning,
        kReady,
        kInitialising,
        kPlaying,
        kResume,
        kPause,
        kPaused,
        kPlayNow,
        kStop,
        kStopped,
        kCompleted,
        kFeedback,
        kWarn,
        kError,
        kOnline,       // %d: HTTP status
        kOffline,      // %d: HTTP status
        kBuffering,    // %d: percent
        kPlayingRate,  // %3i: kbit/s
        kFeedbackPage, // the feedback page's path
        // The File menu's Open Text and Save Speech As, their file dialogs and
        // the status lines they leave.
        kOpenTextMenu,
        kSaveSpeechMenu,
        kOpenTextTitle,
        kTextFilter,
        kSaveSpeechTitle,
        kSpeechFilter,
        kTextLoaded,     // followed by the file's name
        kTextInParts,    // %d: the text limit
        kTextUnreadable, // followed by "[the reason]"
        kNotText,
        kSpeechSaved, // followed by the file's name
        kSaveFailed,  // followed by "[the reason]"
        // The Read menu: reading from the cursor, sentence by sentence.
        kReadMenu,
        kReadFromHereMenu,
        kPreviousSentenceMenu,
        kNextSentenceMenu,
        // The File menu's Reconnect: the server checked again.
        kReconnectMenu,
        // Why text handed from outside the window was not read.
        kNothingToRead,
        kClipboardEmpty,
        kSelectionEmpty,
        kNoSelection,
        kNotConnected,
        kReadReplaced,
        // A long text read in parts: the counter, and the Read menu's moves.
        kPartCounter, // %d/%d: the part, the parts
        kPreviousPartMenu,
        kNextPartMenu,
        // Why a document gave no text (its unreadable file and a file that is
        // no document use kTextUnreadable and kNotText).
        kDocumentTooLarge,
        kDocumentMalformed,
        kDocumentEncrypted,
        kDocumentNoText,
        kDocumentUnpackedTooLarge,
        kDocumentTooManyEntries,
        kDocumentNestedTooDeep,
        kDocumentTookTooLong,
        kSlotCount
    };

    // Starts with the English texts.
    UiTextTable() = default;

    void rebuild(std::string_view language) { chinese_ = language == "zh-CN"; }

    std::u16string text(Slot slot) const;
    // A text whose format takes one integer.
    std::u16string format(Slot slot, int value) const;
    // A text whose format takes two.
    std::u16string format(Slot slot, int first, int second) const;
    std::string_view utf8(Slot slot) const;
    // Whether `text` is the text box's prompt in either language.
    static bool isEntryPrompt(std::u16string_view text);

  private:
    bool chinese_ = false;
};

} // namespace tolvane
