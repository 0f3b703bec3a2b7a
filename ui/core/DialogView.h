#pragma once

#include <chrono>
#include <string>
#include <string_view>
#include <vector>

namespace tolvane {

// The main dialog's controls, by the ids every front end shares.
namespace control {
constexpr int kPlayNow = 1000;
constexpr int kStatus = 1002;
constexpr int kMakerLink = 1004;
constexpr int kTextBox = 1005;
constexpr int kFeedList = 1008;
constexpr int kTitle = 1009;
constexpr int kNewsPosition = 1010;
constexpr int kPauseResume = 1011;
constexpr int kStop = 1012;
constexpr int kCounter = 1013;
constexpr int kFeedCaption = 1014;
constexpr int kMailLink = 1015;
constexpr int kFeedbackLink = 1016;
constexpr int kProgress = 1017;
constexpr int kTime = 1018;
constexpr int kNetworkStatus = 1019;
constexpr int kLanguageBox = 1020;
constexpr int kServerVersion = 1030;
} // namespace control

// A range of the text box, in UTF-16 units: [begin, end).
struct TextRange {
    int begin = 0;
    int end = 0;

    bool empty() const { return end <= begin; }
    bool operator==(const TextRange&) const = default;
};

// What the dialog's decisions do to a front end: the Qt window, tolvane-say's
// console and the tests' recorder each implement it. Every call comes on the
// interface thread.
class DialogView {
  public:
    virtual ~DialogView() = default;

    // Shows `text` in a control (a label, a button, the text box).
    virtual void setText(int control, std::u16string_view text) = 0;
    // The text box's contents (the only control the dialog reads).
    virtual std::u16string textBoxText() const = 0;
    // The text box's selection; begin == end: the cursor, nothing selected.
    virtual TextRange textBoxSelection() const = 0;
    virtual void setEnabled(int control, bool enabled) = 0;
    // The text box only: read-only while a reading runs.
    virtual void setReadOnly(int control, bool readOnly) = 0;
    // The progress bar and the time control come and go.
    virtual void setVisible(int control, bool visible) = 0;
    virtual void setProgress(int percent) = 0;
    // The most characters the text box takes.
    virtual void setTextLimit(int characters) = 0;

    virtual void clearFeeds() = 0;
    virtual void addFeed(std::u16string_view title) = 0;
    // Fills the language box and selects item `selected` (-1: none).
    virtual void setLanguageChoices(const std::vector<std::u16string>& items, int selected) = 0;

    // A modal warning box; returns once the user has closed it.
    virtual void showWarning(std::u16string_view text, std::u16string_view caption) = 0;

    // The waiting window shown while the user is logged in.
    virtual void setWaitingLanguage(std::string_view code) = 0;
    virtual void openWaiting() = 0;
    virtual void closeWaiting() = 0;

    // Command 140 to the main window after every refresh: menus in the
    // language, trace window reopened when wanted.
    virtual void languageApplied(std::string_view code) = 0;

    // Following a reading: lights `word` in the text box, and `sentence`
    // around it more softly (an empty range lights nothing), and keeps
    // `word` in view.
    virtual void setHighlight(TextRange word, TextRange sentence) = 0;
    // While on, the front end calls MainDialogCore::followTick() every
    // MainDialogCore::kFollowTick or so, from its own event loop.
    virtual void setFollowing(bool on) = 0;

    // While the server cannot be reached the dialog checks it again by
    // itself: the front end calls MainDialogCore::retryServerCheck() once
    // `delay` has passed, from its own event loop; a zero delay cancels the
    // wait. A front end without a loop of its own need not retry.
    virtual void setServerRetry(std::chrono::milliseconds delay) { (void)delay; }
};

} // namespace tolvane
