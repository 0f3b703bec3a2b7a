#pragma once

#include "playback/SpeechFile.h"
#include "protocol/DialogCodes.h"
#include "protocol/NewsItem.h"
#include "ui/core/DialogView.h"
#include "ui/core/FollowAlong.h"
#include "ui/core/MediaSession.h"
#include "ui/core/ReadRequest.h"
#include "ui/core/ReadingParts.h"
#include "ui/core/UiTextTable.h"

#include <array>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tolvane {

class ConfigStore;
class DialogPort;
class NetworkVerifyController;
class NewsItemController;
class PlaybackController;
class SpeechJobController;
class UserVerifyController;

// The process-wide controllers the dialog drives; they outlive it.
struct DialogControllers {
    SpeechJobController& job;
    UserVerifyController& verify;
    NewsItemController& news;
    NetworkVerifyController& door;
    PlaybackController& playback;
};

// The main dialog's state and decisions, without a toolkit: it checks the
// server, logs the user in, reads typed text or a feed item by item, and tells
// its view what every control shows. The Qt dialog, tolvane-say and the tests
// are its views and feed it the user's commands and the workers' reports.
//
// Threads: everything runs on the interface thread. Workers' reports arrive
// through the front end's dialog port, which calls onReport(); stop and the
// discarding of news items wait for workers while pumping that port, so
// handlers may be re-entered while a command is still running. All state is
// kept here, and news items are read only from the copy taken when they
// arrived, which a stop or the end of a batch drops.
class MainDialogCore {
  public:
    // The language box's items, in order.
    static constexpr std::string_view kChinese = "zh-CN";
    static constexpr std::string_view kEnglish = "en-US";
    static constexpr int kResetTextLimit = 256;
    // The most the text box takes once logged in: as much text as a
    // document gives. What is longer than the login's limit is read in parts.
    static constexpr int kTextBoxLimit = 16 << 20;
    // The maker's support address and the place of its web pages: the speech
    // server the client is configured for serves them.
    static constexpr std::string_view kSupportAddress = "support@tolvane.local";
    // How often the view asks for the heard position while a reading with
    // timings plays: the light comes at most this late after the sound.
    static constexpr std::chrono::milliseconds kFollowTick{20};
    // The pauses before the server is checked again while it cannot be
    // reached: the last repeats.
    static constexpr std::array<std::chrono::seconds, 4> kServerRetries{
        std::chrono::seconds(5), std::chrono::seconds(10), std::chrono::seconds(30),
        std::chrono::seconds(60)};

    // `identity` is the client identity sent with every reading; `port` is the
    // front end's dialog port, whose handler calls onReport().
    MainDialogCore(DialogView& view, DialogPort& port, ConfigStore& config,
                   DialogControllers controllers, std::string identity);
    // Stops the reading and frees the feed list, as the dialog's destruction does.
    ~MainDialogCore();
    MainDialogCore(const MainDialogCore&) = delete;
    MainDialogCore& operator=(const MainDialogCore&) = delete;

    // The dialog's creation: the language from the configuration (or
    // `language` when given), the controls reset, the controllers connected to
    // the port, then refresh().
    void initialise(std::string_view language = {});
    // RefreshCommand (command 150): texts in the language, controls reset, the
    // feed list emptied and the server checked again.
    void refresh();
    // Reconnect: ends a reading under way and refreshes, checking the server
    // and logging in again; the pauses between checks start again from the
    // shortest.
    void reconnect();
    // The view's retry timer while the server cannot be reached: checks it
    // again (nothing once a refresh or a check has come in between).
    void retryServerCheck();

    // The user's commands.
    void playNow();
    void feedDoubleClicked(int row, std::u16string_view rowText);
    void pauseResume();
    void stop();
    void textChanged();
    void languageSelected(std::u16string_view item);
    // In news mode, ends the item being read and reads the next one (or asks
    // for the next batch), as the item's end does.
    void nextItem();
    // A command of the desktop's media controls, done as media().decide() says.
    void mediaCommand(MediaSession::Command command);

    // Read From Here: stops what is read and reads the selection or, without
    // one, the box from the start of the sentence holding the cursor.
    void readFromHere();
    // While the audio of a reading with sentence timings plays or is paused,
    // and can seek (FILE mode): to the start of the previous sentence (or of
    // the one heard, once well into it) or of the next one.
    void previousSentence();
    void nextSentence();
    bool canMoveSentence() const;
    // The view's timer while following: lights what holds the heard position.
    void followTick();
    const FollowAlong& follow() const { return follow_; }

    // Open Text, or a file dropped on the text box: opens `file` as a
    // document (PDF, EPUB, HTML, DOCX, ODT or text) and says in the status
    // line what came of it. Its text goes into the box or, when longer than
    // the login's limit, is held in parts, the box showing the part last
    // begun of that file in this run or an earlier one. The front end offers
    // it only while the text box is editable.
    void openText(const std::filesystem::path& file);

    // A text longer than the login's limit (opened, handed, or typed and
    // read) is read part after part, each at most the limit and cut at a
    // sentence end; the box shows the part on show, which Play Now reads,
    // and the counter "Part k/n". Editing the box leaves the parts. Next and
    // Previous Part show the part after or before it, reading it when a
    // reading was under way; a document's part is kept across runs.
    void nextPart();
    void previousPart();
    bool hasNextPart() const { return parts_.hasNext(); }
    bool hasPreviousPart() const { return parts_.hasPrevious(); }
    const ReadingParts& parts() const { return parts_; }

    // Text handed from outside the window, read as if typed and Play Now
    // pressed: once logged in, a reading under way stops, the text (a file's
    // as Open Text opens it) goes into the box, in parts when longer than
    // the limit, and is read. While the server is checked and the user logged in, the request
    // waits (a later one replaces it) and is read once logged in. Without a
    // connection, or with nothing to read, nothing is read and the status
    // line says why. `done` hears once what came of it (not when the dialog
    // goes first).
    void readHanded(ReadRequest request, ReadDone done);

    // Save Speech As. Once enabled, the controller keeps each reading's
    // downloaded audio until the next reading starts (or the end), so that
    // it can be saved with a tag naming the reading.
    void enableSpeechSaving();
    // Whether a reading's audio has been downloaded and not yet dropped.
    bool canSaveSpeech() const;
    // The file the save dialog proposes: the reading's title made a file
    // name (no ellipsis or trailing dots, none of the characters file systems
    // or desktops refuse), ".mp3", in the folder last saved to in this run or,
    // before the first save, in `defaultFolder`.
    std::filesystem::path suggestedSpeechPath(const std::filesystem::path& defaultFolder) const;
    // Writes the kept audio to `file` behind an ID3v2.4 tag (title: the
    // news item's title or the text's first words; artist: the voice; album:
    // the feed in news mode; the date; the whole text as the comment) and
    // says in the status line what came of it.
    bool saveSpeech(const std::filesystem::path& file);
    // The tag the current reading's audio is saved with.
    const SpeechFile::Tags& speechTags() const { return speechTags_; }

    // A worker's report (message 100/200/300/400 with its code and argument).
    void onReport(uint32_t message, uint32_t code, intptr_t argument);

    // The trace line the dialog writes for a report, or empty.
    static std::string_view traceLine(uint32_t message, uint32_t code);

    const std::string& language() const { return language_; }
    bool newsMode() const { return newsMode_; }
    int32_t feedId() const { return feedId_; }
    // What the desktop's media controls see; its listener is the front end's.
    MediaSession& media() { return media_; }

    // Where the three links lead.
    std::string feedbackUrl() const;
    std::string homeUrl() const;
    std::string mailUrl() const;

  private:
    void resetControls();
    void checkServer();
    void serverUnreachable();
    void connectionLost();
    void readHandedNow(ReadRequest request, const ReadDone& done);
    void refuseHanded(const ReadDone& done, std::u16string reason);
    // A file's text, the file named when it may be kept in parts.
    struct OpenedText {
        std::u16string text;
        std::optional<PartPositions::Key> document;
        std::u16string title;
    };
    bool openFile(const std::filesystem::path& file, OpenedText& opened,
                  std::u16string& note) const;
    void holdText(OpenedText opened);
    void showPart();
    void leaveParts();
    void readPart(size_t index);
    void readShownPart();
    void keepPart(size_t index);
    void movePart(int step);
    void partsEnded();
    void showInBox(std::u16string_view text);
    void showCounter();
    void setStatus(std::u16string_view text) { view_.setText(control::kStatus, text); }
    void setStatusArgument(intptr_t argument);
    void setBusy();
    void setFinished();
    void hideProgress();
    // `textAt` is where `text` starts in the box; with `inPart` the reading
    // is of the part on show, and its end goes on to the next.
    void startReading(std::u16string title, std::u16string text, int textAt = 0,
                      bool inPart = false);
    void timingsArrived(const SpeechTimings& timings);
    void audioPlaying();
    void audioPaused();
    void setFollowing(bool on);
    void endFollowing();
    void showHeard(int64_t ms);
    bool moveSentence(int step);
    SpeechFile::Tags tagsFor(std::u16string_view title, std::u16string_view text) const;
    void showItem();
    void readItem();
    void readNextItem();
    void showEntryPrompt();
    void feedEnded();
    void failed(intptr_t text);
    void requestBatch();
    void discardItems();

    void onSpeechJob(dialog::JobCode code, intptr_t argument);
    void onNetworkVerify(dialog::NetworkVerifyCode code, intptr_t argument);
    void onUserVerify(dialog::UserVerifyCode code, intptr_t argument);
    void onNewsItems(dialog::NewsItemsCode code, intptr_t argument);
    void networkVerified(intptr_t httpStatus);
    void loggedIn(intptr_t argument);
    void batchArrived();
    void completed();
    void stopped();

    DialogView& view_;
    DialogPort& port_;
    ConfigStore& config_;
    DialogControllers c_;
    const std::string identity_;

    UiTextTable texts_;
    std::string language_;
    bool newsMode_ = false;
    int32_t newsIndex_ = 0;
    int32_t feedId_ = 0;
    int32_t textLimit_ = kResetTextLimit;
    // The batch being read, copied when it arrived; emptied when discarded.
    std::vector<NewsItem> items_;
    int32_t batchCount_ = 0;
    int32_t maxrss_ = 0;
    bool closing_ = false;
    // Checks of the server that failed in a row, and whether the view's retry
    // timer is to run the next one.
    size_t serverFailures_ = 0;
    bool retryPending_ = false;
    // Where the connection stands for text handed from outside: being
    // checked (and the user logged in), ready, or down; and the request
    // waiting for the login.
    enum class Link { kChecking, kReady, kDown };
    Link link_ = Link::kChecking;
    struct HandedRead {
        ReadRequest request;
        ReadDone done;
    };
    std::optional<HandedRead> handed_;
    bool keepItems_ = false; // a stop made by nextItem() keeps the batch
    // A news item's title and text are on show (until the prompt replaces them).
    bool itemShown_ = false;
    MediaSession media_;
    // Following the reading: its marks placed in the box, whether its audio
    // plays or is paused, and whether the view's timer runs.
    FollowAlong follow_;
    bool audioUnderWay_ = false;
    // The job has handed its audio to playback, whose end (190) follows even
    // a failure; before that a failure ends the reading.
    bool audioHandedOver_ = false;
    std::u16string cutShort_; // why the handed-over audio's download failed
    bool following_ = false;
    SpeechFile::Tags speechTags_;
    std::filesystem::path lastSaveFolder_; // where Save Speech As last wrote, this run
    // A long text held in parts, its document's title, whether the reading
    // under way is of its part on show, and whether the dialog itself is
    // filling the box (the user's edits leave the parts).
    ReadingParts parts_;
    std::u16string partsTitle_;
    bool partReading_ = false;
    bool fillingBox_ = false;
};

} // namespace tolvane
