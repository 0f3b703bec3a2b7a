// The dialog core against a stand-in speech server on loopback: what each
// control shows through a reading's life, read off a recording view.
#include "FakeSpeechServer.h"
#include "ProtocolTestSupport.h"
#include "SayTestSupport.h"
#include "TimedSpeech.h"

#include "config/ConfigStore.h"
#include "documents/TextFile.h"
#include "platform/SystemText.h"
#include "platform/Text.h"
#include "playback/PlaybackController.h"
#include "playback/SpeechTimingsTag.h"
#include "protocol/InterfacePump.h"
#include "protocol/NetworkVerifyController.h"
#include "protocol/NewsItemController.h"
#include "protocol/PlaybackStatus.h"
#include "protocol/SpeechJobController.h"
#include "protocol/TraceWrite.h"
#include "protocol/UserVerifyController.h"
#include "tests/support/ChildProcess.h"
#include "tests/support/DocumentMaker.h"
#include "tests/support/TempDir.h"
#include "tests/support/TestPaths.h"
#include "ui/core/ControllerSet.h"
#include "ui/core/MainDialogCore.h"
#include "ui/core/MediaSession.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <taglib/id3v2tag.h>
#include <taglib/synchronizedlyricsframe.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <fstream>
#include <map>
#include <mutex>
#include <optional>
#include <sstream>
#include <sys/stat.h>

namespace tolvane::test {
namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;

// What the dialog showed, control by control.
class RecordingView : public DialogView {
  public:
    std::map<int, std::string> text; // UTF-8
    std::map<int, bool> enabled;
    bool readOnly = false;
    std::map<int, bool> visible;
    int progress = -1;
    int limit = 0;
    std::vector<std::string> feeds;
    std::vector<std::string> languageItems;
    int languageSelected = -2;
    std::vector<std::string> warnings;
    int waitingOpened = 0;
    int waitingClosed = 0;
    std::string waitingLanguage;
    std::vector<std::string> applied;

    void setText(int id, std::u16string_view value) override {
        text[id] = platform::utf16ToUtf8(value);
        if (id == control::kTextBox) {
            box = value;
        }
    }
    std::u16string textBoxText() const override { return box; }
    void setEnabled(int id, bool on) override { enabled[id] = on; }
    void setReadOnly(int, bool on) override { readOnly = on; }
    void setVisible(int id, bool on) override { visible[id] = on; }
    void setProgress(int percent) override { progress = percent; }
    void setTextLimit(int characters) override { limit = characters; }
    void clearFeeds() override { feeds.clear(); }
    void addFeed(std::u16string_view title) override {
        feeds.push_back(platform::utf16ToUtf8(title));
    }
    void setLanguageChoices(const std::vector<std::u16string>& items, int selected) override {
        languageItems.clear();
        for (const auto& item : items) {
            languageItems.push_back(platform::utf16ToUtf8(item));
        }
        languageSelected = selected;
    }
    void showWarning(std::u16string_view value, std::u16string_view caption) override {
        warnings.push_back(platform::utf16ToUtf8(caption) + ": " + platform::utf16ToUtf8(value));
    }
    void setWaitingLanguage(std::string_view code) override { waitingLanguage = code; }
    void openWaiting() override { ++waitingOpened; }
    void closeWaiting() override { ++waitingClosed; }
    void languageApplied(std::string_view code) override { applied.emplace_back(code); }
    TextRange textBoxSelection() const override { return selection; }
    void setHighlight(TextRange word, TextRange) override {
        litWord = word;
        if (!word.empty()) {
            litWords.push_back(platform::utf16ToUtf8(
                box.substr(size_t(word.begin), size_t(word.end - word.begin))));
        }
    }
    void setFollowing(bool on) override { following = on; }
    void setServerRetry(std::chrono::milliseconds delay) override { retries.push_back(delay); }

    // Play Now, Pause, Stop, feed list, text box, language box.
    std::string controls() const {
        std::string state;
        for (int id : {control::kPlayNow, control::kPauseResume, control::kStop, control::kFeedList,
                       control::kTextBox, control::kLanguageBox}) {
            const auto found = enabled.find(id);
            state += found != enabled.end() && found->second ? '1' : '0';
        }
        return state;
    }

    std::u16string box;
    TextRange selection;
    TextRange litWord;
    std::vector<std::string> litWords; // each word lit, in order
    bool following = false;
    std::vector<std::chrono::milliseconds> retries; // each wait asked for; 0: cancelled
};

std::string newsBatch(int first, int count, int maxrss) {
    std::string reply = "item=tolvane&action=simplepie";
    for (int i = 0; i < count; ++i) {
        const std::string n = std::to_string(i);
        reply += "&title" + n + "=Item " + std::to_string(first + i) + "&description" + n +
                 "=Text of item " + std::to_string(first + i) + "&time" + n + "=now";
    }
    return reply + "&status=succeed&errcode=0&errmsg=null&totalitems=" + std::to_string(count) +
           "&maxrss=" + std::to_string(maxrss) + "&end=end";
}

class DialogCoreTest : public ::testing::Test {
  protected:
    DialogCoreTest() {
        setTraceSink(std::make_shared<const TraceSink>([this](std::string_view line) {
            std::lock_guard lock(traceMutex_);
            trace_.emplace_back(line);
        }));
    }
    ~DialogCoreTest() override {
        // A test's report watcher may refer to its own locals, gone by now;
        // the dialog still reports while it closes.
        onReport_ = nullptr;
        dialog_.reset();
        setTraceSink(nullptr);
    }

    std::vector<std::string> trace() {
        std::lock_guard lock(traceMutex_);
        return trace_;
    }

    void open(std::string_view language = "en-US", const std::string& extra = {}, int port = 0) {
        const auto path = writeClientConfig(dir_.path(), port != 0 ? port : server_.port(), "FILE",
                                            "language=" + std::string(language) + "\n" + extra);
        config_.read(path);
        dialog_.emplace(view_, pump_, config_, controllers_.refs(), "identity");
        dialog_->initialise();
    }

    bool pumpUntil(const std::function<bool()>& done) {
        return pump_.pumpUntil(done, std::chrono::seconds(20));
    }
    bool ready() {
        return pumpUntil([&] { return view_.text[control::kStatus] == "Ready ..."; });
    }
    std::string status() { return view_.text[control::kStatus]; }
    std::vector<std::string> addedTexts() const { return server_.addedTexts(); }

    TempDir dir_;
    FakeSpeechServer server_;
    std::mutex traceMutex_;
    std::vector<std::string> trace_;
    // Called after the dialog handled a report.
    std::function<void(uint32_t message, uint32_t code)> onReport_;
    InterfacePump pump_{[this](uint32_t message, uint32_t code, intptr_t argument) {
        if (dialog_) {
            dialog_->onReport(message, code, argument);
        }
        if (onReport_) {
            onReport_(message, code);
        }
    }};
    RecordingView view_;
    ConfigStore config_;
    ControllerSet controllers_;
    SpeechJobController& job_ = controllers_.job;
    NetworkVerifyController& door_ = controllers_.door;
    std::optional<MainDialogCore> dialog_;
};

TEST_F(DialogCoreTest, ChecksTheServerLogsInAndBecomesReady) {
    open();
    // Right after creation: checking, every control off, the prompt in the box.
    EXPECT_EQ(view_.controls(), "000000");
    EXPECT_EQ(view_.text[control::kTextBox], "Please input text here, press Read button");
    EXPECT_EQ(view_.text[control::kCounter], "41/256");
    EXPECT_THAT(view_.languageItems, ElementsAre("zh-CN", "en-US"));
    EXPECT_EQ(view_.languageSelected, 1);
    EXPECT_THAT(view_.applied, ElementsAre("en-US"));

    ASSERT_TRUE(ready()) << status();
    EXPECT_EQ(view_.text[control::kNetworkStatus], "Online[200]");
    EXPECT_EQ(view_.text[control::kServerVersion], "[Server: 1 ]");
    EXPECT_THAT(view_.feeds, ElementsAre("One", "Two"));
    // The box takes more than the limit: a longer text is read in parts.
    EXPECT_EQ(view_.limit, MainDialogCore::kTextBoxLimit);
    EXPECT_EQ(view_.text[control::kCounter], "41/1000");
    EXPECT_EQ(view_.controls(), "100111");
    EXPECT_EQ(view_.waitingOpened, 1);
    EXPECT_EQ(view_.waitingClosed, 1);
    EXPECT_THAT(trace(), ::testing::Contains("Network verify succeed"));
}

// The box lets the user type up to the login's limit; all of it is read, not
// the first 255 characters.
TEST_F(DialogCoreTest, PlayNowSendsTheWholeTextAndShowsTheFailure) {
    server_.peer.answer("/query", 200,
                        "item=tolvane&action=query&status=failed&errcode=500&errmsg=broken");
    open("zh-CN");
    ASSERT_TRUE(pumpUntil([&] { return view_.text[control::kStatus] == "就绪 ..."; }));
    std::u16string text = std::u16string(200, u'读') + std::u16string(800, u'a');
    view_.setText(control::kTextBox, text);
    std::string busy;
    onReport_ = [&](uint32_t message, uint32_t code) {
        if (message == 100 && code == 120) {
            busy = view_.controls() + (view_.readOnly ? " read-only" : "");
        }
    };
    dialog_->playNow();
    ASSERT_TRUE(pumpUntil([&] { return !job_.running(); }));
    // Busy: Pause and Stop (the language box stays as it was).
    EXPECT_EQ(busy, "011011 read-only");
    const std::vector<std::string> added = addedTexts();
    ASSERT_EQ(added.size(), 1u);
    EXPECT_EQ(platform::utf8ToUtf16(added[0]).size(), 1000u);
    EXPECT_THAT(trace(), ::testing::Contains("Add&Query Error"));
    EXPECT_THAT(status(), HasSubstr("查询转换状态失败"));
    // Nothing more comes after the failure: the dialog is ready for the next
    // reading, and the media controls agree.
    EXPECT_EQ(view_.controls(), "100111");
    EXPECT_FALSE(view_.readOnly);
    EXPECT_EQ(dialog_->media().decide(MediaSession::Command::kStop), MediaSession::Action::kNone);
    EXPECT_EQ(dialog_->media().decide(MediaSession::Command::kPlayPause),
              MediaSession::Action::kPlayNow);
}

// A download cut short: what arrived plays, and at its end the failure
// stays on show rather than "Completed"; the dialog is ready again.
TEST_F(DialogCoreTest, ADownloadCutShortEndsShowingTheFailure) {
    std::string error;
    const std::string tone = makeToneMp3(1.0, 440, error);
    ASSERT_FALSE(tone.empty()) << error;
    AudioPeer audio(tone, {.cutAfter = tone.size() / 2});
    server_.audioAt(audio.url());
    open();
    ASSERT_TRUE(ready()) << status();
    std::vector<std::string> statuses;
    onReport_ = [&](uint32_t message, uint32_t code) {
        if (message == 100 && (statuses.empty() || statuses.back() != status())) {
            statuses.push_back(std::to_string(code) + " " + status());
        }
    };
    view_.setText(control::kTextBox, u"Cut short");
    dialog_->playNow();
    ASSERT_TRUE(pumpUntil([&] { return !job_.running(); })) << status();
    ASSERT_TRUE(pumpUntil([&] { return view_.controls() == "100111"; })) << status();
    EXPECT_THAT(statuses, ::testing::Contains(::testing::StartsWith("170 "))) // it played
        << ::testing::PrintToString(statuses);
    EXPECT_NE(status(), "Completed") << ::testing::PrintToString(statuses);
    EXPECT_EQ(statuses.back().substr(4), status());
    EXPECT_THAT(statuses, ::testing::Contains(::testing::StartsWith("110 " + status())));
}

TEST_F(DialogCoreTest, EmptyTextWarnsAndStartsNothing) {
    open();
    ASSERT_TRUE(ready());
    view_.setText(control::kTextBox, u"");
    dialog_->playNow();
    EXPECT_THAT(view_.warnings,
                ElementsAre("Warn: Text Area is empty, please input text, then read again"));
    EXPECT_FALSE(job_.running());
    EXPECT_TRUE(addedTexts().empty());
    // The stop Play Now begins with left the dialog finished.
    EXPECT_EQ(status(), "Stopped");
    EXPECT_EQ(view_.controls(), "100111");
}

TEST_F(DialogCoreTest, AnOfflineServerLeavesEveryControlOff) {
    server_.peer.answer("/tolvane/tolvanedoor.php", 404,
                        "item=tolvanedoor&door_netverify=x&door_add=x&door_query=x&door_rss=x&"
                        "errcode=0&errmsg=null&project=p&version=1&");
    open();
    ASSERT_TRUE(pumpUntil([&] { return !door_.running(); }));
    EXPECT_EQ(view_.text[control::kNetworkStatus], "Offline[404]");
    EXPECT_EQ(view_.controls(), "000000");
    EXPECT_EQ(server_.requestsTo("/verify"), 0u);
}

// A feed read item by item: three items in a batch of a feed of ten, then the
// next batch is asked for from offset 3; a stop brings back the prompt.
TEST_F(DialogCoreTest, ReadsAFeedBatchItemByItemThenAsksForTheNext) {
    std::string error;
    const std::string mp3 = makeToneMp3(0.2, 440, error);
    ASSERT_FALSE(mp3.empty()) << error;
    AudioPeer audio(mp3, {});
    server_.audioAt(audio.url());
    server_.peer.answerWhen("/news", "rssstart=0", 200, newsBatch(1, 3, 10));
    server_.peer.answer("/news", 200, newsBatch(4, 3, 10));
    open();
    ASSERT_TRUE(ready());
    std::vector<std::string> positions;
    onReport_ = [&](uint32_t message, uint32_t code) {
        if (message == 100 && code == 120) {
            positions.push_back(view_.text[control::kNewsPosition] + " " +
                                view_.text[control::kTitle]);
        }
    };
    dialog_->feedDoubleClicked(1, u"Two");
    EXPECT_TRUE(dialog_->newsMode());
    EXPECT_EQ(dialog_->feedId(), 12);
    ASSERT_TRUE(pumpUntil([&] { return positions.size() == 4 && addedTexts().size() == 4; }))
        << status();
    EXPECT_THAT(positions, ElementsAre("1/10[3] Item 1", "2/10[3] Item 2", "3/10[3] Item 3",
                                       "1/10[3] Item 4"));
    std::vector<std::string> starts;
    for (const Exchange& exchange : server_.peer.exchanges()) {
        if (exchange.path == "/news") {
            starts.push_back(exchange.params.find("rss_id")->second + "@" +
                             exchange.params.find("rssstart")->second);
        }
    }
    EXPECT_THAT(starts, ElementsAre("12@0", "12@3"));
    EXPECT_THAT(addedTexts(), ElementsAre("Item 1,Text of item 1", "Item 2,Text of item 2",
                                          "Item 3,Text of item 3", "Item 4,Text of item 4"));

    dialog_->stop();
    EXPECT_EQ(status(), "Stopped");
    EXPECT_EQ(view_.text[control::kTitle], "Input text below, press Read button ...");
    EXPECT_EQ(view_.text[control::kTextBox], "Please input text here, press Read button");
    EXPECT_EQ(view_.text[control::kNewsPosition], "");
    EXPECT_EQ(view_.controls(), "100111");
}

// After a feed, the dialog is finished and what the user types is read as
// typed: a feed read to its end leaves Play Now usable (not a reading nobody
// can see, waiting for Stop), and neither that end nor an earlier stop lets
// Play Now's own stop put the prompt over the typed text. A failed request for
// the next batch stays on show until Stop, as a failed reading does.
TEST_F(DialogCoreTest, TypedTextAfterAFeedIsReadAsTyped) {
    std::string error;
    const std::string mp3 = makeToneMp3(0.2, 440, error);
    ASSERT_FALSE(mp3.empty()) << error;
    AudioPeer audio(mp3, {});
    server_.audioAt(audio.url());
    server_.peer.answerWhen("/news", "rssstart=0", 200, newsBatch(1, 1, 1));
    server_.peer.answer("/news", 200, newsBatch(2, 0, 1));
    open();
    ASSERT_TRUE(ready());
    const std::string prompt = "Please input text here, press Read button";
    const auto typeAndPlay = [&](const std::u16string& typed, size_t readings) {
        view_.setText(control::kTextBox, typed);
        dialog_->playNow();
        return pumpUntil([&] { return addedTexts().size() == readings; });
    };

    dialog_->feedDoubleClicked(1, u"Two");
    ASSERT_TRUE(pumpUntil([&] { return server_.requestsTo("/news") == 2; })) << status();
    ASSERT_TRUE(pumpUntil([&] { return view_.controls() == "100111"; })) << view_.controls();
    EXPECT_EQ(view_.text[control::kTextBox], prompt);
    EXPECT_FALSE(view_.readOnly);
    EXPECT_EQ(status(), "Completed");
    // The media controls agree: nothing left to pause or stop.
    EXPECT_FALSE(dialog_->media().canPause());
    EXPECT_EQ(dialog_->media().decide(MediaSession::Command::kStop), MediaSession::Action::kNone);
    ASSERT_TRUE(typeAndPlay(u"Typed after the feed", 2)) << status();
    EXPECT_EQ(addedTexts()[1], "Typed after the feed");
    EXPECT_EQ(view_.text[control::kTextBox], "Typed after the feed");
    EXPECT_FALSE(dialog_->newsMode());

    // Stopped during an item: the prompt comes back, and typed text after it
    // is read as typed.
    ASSERT_TRUE(pumpUntil([&] { return view_.controls() == "100111"; })) << status();
    dialog_->feedDoubleClicked(1, u"Two");
    ASSERT_TRUE(pumpUntil([&] { return addedTexts().size() == 3; })) << status();
    dialog_->stop();
    EXPECT_EQ(view_.text[control::kTextBox], prompt);
    ASSERT_TRUE(typeAndPlay(u"Typed after a stop", 4)) << status();
    EXPECT_EQ(addedTexts()[3], "Typed after a stop");
    EXPECT_EQ(view_.text[control::kTextBox], "Typed after a stop");

    // The next batch's request fails after the last item: the failure stays
    // on show, the prompt comes back and the dialog is ready, with no Stop.
    ASSERT_TRUE(pumpUntil([&] { return view_.controls() == "100111"; })) << status();
    server_.peer.answer("/news", 500, "broken");
    dialog_->feedDoubleClicked(1, u"Two");
    ASSERT_TRUE(pumpUntil([&] { return server_.requestsTo("/news") == 5; })) << status();
    ASSERT_TRUE(pumpUntil([&] {
        const std::vector<std::string> lines = trace();
        return std::find(lines.begin(), lines.end(), "RSS Error!") != lines.end();
    }));
    EXPECT_EQ(view_.controls(), "100111");
    EXPECT_FALSE(view_.readOnly);
    EXPECT_NE(status(), "Completed");
    EXPECT_EQ(view_.text[control::kTitle], "Input text below, press Read button ...");
    EXPECT_EQ(view_.text[control::kTextBox], prompt);
    EXPECT_EQ(dialog_->media().decide(MediaSession::Command::kStop), MediaSession::Action::kNone);
    ASSERT_TRUE(typeAndPlay(u"Typed after a failure", 6)) << status();
    EXPECT_EQ(addedTexts()[5], "Typed after a failure");
}

// Next during a feed's item ends it and reads the following one; the media
// session names each item and offers Next only while an item is being read.
TEST_F(DialogCoreTest, NextReadsTheFollowingItemAndTheMediaSessionFollows) {
    std::string error;
    const std::string mp3 = makeToneMp3(1.0, 440, error);
    ASSERT_FALSE(mp3.empty()) << error;
    // A slow download keeps each item under way until the test acts.
    AudioPeer audio(mp3, {.chunk = 256, .chunkDelay = std::chrono::milliseconds(100)});
    server_.audioAt(audio.url());
    server_.peer.answerWhen("/news", "rssstart=0", 200, newsBatch(1, 3, 10));
    open();
    ASSERT_TRUE(ready());
    const MediaSession& media = dialog_->media();
    EXPECT_EQ(media.decide(MediaSession::Command::kNext), MediaSession::Action::kNone);
    dialog_->feedDoubleClicked(1, u"Two");
    ASSERT_TRUE(pumpUntil([&] { return addedTexts().size() == 1 && media.canPause(); }));
    EXPECT_EQ(media.title(), u"Item 1");
    EXPECT_TRUE(media.canGoNext());
    const uint64_t first = media.track();

    dialog_->mediaCommand(MediaSession::Command::kNext);
    ASSERT_TRUE(pumpUntil([&] { return addedTexts().size() == 2; })) << status();
    EXPECT_THAT(addedTexts(), ElementsAre("Item 1,Text of item 1", "Item 2,Text of item 2"));
    EXPECT_EQ(view_.text[control::kNewsPosition], "2/10[3]");
    EXPECT_EQ(view_.text[control::kTitle], "Item 2");
    EXPECT_EQ(media.title(), u"Item 2");
    EXPECT_EQ(media.track(), first + 1);
    EXPECT_TRUE(media.canGoNext());

    // A stop ends the feed's reading: nothing left to go next to.
    dialog_->mediaCommand(MediaSession::Command::kStop);
    EXPECT_EQ(status(), "Stopped");
    EXPECT_EQ(view_.text[control::kNewsPosition], "");
    EXPECT_FALSE(media.canGoNext());
    EXPECT_EQ(media.track(), 0u);
    EXPECT_EQ(media.status(), MediaSession::Status::kStopped);
    EXPECT_EQ(server_.requestsTo("/news"), 1u);
}

// What each media command does as a reading goes through its states, fed the
// reports the dialog gets; and the titles typed text gets.
TEST(MediaSessionTest, CommandsFollowTheReadingsStatesAndTitlesTakeTheFirstWords) {
    using Command = MediaSession::Command;
    MediaSession media;
    int told = 0;
    media.setListener([&] { ++told; });
    auto actions = [&] {
        std::string out;
        for (Command c : {Command::kPlayPause, Command::kPlay, Command::kPause, Command::kStop,
                          Command::kNext, Command::kPrevious}) {
            // none, Play Now, pause/resume, stop, next item, previous and next sentence
            out += "-nrsN<>"[int(media.decide(c))];
        }
        return out + " " + std::string(MediaSession::name(media.status())) +
               (media.canPlay() ? " play" : "") + (media.canPause() ? " pause" : "") +
               (media.canGoNext() ? " next" : "") + (media.canGoPrevious() ? " previous" : "");
    };
    EXPECT_EQ(actions(), "------ Stopped"); // not logged in: nothing to start
    media.onReport(300, 330, 0);
    EXPECT_EQ(actions(), "nn---- Stopped play");
    media.readingStarted(u"", u"  Read   this\ttext\n aloud ", false);
    EXPECT_EQ(media.title(), u"Read this text aloud");
    EXPECT_EQ(media.track(), 1u);
    media.onReport(100, 120, 0);
    // Under way before the audio: Pause makes it start paused, Play waits.
    EXPECT_EQ(actions(), "r-rs-- Stopped play pause");
    media.onReport(100, 170, 0);
    EXPECT_EQ(actions(), "r-rs-- Playing play pause");
    PlaybackStatus report;
    report.positionMs = 1500;
    report.lengthMs = 4321;
    const int before = told;
    media.onReport(100, 200, reinterpret_cast<intptr_t>(&report));
    EXPECT_EQ(media.lengthUs(), 4321000);
    EXPECT_EQ(media.positionUs(), 1500000);
    report.positionMs = 2500;
    media.onReport(100, 200, reinterpret_cast<intptr_t>(&report));
    EXPECT_EQ(told, before + 1); // the position alone is not told
    media.onReport(100, 170, 0); // repeated each second while playing
    media.onReport(100, 180, 0);
    EXPECT_EQ(actions(), "rr-s-- Paused play pause");
    media.onReport(100, 160, 0);
    EXPECT_EQ(actions(), "nn---- Stopped play");
    EXPECT_EQ(media.track(), 0u);
    EXPECT_EQ(media.lengthUs(), 0);
    media.readingStarted(u"Headline", u"Body of the item", true);
    media.onReport(400, 420, 0);
    EXPECT_EQ(actions(), "r-rsN- Stopped play pause next");
    EXPECT_EQ(media.title(), u"Headline");
    EXPECT_EQ(media.track(), 2u);
    media.onReport(100, 190, 0);
    EXPECT_EQ(actions(), "nn---- Stopped play");
    media.onReport(200, 210, 0); // the server checked again: no Play Now until logged in
    EXPECT_EQ(actions(), "------ Stopped");
    // Typed text whose audio can go from sentence to sentence: Next and
    // Previous move in it; a news item keeps Next for its next item.
    media.onReport(300, 330, 0);
    media.readingStarted(u"", u"One. Two.", false);
    media.onReport(100, 170, 0);
    media.setSentenceNavigation(true);
    EXPECT_EQ(actions(), "r-rs>< Playing play pause next previous");
    media.readingStarted(u"Headline", u"One. Two.", true);
    media.setSentenceNavigation(true);
    EXPECT_EQ(actions(), "r-rsN< Playing play pause next previous");
    media.onReport(100, 190, 0);
    EXPECT_EQ(actions(), "nn---- Stopped play");

    EXPECT_EQ(MediaSession::titleOf(u"one two three four five six seven eight nine"),
              u"one two three four five six seven eight\u2026");
    EXPECT_EQ(MediaSession::titleOf(u"Antidisestablishmentarianism is a long word, isn't it"),
              u"Antidisestablishmentarianism is a long\u2026");
    EXPECT_EQ(MediaSession::titleOf(std::u16string(19, u'\u8bfb') + u"\U0001F600" +
                                    u"\u8bfb\u8bfb" + std::u16string(30, u'\u6587')),
              std::u16string(19, u'\u8bfb') + u"\u2026"); // a surrogate pair is not split
    EXPECT_EQ(MediaSession::titleOf(u" \u3000\n"), u"");
}

TEST_F(DialogCoreTest, TheLanguageBoxSwitchesTextsAndChecksTheServerAgain) {
    open();
    ASSERT_TRUE(ready());
    dialog_->languageSelected(u"zh-CN");
    EXPECT_EQ(view_.text[control::kTitle], "在下面文本框里面输入文本,点击朗读按钮");
    EXPECT_EQ(view_.text[control::kPlayNow], "现在播放");
    EXPECT_EQ(view_.waitingLanguage, "zh-CN");
    EXPECT_THAT(view_.applied, ElementsAre("en-US", "zh-CN"));
    ASSERT_TRUE(pumpUntil([&] { return status() == "就绪 ..."; }));
    EXPECT_EQ(server_.requestsTo("/verify"), 2u);
    EXPECT_EQ(dialog_->feedbackUrl(),
              "http://127.0.0.1:" + std::to_string(server_.port()) + "/intl/zh-CN/feedback.html");
}

// While the server cannot be reached the core asks its view to check again
// after 5, 10 and 30 s, then every minute; the check that succeeds logs in.
// Reconnect checks and logs in again at once and starts the pauses afresh.
TEST_F(DialogCoreTest, AnUnreachableServerIsCheckedAgainAndReconnectLogsInAgain) {
    using std::chrono::milliseconds;
    using namespace std::chrono_literals;
    const std::string door = "/tolvane/tolvanedoor.php";
    const std::string offline = "item=tolvanedoor&door_netverify=x&door_add=x&door_query=x&"
                                "door_rss=x&errcode=0&errmsg=null&project=p&version=1&";
    server_.peer.answer(door, 503, offline);
    open();
    ASSERT_TRUE(pumpUntil([&] { return view_.retries.size() == 1; })) << status();
    for (size_t check = 2; check <= 5; ++check) {
        EXPECT_EQ(view_.text[control::kNetworkStatus], "Offline[503]");
        EXPECT_EQ(view_.controls(), "000000");
        dialog_->retryServerCheck();
        ASSERT_TRUE(pumpUntil([&] { return view_.retries.size() == check; })) << status();
        EXPECT_TRUE(pumpUntil([&] { return server_.requestsTo(door) == check; }));
    }
    EXPECT_THAT(view_.retries, ElementsAre(milliseconds(5s), milliseconds(10s), milliseconds(30s),
                                           milliseconds(60s), milliseconds(60s)));
    EXPECT_EQ(server_.requestsTo("/verify"), 0u);

    server_.peer.answer(door, 200, server_.door());
    dialog_->retryServerCheck();
    ASSERT_TRUE(ready()) << status();
    EXPECT_EQ(view_.controls(), "100111");
    EXPECT_THAT(view_.feeds, ElementsAre("One", "Two"));
    EXPECT_EQ(view_.retries.size(), 5u);
    // A late timer once the server answered checks nothing.
    dialog_->retryServerCheck();
    EXPECT_EQ(server_.requestsTo(door), 6u);

    // Reconnect while logged in, with typed text: checked and logged in again,
    // the feeds listed once and the text kept.
    view_.setText(control::kTextBox, u"Typed before Reconnect");
    dialog_->reconnect();
    ASSERT_TRUE(pumpUntil([&] { return server_.requestsTo("/verify") == 2; })) << status();
    ASSERT_TRUE(ready()) << status();
    EXPECT_THAT(view_.feeds, ElementsAre("One", "Two"));
    EXPECT_EQ(view_.text[control::kTextBox], "Typed before Reconnect");

    // Down again: the pauses start again from 5 s, and a refresh (the
    // options applied) cancels the pending wait.
    server_.peer.answer(door, 503, offline);
    dialog_->reconnect();
    ASSERT_TRUE(pumpUntil([&] { return view_.retries.size() == 6; })) << status();
    EXPECT_EQ(view_.retries.back(), milliseconds(5s));
    dialog_->refresh();
    EXPECT_EQ(view_.retries.at(6), milliseconds(0));
}

// An untouched configuration sends the speech fields every reading sent
// before they could be set, byte for byte; set ones replace them.
TEST_F(DialogCoreTest, TheSpeechSettingsGoIntoTheAddRequest) {
    server_.peer.answer("/query", 200,
                        "item=tolvane&action=query&status=failed&errcode=500&errmsg=broken");
    const auto addBody = [&](const std::string& extra) {
        dialog_.reset();
        open("en-US", extra);
        EXPECT_TRUE(ready()) << status();
        view_.setText(control::kTextBox, u"Hi there");
        dialog_->playNow();
        EXPECT_TRUE(pumpUntil([&] { return !job_.running(); }));
        std::string body;
        for (const Exchange& exchange : server_.peer.exchanges()) {
            body = exchange.path == "/add" ? exchange.body : body;
        }
        return body;
    };
    EXPECT_THAT(addBody(""), HasSubstr("&text=Hi+there&rate=50&volume=100&punctuation=0&format=6&"
                                       "voice=VW+Lily&time_max=60&"));
    EXPECT_THAT(addBody("Speech_Rate=80\nSpeech_Volume=60\nSpeech_Punctuation=2\n"
                        "Speech_Voice=Ann Lee\n"),
                HasSubstr("&text=Hi+there&rate=80&volume=60&punctuation=2&format=6&"
                          "voice=Ann+Lee&time_max=60&"));
}

// Open Text: UTF-8 (with or without its mark, any line ends), GB18030 under a
// UTF-8 locale or its own, UTF-16 with a mark; an overlong file is held in
// parts with a status line saying so; what is not text changes nothing.
TEST_F(DialogCoreTest, OpenTextLoadsUtf8AndGb18030AndHoldsAnOverlongFileInParts) {
    open();
    ASSERT_TRUE(ready());
    const auto file = [&](const std::string& name, const std::string& bytes) {
        const std::filesystem::path path = dir_.path() / name;
        std::ofstream(path, std::ios::binary) << bytes;
        return path;
    };
    const std::string chinese = "今天天气很好。\r\n我们去公园散步吧!\rEnd";
    const std::u16string shown = u"今天天气很好。\n我们去公园散步吧!\nEnd";
    std::string gb18030;
    ASSERT_TRUE(platform::convertCharset(chinese, "UTF-8", "GB18030", gb18030));
    std::string utf16le;
    ASSERT_TRUE(platform::convertCharset(chinese, "UTF-8", "UTF-16LE", utf16le));
    for (const auto& [name, bytes] :
         {std::pair{"plain.txt", chinese}, std::pair{"marked.txt", "\xEF\xBB\xBF" + chinese},
          std::pair{"gb.txt", gb18030}, std::pair{"wide.txt", "\xFF\xFE" + utf16le}}) {
        view_.setText(control::kTextBox, u"before");
        dialog_->openText(file(name, bytes));
        EXPECT_EQ(view_.box, shown) << name;
        EXPECT_EQ(view_.text[control::kCounter], "21/1000") << name;
        EXPECT_EQ(status(), std::string("Text loaded: ") + name);
    }
    // The locale's charset comes before GB18030: Latin-1 text under a Latin-1 locale.
    EXPECT_EQ(TextFile::decode("caf\xE9", "ISO-8859-1"), u"café");
    EXPECT_EQ(TextFile::decode(gb18030, "GB18030"), shown);
    EXPECT_EQ(TextFile::decode("ab\xE4\xBB", "UTF-8", true), u"ab"); // cut inside a character

    // 1000 characters a part at most, no pair split.
    const std::string overlong = std::string(999, 'a') + "😀tail";
    dialog_->openText(file("long.txt", overlong));
    EXPECT_EQ(view_.box, std::u16string(999, u'a'));
    EXPECT_EQ(view_.text[control::kCounter], "Part 1/2");
    EXPECT_EQ(status(), "The file is longer than 1000 characters; it is read in parts");
    dialog_->languageSelected(u"zh-CN");
    ASSERT_TRUE(pumpUntil([&] { return status() == "就绪 ..."; }));
    dialog_->openText(file("long.txt", std::string(1500, 'b')));
    EXPECT_EQ(view_.box, std::u16string(1000, u'b'));
    EXPECT_EQ(view_.text[control::kCounter], "第 1/2 部分");
    EXPECT_EQ(status(), "文件超过 1000 个字符,将分段朗读");

    // Missing, not a file, not text: the box keeps its text.
    dialog_->openText(dir_.path() / "missing.txt");
    EXPECT_EQ(status(), "无法读取文件[cannot open " + (dir_.path() / "missing.txt").string() +
                            ": No such file or directory]");
    dialog_->openText(dir_.path());
    EXPECT_THAT(status(), HasSubstr("Is a directory]"));
    dialog_->openText(file("image.txt", std::string("\x89PNG\r\n\x1A\n\0\0\0\rIHDR", 16)));
    EXPECT_EQ(status(), "文件既不是文档,也不是 UTF-8 或系统字符集的文本");
    EXPECT_EQ(view_.box, std::u16string(1000, u'b'));
    // The document layer's reasons, in the interface's language with its
    // details: a PDF locked by a password, a truncated EPUB.
    const std::filesystem::path locked = file("locked.pdf", pdfOf({{"Secret words."}}, true));
    const std::string book = epubOf("Book", {{"One", {"Words of the first chapter."}}});
    const std::filesystem::path cut = file("cut.epub", book.substr(0, book.size() / 2));
    dialog_->openText(locked);
    EXPECT_EQ(status(), "文档受密码保护");
    dialog_->openText(cut);
    EXPECT_THAT(status(), ::testing::StartsWith("文档已损坏["));
    dialog_->languageSelected(u"en-US");
    ASSERT_TRUE(ready());
    dialog_->openText(locked);
    EXPECT_EQ(status(), "The document is protected by a password");
    dialog_->openText(cut);
    EXPECT_THAT(status(), ::testing::StartsWith("The document is damaged["));
    EXPECT_EQ(view_.box, std::u16string(1000, u'b'));
}

// Text handed from outside the window: it waits for the login (a later
// request replacing an earlier one), is read as Play Now reads typed text
// (stopping a reading under way, in parts beyond the limit); empty text, an empty
// clipboard or selection, a desktop without a selection and a file that is
// not text are refused with the reason in the status line, as is everything
// while the server cannot be reached.
TEST_F(DialogCoreTest, HandedTextWaitsForTheLoginAndIsReadOrRefusedWithItsReason) {
    using Source = ReadRequest::Source;
    server_.peer.answer("/query", 200,
                        "item=tolvane&action=query&status=succeed&tts_status=wait&"
                        "http_file=null&parameter=null&errcode=0&errmsg=null");
    std::vector<std::string> outcomes;
    const auto record = [&](const ReadOutcome& outcome) {
        outcomes.push_back(outcome.reading ? "read" : platform::utf16ToUtf8(outcome.reason));
    };
    open();
    dialog_->readHanded({.text = u"First request"}, record);
    dialog_->readHanded({.text = u"Second request"}, record);
    EXPECT_THAT(outcomes, ElementsAre("A later request to read replaced this one"));
    ASSERT_TRUE(pumpUntil([&] { return server_.requestsTo("/query") > 0; })) << status();
    EXPECT_THAT(outcomes, ElementsAre(::testing::_, "read"));
    EXPECT_EQ(view_.box, u"Second request");
    EXPECT_EQ(view_.controls(), "011011");

    // A reading runs: it stops, and the next is read from its first part.
    const std::u16string overlong = std::u16string(999, u'a') + u"😀tail";
    dialog_->readHanded({.source = Source::kClipboard, .text = overlong}, record);
    ASSERT_TRUE(pumpUntil([&] { return addedTexts().size() == 2; })) << status();
    EXPECT_EQ(outcomes.back(), "read");
    EXPECT_EQ(view_.box, std::u16string(999, u'a'));
    EXPECT_EQ(view_.text[control::kCounter], "Part 1/2");
    EXPECT_EQ(platform::utf8ToUtf16(addedTexts()[0]), u"Second request");
    EXPECT_EQ(platform::utf8ToUtf16(addedTexts()[1]), std::u16string(999, u'a'));
    EXPECT_TRUE(job_.running());

    const std::filesystem::path image = dir_.path() / "image.txt";
    std::ofstream(image, std::ios::binary) << std::string("\x89PNG\r\n\x1A\n\0\0\0\rIHDR", 16);
    const std::pair<ReadRequest, std::string> refused[] = {
        {{.text = u" \t\u3000"}, "There is no text to read"},
        {{.source = Source::kClipboard}, "The clipboard holds no text to read"},
        {{.source = Source::kSelection, .text = u"\n"}, "No text is selected"},
        {{.source = Source::kSelection, .text = u"x", .offered = false},
         "This desktop keeps no selection to read"},
        {{.source = Source::kFile, .file = image},
         "The file is neither a document nor text in UTF-8 or the system's character set"},
    };
    for (const auto& [request, reason] : refused) {
        dialog_->readHanded(request, record);
        EXPECT_EQ(outcomes.back(), reason);
        EXPECT_EQ(status(), reason);
    }
    // The reading under way goes on.
    EXPECT_EQ(addedTexts().size(), 2u);
    EXPECT_EQ(view_.box, std::u16string(999, u'a'));
    EXPECT_TRUE(job_.running());

    dialog_->stop();
    server_.peer.answer("/tolvane/tolvanedoor.php", 503, "down");
    dialog_->reconnect();
    dialog_->readHanded({.text = u"Third request"}, record);
    ASSERT_TRUE(pumpUntil([&] { return !view_.retries.empty(); })) << status();
    EXPECT_EQ(outcomes.back(), "Not connected to the speech server; the text was not read");
    dialog_->readHanded({.text = u"Fourth request"}, record);
    EXPECT_EQ(outcomes.back(), "Not connected to the speech server; the text was not read");
    EXPECT_EQ(status(), outcomes.back());
    EXPECT_EQ(addedTexts().size(), 2u);
}

// English sentences of plain words, in paragraphs, until the text holds at
// least `units` UTF-16 units; the same text for the same arguments.
std::u16string sentencesOf(size_t units) {
    static constexpr std::array<std::string_view, 24> kWords{
        "ships",  "harbour", "quiet",  "morning", "sailors", "gulls",  "water", "river",
        "stone",  "garden",  "window", "letter",  "summer",  "winter", "bread", "market",
        "little", "yellow",  "under",  "across",  "slowly",  "bright", "green", "forest"};
    std::string text;
    uint32_t seed = 7;
    for (size_t sentence = 0; text.size() < units; ++sentence) {
        std::string words;
        const size_t count = 6 + sentence % 9;
        for (size_t i = 0; i < count; ++i) {
            seed = seed * 1103515245u + 12345u;
            words += (i == 0 ? "" : " ") + std::string(kWords[(seed >> 16) % kWords.size()]);
        }
        words[0] = char(std::toupper(static_cast<unsigned char>(words[0])));
        text += words + (sentence % 7 == 3 ? "?" : ".") + (sentence % 5 == 4 ? "\n" : " ");
    }
    return platform::utf8ToUtf16(text);
}

// Whether `part` ends at a sentence's end (blanks after it are its own).
bool endsASentence(std::u16string_view part) {
    const size_t last = part.find_last_not_of(u" \n");
    return last != std::u16string_view::npos &&
           std::u16string_view(u".?!").find(part[last]) != std::u16string_view::npos;
}

// A text file longer than the limit is read part after part, as a feed's
// items are: each part at most the limit and cut at a sentence end, every
// character sent once and in order, the counter naming the part. After the
// last part the first is on show again. Next and Previous Part move through
// the parts (reading them while a reading runs), a stop keeps the part for
// Play Now, and opening the file again in a new dialog goes on from the part
// last begun. Edited text leaves the parts; typed text beyond the limit is
// read in parts too.
TEST_F(DialogCoreTest, ALongTextIsReadInPartsAndGoesOnWhereItStopped) {
    std::string error;
    const std::string mp3 = makeToneMp3(0.2, 440, error);
    ASSERT_FALSE(mp3.empty()) << error;
    AudioPeer audio(mp3, {});
    server_.audioAt(audio.url());
    const std::u16string text = sentencesOf(3200);
    const std::filesystem::path book = dir_.path() / "book.txt";
    std::ofstream(book) << platform::utf16ToUtf8(text);
    open();
    ASSERT_TRUE(ready());
    std::vector<std::string> counters;
    onReport_ = [&](uint32_t message, uint32_t code) {
        if (message == 100 && code == 120) {
            counters.push_back(view_.text[control::kCounter]);
        }
    };
    dialog_->openText(book);
    EXPECT_EQ(status(), "The file is longer than 1000 characters; it is read in parts");
    EXPECT_EQ(view_.text[control::kTitle], "book.txt");
    EXPECT_EQ(view_.text[control::kCounter], "Part 1/4");
    EXPECT_EQ(dialog_->media().decide(MediaSession::Command::kNext),
              MediaSession::Action::kNextPart);
    dialog_->playNow();
    ASSERT_TRUE(pumpUntil([&] { return addedTexts().size() == 4 && status() == "Completed"; }))
        << status() << " after " << addedTexts().size();
    EXPECT_THAT(counters, ElementsAre("Part 1/4", "Part 2/4", "Part 3/4", "Part 4/4"));
    std::u16string joined;
    std::vector<std::u16string> parts;
    for (const std::string& added : addedTexts()) {
        parts.push_back(platform::utf8ToUtf16(added));
        EXPECT_LE(parts.back().size(), 1000u);
        EXPECT_TRUE(endsASentence(parts.back())) << added;
        joined += parts.back();
    }
    EXPECT_EQ(joined, text);
    EXPECT_EQ(view_.box, parts[0]);
    EXPECT_EQ(view_.text[control::kCounter], "Part 1/4");
    EXPECT_EQ(view_.controls(), "100111");

    // From here on each reading waits for its audio until it is stopped.
    server_.peer.answer("/query", 200,
                        "item=tolvane&action=query&status=succeed&tts_status=wait&"
                        "http_file=null&parameter=null&errcode=0&errmsg=null");
    dialog_->nextPart();
    dialog_->mediaCommand(MediaSession::Command::kNext);
    EXPECT_EQ(view_.text[control::kCounter], "Part 3/4");
    EXPECT_EQ(view_.box, parts[2]);
    EXPECT_EQ(addedTexts().size(), 4u); // moved, not read
    dialog_->playNow();
    ASSERT_TRUE(pumpUntil([&] { return addedTexts().size() == 5; })) << status();
    dialog_->nextPart();
    ASSERT_TRUE(pumpUntil([&] { return addedTexts().size() == 6; })) << status();
    EXPECT_EQ(view_.text[control::kCounter], "Part 4/4");
    dialog_->previousPart();
    ASSERT_TRUE(pumpUntil([&] { return addedTexts().size() == 7; })) << status();
    dialog_->stop();
    EXPECT_EQ(status(), "Stopped");
    EXPECT_EQ(view_.text[control::kCounter], "Part 3/4");
    dialog_->playNow();
    ASSERT_TRUE(pumpUntil([&] { return addedTexts().size() == 8; })) << status();
    const std::vector<std::string> added = addedTexts();
    EXPECT_THAT(std::vector(added.begin() + 4, added.end()),
                ElementsAre(added[2], added[3], added[2], added[2]));
    dialog_->stop();

    // Quit and open the book again: part 3 is on show, and Play Now reads it.
    dialog_.reset();
    open();
    ASSERT_TRUE(ready());
    dialog_->openText(book);
    EXPECT_EQ(view_.text[control::kCounter], "Part 3/4");
    EXPECT_EQ(view_.box, parts[2]);
    dialog_->playNow();
    ASSERT_TRUE(pumpUntil([&] { return addedTexts().size() == 9; })) << status();
    EXPECT_EQ(addedTexts().back(), added[2]);
    dialog_->stop();

    // The user edits the part: it is typed text now, the parts gone.
    view_.setText(control::kTextBox, u"Edited.");
    dialog_->textChanged();
    EXPECT_EQ(view_.text[control::kCounter], "7/1000");
    EXPECT_EQ(view_.text[control::kTitle], "Input text below, press Read button ...");
    EXPECT_EQ(dialog_->media().decide(MediaSession::Command::kNext), MediaSession::Action::kNone);
    // Typed beyond the limit: read from its first part.
    view_.setText(control::kTextBox, text.substr(0, 1500));
    dialog_->textChanged();
    EXPECT_EQ(view_.text[control::kCounter], "1500/1000");
    dialog_->playNow();
    ASSERT_TRUE(pumpUntil([&] { return addedTexts().size() == 10; })) << status();
    EXPECT_EQ(addedTexts().back(), added[0]);
    EXPECT_EQ(view_.text[control::kCounter], "Part 1/2");
}

// The desktop's Next moves by sentences while the reading's audio can, and
// past the last sentence of a part goes on to the next part.
TEST_F(DialogCoreTest, MediaNextGoesToTheNextPartAfterTheLastSentence) {
    SpeechTimings timings;
    timings.words = {{0, 0, 5}, {600, 6, 4}};
    timings.sentences = {{0, 0, 5}, {600, 6, 4}};
    std::string error;
    const std::string tone = makeToneMp3(2.4, 440, error);
    ASSERT_FALSE(tone.empty()) << error;
    AudioPeer audio(timingsTag("First. Next.", timings) + tone, {});
    server_.audioAt(audio.url());
    open();
    ASSERT_TRUE(ready());
    view_.setText(control::kTextBox, sentencesOf(1500));
    dialog_->playNow();
    const MediaSession& media = dialog_->media();
    ASSERT_TRUE(pumpUntil([&] { return dialog_->canMoveSentence(); })) << status();
    EXPECT_EQ(media.decide(MediaSession::Command::kNext), MediaSession::Action::kNextSentence);
    dialog_->mediaCommand(MediaSession::Command::kNext); // to the second sentence
    EXPECT_EQ(addedTexts().size(), 1u);
    EXPECT_EQ(view_.text[control::kCounter], "Part 1/2");
    dialog_->mediaCommand(MediaSession::Command::kNext);  // none after it: the next part
    EXPECT_EQ(view_.text[control::kCounter], "Part 2/2"); // at once, not at the audio's end
    ASSERT_TRUE(pumpUntil([&] { return addedTexts().size() == 2; })) << status();
    EXPECT_TRUE(media.canGoPrevious());
}

std::string fileBytes(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

std::string runOutput(const std::string& program, const std::vector<std::string>& args) {
    ChildProcess child;
    std::string error;
    EXPECT_TRUE(child.start(program, args, error, {.searchPath = true})) << error;
    EXPECT_TRUE(child.wait(std::chrono::seconds(20)));
    EXPECT_EQ(child.exitCode(), 0) << program << ": " << child.err();
    return child.out();
}

// Save Speech As, in news mode: the downloaded MP3 byte for byte behind an
// ID3v2.4 tag that the engine's reader and mutagen read back as written; the
// word timings of the download's own tag (SYLT and TXXX) move into it, and
// tolvane-play and mutagen read them back as the server wrote them; the
// next reading drops the kept download.
TEST_F(DialogCoreTest, SaveSpeechWritesTheDownloadBehindItsTag) {
    const std::string comment = "春晓,春眠不觉晓,处处闻啼鸟。";
    const SpeechTimings timings = evenTimings(comment, 40, 250);
    std::string error;
    const std::string tone = makeToneMp3(0.3, 440, error);
    ASSERT_FALSE(tone.empty()) << error;
    const std::string mp3 = timingsTag(comment, timings) + tone;
    AudioPeer audio(mp3, {});
    server_.audioAt(audio.url());
    server_.peer.answerWhen("/news", "rssstart=0", 200,
                            "item=tolvane&action=simplepie&title0=春晓&description0=春眠不觉晓,"
                            "处处闻啼鸟。&time0=now&status=succeed&errcode=0&errmsg=null&"
                            "totalitems=1&maxrss=1&end=end");
    server_.peer.answer("/news", 200, newsBatch(2, 0, 1));
    open();
    ASSERT_TRUE(ready());
    dialog_->enableSpeechSaving();
    EXPECT_FALSE(dialog_->canSaveSpeech());
    dialog_->feedDoubleClicked(1, u"Two");
    ASSERT_TRUE(pumpUntil([&] { return dialog_->canSaveSpeech(); })) << status();
    const std::filesystem::path kept = controllers_.playback.keptDownloadPath();
    EXPECT_EQ(fileBytes(kept), mp3);
    struct stat info {};
    ASSERT_EQ(::stat(kept.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600u);
    EXPECT_EQ(dialog_->suggestedSpeechPath("/music"), "/music/春晓.mp3");

    const std::filesystem::path saved = dir_.path() / "saved.mp3";
    ASSERT_TRUE(dialog_->saveSpeech(saved)) << status();
    EXPECT_EQ(status(), "Speech saved: saved.mp3");
    EXPECT_EQ(dialog_->suggestedSpeechPath("/music"), dir_.path() / "春晓.mp3");
    const std::string date = dialog_->speechTags().date;
    EXPECT_THAT(date, ::testing::MatchesRegex("20[0-9][0-9]-[01][0-9]-[0-3][0-9]"));
    const std::string bytes = fileBytes(saved);
    ASSERT_GT(bytes.size(), 10u);
    ASSERT_EQ(bytes.substr(0, 5), std::string("ID3\x04\x00", 5));
    const size_t tagSize = SpeechTimingsTag::tagSize(bytes);
    EXPECT_TRUE(bytes.substr(tagSize) == tone) << "the audio after the tag differs";
    SpeechTimings carried;
    ASSERT_TRUE(SpeechTimingsTag::read(bytes, carried, error)) << error;
    EXPECT_EQ(timingsText(carried), timingsText(timings));

    std::string entries;
    std::string mutagenEntries;
    for (const SpeechMark& word : timings.words) {
        const std::string text = markText(comment, word);
        entries +=
            (entries.empty() ? "[" : ",[") + std::to_string(word.startMs) + ",\"" + text + "\"]";
        mutagenEntries += text + "@" + std::to_string(word.startMs) + " ";
    }
    EXPECT_EQ(runOutput(::tolvane::test::binaryDir() + "/tools/tolvane-play",
                        {"tags", saved.string(), "--v2"}),
              "{\"title\":\"春晓\",\"artist\":\"VW Lily\",\"album\":\"Two\",\"year\":\"" + date +
                  "\",\"comment\":\"" + comment +
                  "\",\"track\":\"\",\"genre\":\"\",\"sylt\":[{\"language\":\"zho\","
                  "\"description\":\"words\",\"unit\":\"ms\",\"entries\":[" +
                  entries + "]}]}\n");
    const std::string mutagen = R"(import sys, mutagen.id3
t = mutagen.id3.ID3(sys.argv[1])
c = t.getall("COMM")[0]
print(t.version, t["TIT2"], t["TPE1"], t["TALB"], t["TDRC"], c.lang, repr(c.desc), c.text[0],
      sep="|")
s = t.getall("SYLT")[0]
print(s.lang, s.format, s.desc, " ".join("%s@%d" % w for w in s.text))
print(t["TXXX:TOLVANE_TIMINGS"].text[0]))";
    // The system's Python, which has the Debian mutagen package.
    EXPECT_EQ(runOutput("/usr/bin/python3", {"-c", mutagen, saved.string()}),
              "(2, 4, 0)|春晓|VW Lily|Two|" + date + "|zho|''|" + comment + "\nzho 2 words " +
                  mutagenEntries.substr(0, mutagenEntries.size() - 1) + "\n" +
                  timingsText(timings) + "\n");

    // The next reading drops the kept audio; a failed save says why.
    server_.peer.answer("/query", 200,
                        "item=tolvane&action=query&status=failed&errcode=500&errmsg=broken");
    ASSERT_TRUE(pumpUntil([&] { return view_.text[control::kNewsPosition].empty(); })) << status();
    dialog_.reset(); // typed text next, out of news mode
    open();
    ASSERT_TRUE(ready());
    dialog_->enableSpeechSaving();
    view_.setText(control::kTextBox, u"One two three four five six seven eight nine ten.");
    dialog_->playNow();
    EXPECT_FALSE(dialog_->canSaveSpeech());
    EXPECT_FALSE(std::filesystem::exists(kept));
    EXPECT_EQ(dialog_->speechTags().title, "One two three four five six seven eight…");
    EXPECT_EQ(dialog_->suggestedSpeechPath("/music"),
              "/music/One two three four five six seven eight.mp3");
    EXPECT_EQ(dialog_->speechTags().album, "");
    EXPECT_FALSE(dialog_->saveSpeech(dir_.path() / "none.mp3"));
    EXPECT_EQ(status(), "Cannot save the speech[no downloaded audio is kept]");
}

// A news item followed in its description: the title spoken before it lights
// nothing, the description's words light in turn (the core ticked as a
// window's timer would). Read From Here while the item plays reads only the
// selection, and the item's text stays in the box instead of the prompt.
TEST_F(DialogCoreTest, FollowsANewsItemInItsDescriptionAndReadsTheSelectionFromIt) {
    // "Item 1,Text of item 1" as the server speaks it.
    SpeechTimings timings;
    timings.words = {{0, 0, 4},    {300, 5, 1},   {600, 7, 4},
                     {900, 12, 2}, {1200, 15, 4}, {1500, 20, 1}};
    timings.sentences = {{0, 0, 6}, {600, 7, 14}};
    std::string error;
    const std::string tone = makeToneMp3(2.4, 440, error);
    ASSERT_FALSE(tone.empty()) << error;
    AudioPeer audio(timingsTag("Item 1,Text of item 1", timings) + tone, {});
    server_.audioAt(audio.url());
    server_.peer.answerWhen("/news", "rssstart=0", 200, newsBatch(1, 1, 2));
    server_.peer.answer("/news", 200, newsBatch(2, 1, 2));
    open();
    ASSERT_TRUE(ready());
    dialog_->feedDoubleClicked(1, u"Two");
    ASSERT_TRUE(pumpUntil([&] {
        dialog_->followTick();
        return view_.litWords.size() >= 4 || addedTexts().size() > 1;
    })) << status();
    EXPECT_THAT(view_.litWords, ElementsAre("Text", "of", "item", "1"));
    EXPECT_EQ(view_.text[control::kTextBox], "Text of item 1");
    EXPECT_TRUE(view_.following);

    // The second item plays: its selection is read as typed text.
    ASSERT_TRUE(pumpUntil([&] { return addedTexts().size() == 2 && view_.following; }));
    EXPECT_EQ(view_.text[control::kTextBox], "Text of item 2");
    view_.selection = {5, 12};
    dialog_->readFromHere();
    ASSERT_TRUE(pumpUntil([&] { return addedTexts().size() == 3; })) << status();
    EXPECT_EQ(addedTexts().back(), "of item");
    EXPECT_EQ(view_.text[control::kTextBox], "Text of item 2");
    EXPECT_FALSE(dialog_->newsMode());
}

// The reference server names its voices at the door and honours the rate:
// rate 80 comes back as 340 words a minute and shorter speech.
class DialogCoreRealServerTest : public DialogCoreTest {
  protected:
    void SetUp() override {
        ASSERT_TRUE(ServerProcess::available()) << "tolvane-server is not built";
        ASSERT_FALSE(reference_.baseUrl().empty()) << reference_.output();
    }

    // The server's description of the speech made for `text`:
    // voice:words-per-minute:amplitude:punctuation:sample-rate:duration-ms.
    std::array<std::string, 6> speak(const std::u16string& text) {
        view_.setText(control::kTextBox, text);
        dialog_->playNow();
        // The audio is ready once the server has made it; it need not play.
        EXPECT_TRUE(pumpUntil([&] { return status() == "Succeed to query,playing..."; }))
            << status();
        std::array<std::string, 6> parameters = job_.parameters();
        dialog_->stop();
        return parameters;
    }

    ServerProcess reference_;
};

// Readings the server refuses or cannot finish: text of blanks only, and a
// server stopped while it makes the speech. Each failure is shown and leaves
// the dialog ready for the next reading.
TEST_F(DialogCoreRealServerTest, AFailedReadingLeavesTheDialogReady) {
    open("en-US", "", reference_.port());
    ASSERT_TRUE(ready()) << status();
    const auto readAndFail = [&](const std::u16string& text, const std::function<void()>& midway) {
        view_.setText(control::kTextBox, text);
        dialog_->playNow();
        // The controls go busy with the first report, which for text of
        // blanks may already be the failure: only its end is checked.
        midway();
        EXPECT_TRUE(pumpUntil([&] { return !job_.running(); })) << status();
        EXPECT_EQ(view_.controls(), "100111") << status();
        EXPECT_FALSE(view_.readOnly);
        EXPECT_EQ(view_.text[control::kTextBox], platform::utf16ToUtf8(text));
        return status();
    };
    EXPECT_THAT(readAndFail(u"   ", [] {}), HasSubstr("Failed"));
    EXPECT_THAT(trace(), ::testing::Contains("Add&Query Error"));

    const std::u16string longText(900, u'a');
    const std::string failure = readAndFail(longText, [&] {
        EXPECT_TRUE(pumpUntil([&] { return status() == "Send query,waiting..."; })) << status();
        reference_.stop();
    });
    EXPECT_NE(failure, "Send query,waiting...");
    EXPECT_NE(failure, "Stopped");
}

// The words the server spoke, as its MP3's SYLT frame lists them.
std::vector<std::string> spokenWords(const std::string& audio) {
    std::vector<std::string> words;
    std::string error;
    const bool read = SpeechTimingsTag::withTag(
        audio,
        [&](TagLib::ID3v2::Tag& tag) {
            using Lyrics = TagLib::ID3v2::SynchronizedLyricsFrame;
            for (TagLib::ID3v2::Frame* frame : tag.frameListMap()["SYLT"]) {
                if (const auto* lyrics = dynamic_cast<const Lyrics*>(frame)) {
                    for (const Lyrics::SynchedText& entry : lyrics->synchedText()) {
                        words.push_back(entry.text.to8Bit(true));
                    }
                }
            }
        },
        error);
    EXPECT_TRUE(read) << error;
    return words;
}

// The user's pronunciations reach the reference server as replaced, in a
// Latin reading and inside a Chinese sentence, and the follow-along light
// still falls on the words as typed.
TEST_F(DialogCoreRealServerTest, PronunciationsReachTheServerAndLightTheTypedWords) {
    std::ofstream(dir_.path() / "pronunciations.txt") << "en\tTolvane\tToll vane\n"
                                                         "zh\t中文\t汉语\n";
    const auto read = [&](std::string_view language, const std::u16string& text) {
        open(language, "", reference_.port());
        EXPECT_TRUE(pumpUntil([&] { return status() == "Ready ..." || status() == "就绪 ..."; }))
            << status();
        dialog_->enableSpeechSaving();
        view_.setText(control::kTextBox, text);
        dialog_->playNow();
        EXPECT_TRUE(pumpUntil([&] { return dialog_->follow().hasMarks(); })) << status();
        std::string audio;
        std::string error;
        EXPECT_TRUE(controllers_.playback.keptDownload(audio, error)) << error;
        SpeechTimings timings;
        EXPECT_TRUE(SpeechTimingsTag::read(audio, timings, error)) << error;
        // Each word heard, as the box lights it.
        std::vector<std::string> lit;
        for (const SpeechMark& word : timings.words) {
            const TextRange range = dialog_->follow().toBox(word.offset, word.length);
            lit.push_back(platform::utf16ToUtf8(
                text.substr(size_t(range.begin), size_t(range.end - range.begin))));
        }
        dialog_->stop();
        EXPECT_EQ(view_.text[control::kTextBox], platform::utf16ToUtf8(text));
        return std::pair(spokenWords(audio), lit);
    };
    const auto [english, englishLit] = read("en-US", u"Tolvane reads aloud.");
    EXPECT_THAT(english, ElementsAre("Toll", "vane", "reads", "aloud"));
    EXPECT_THAT(englishLit, ElementsAre("Tolvane", "Tolvane", "reads", "aloud"));

    dialog_.reset();
    const auto [chinese, chineseLit] = read("zh-CN", u"我喜欢中文和音乐。");
    EXPECT_THAT(chinese, ElementsAre("我", "喜", "欢", "汉", "语", "和", "音", "乐"));
    EXPECT_THAT(chineseLit, ElementsAre("我", "喜", "欢", "中文", "中文", "和", "音", "乐"));
}

// 20 000 characters through the reference server within its demo user's
// limit of 1000: each part's audio, once downloaded, is followed at once by
// the next part (as Next Part does), so the test need not hear an hour of
// speech. The words the server spoke, read from each MP3's SYLT frame, are
// the text's words, each once and in order; the parts sent hold every
// character once, none over the limit, each cut at a sentence end.
TEST_F(DialogCoreRealServerTest, TwentyThousandCharactersAreReadInPartsWithinTheLimit) {
    const std::u16string text = sentencesOf(20000);
    const std::filesystem::path book = dir_.path() / "long.txt";
    std::ofstream(book) << platform::utf16ToUtf8(text);
    open("en-US", "", reference_.port());
    ASSERT_TRUE(ready()) << status();
    dialog_->enableSpeechSaving();
    dialog_->openText(book);
    const size_t count = dialog_->parts().count();
    ASSERT_GE(count, 20u);
    EXPECT_EQ(view_.text[control::kCounter], "Part 1/" + std::to_string(count));
    dialog_->playNow();
    std::u16string sent;
    std::vector<std::string> spoken;
    for (size_t part = 0; part < count; ++part) {
        ASSERT_TRUE(pumpUntil([&] { return dialog_->canSaveSpeech(); }))
            << "part " << part + 1 << ": " << status();
        EXPECT_EQ(view_.text[control::kCounter],
                  "Part " + std::to_string(part + 1) + "/" + std::to_string(count));
        const std::u16string said = platform::utf8ToUtf16(dialog_->speechTags().comment);
        EXPECT_LE(said.size(), 1000u);
        EXPECT_TRUE(part + 1 == count || endsASentence(said)) << dialog_->speechTags().comment;
        sent += said;
        std::string audio;
        std::string error;
        ASSERT_TRUE(controllers_.playback.keptDownload(audio, error)) << error;
        for (std::string word : spokenWords(audio)) {
            std::erase_if(word,
                          [](char c) { return !std::isalpha(static_cast<unsigned char>(c)); });
            spoken.push_back(platform::asciiLowered(word));
        }
        if (part + 1 < count) {
            dialog_->nextPart();
        }
    }
    dialog_->stop();
    const auto [sentAt, textAt] = std::mismatch(sent.begin(), sent.end(), text.begin(), text.end());
    EXPECT_TRUE(sentAt == sent.end() && textAt == text.end())
        << "the parts sent differ from the text at " << textAt - text.begin() << " of "
        << text.size();
    std::vector<std::string> words;
    std::istringstream in(platform::utf16ToUtf8(text));
    for (std::string word; in >> word;) {
        std::erase_if(word, [](char c) { return !std::isalpha(static_cast<unsigned char>(c)); });
        words.push_back(platform::asciiLowered(word));
    }
    const auto [spokenAt, wordAt] =
        std::mismatch(spoken.begin(), spoken.end(), words.begin(), words.end());
    EXPECT_TRUE(spokenAt == spoken.end() && wordAt == words.end())
        << "word " << wordAt - words.begin() << " of " << words.size() << " spoken as "
        << (spokenAt == spoken.end() ? "nothing" : *spokenAt);
    EXPECT_GE(text.size(), 20000u);
}

TEST_F(DialogCoreRealServerTest, RateEightyIsFasterSpeech) {
    open("en-US", "", reference_.port());
    ASSERT_TRUE(ready()) << status();
    EXPECT_THAT(door_.voices(), ElementsAre("VW Lily"));
    const std::u16string text = u"The quick brown fox jumps over the lazy dog, twice over.";
    const auto normal = speak(text);
    EXPECT_EQ(normal[1], "175");
    EXPECT_EQ(normal[2], "100");
    config_.setSpeech({80, 100, 0, "VW Lily"});
    const auto fast = speak(text);
    EXPECT_EQ(fast[1], "340");
    EXPECT_LT(std::stoi(fast[5]), std::stoi(normal[5]) * 7 / 10)
        << normal[5] << " ms at rate 50, " << fast[5] << " ms at rate 80";
}

} // namespace
} // namespace tolvane::test
