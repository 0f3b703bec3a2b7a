// Following a reading in the window, heard for real: audio with word timings
// in its tag (a tone behind a tag written with TagLib) served by a stand-in
// speech server, played into the test's null sink. The lit word is the one
// whose interval holds the heard position, in both download modes; it holds
// while paused; Alt+Right moves the sound to the next sentence's start; Read
// From Here sends the cursor's sentence onwards or the selection. (Audio
// without timings, which every other reading test plays, plays as before.)
#include "FakeSpeechServer.h"
#include "ProtocolTestSupport.h"
#include "SayTestSupport.h"
#include "TimedSpeech.h"

#include "config/ConfigStore.h"
#include "tests/support/TempDir.h"
#include "ui/ClientObjects.h"
#include "ui/MainDialog.h"
#include "ui/MainWindow.h"

#include <QAction>
#include <QLabel>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScrollBar>
#include <QTest>

#include <gtest/gtest.h>

#include <chrono>

namespace tolvane::test {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// Two words to a sentence, a word every 600 ms from 300 ms.
constexpr char kText[] = "One two. Three four. Five six. Seven eight.";
constexpr int64_t kLeadMs = 300;
constexpr int64_t kWordMs = 600;

int holding(const std::vector<SpeechMark>& marks, int64_t ms) {
    int index = -1;
    for (size_t i = 0; i < marks.size(); ++i) {
        index = marks[i].startMs <= ms ? int(i) : index;
    }
    return index;
}

class FollowTest : public ::testing::TestWithParam<std::string> {
  protected:
    void SetUp() override {
        timings_ = evenTimings(kText, kLeadMs, kWordMs);
        std::string error;
        const std::string mp3 = timedToneMp3(6.0, kText, timings_, error);
        ASSERT_FALSE(mp3.empty()) << error;
        audio_ = std::make_unique<AudioPeer>(mp3, AudioPeer::Behaviour{});
        server_.audioAt(audio_->url());
        config_.read(
            writeClientConfig(dir_.path(), server_.port(), GetParam(), "language=en-US\n"));
        objects_ = std::make_unique<ui::ClientObjects>();
        window_ = std::make_unique<ui::MainWindow>(*objects_, config_, "identity");
        window_->show();
        ASSERT_TRUE(waitStatus("Ready ...")) << status();
        // Keys reach the menus' shortcuts only in the active window (the
        // waiting window was active while the user logged in).
        window_->activateWindow();
        ASSERT_TRUE(QTest::qWaitForWindowActive(window_.get()));
        box()->setPlainText(kText);
    }
    void TearDown() override {
        window_.reset();
        objects_.reset();
    }

    QPlainTextEdit* box() {
        return qobject_cast<QPlainTextEdit*>(window_->dialog().control(control::kTextBox));
    }
    std::string status() {
        return qobject_cast<QLabel*>(window_->dialog().control(control::kStatus))
            ->text()
            .toStdString();
    }
    bool waitStatus(const std::string& text) {
        return QTest::qWaitFor([&] { return status() == text; }, 20000);
    }
    void click(int id) { QTest::mouseClick(window_->dialog().control(id), Qt::LeftButton); }
    int64_t heard() {
        int64_t ms = -1;
        return objects_->playback.heardPosition(ms, true) ? ms : -1;
    }
    bool waitHeard(int64_t ms) {
        return QTest::qWaitFor([&] { return heard() >= ms; }, 20000);
    }
    // The text the box lights strongly (the word) or softly (its sentence).
    std::string lit(bool word) {
        const std::string text = box()->toPlainText().toStdString();
        for (const QTextEdit::ExtraSelection& s : box()->extraSelections()) {
            if ((s.format.background().color().alpha() == 255) == word) {
                return s.cursor.selectedText().toStdString();
            }
        }
        return {};
    }
    // Whether the start of the lit word shows in the box.
    bool litWordInView() {
        for (const QTextEdit::ExtraSelection& s : box()->extraSelections()) {
            if (s.format.background().color().alpha() == 255) {
                QTextCursor start = s.cursor;
                start.setPosition(s.cursor.selectionStart());
                const QRect place = box()->cursorRect(start);
                return place.top() >= 0 && place.bottom() <= box()->viewport()->height();
            }
        }
        return false;
    }
    std::string wordAt(int64_t ms) {
        const int i = holding(timings_.words, ms);
        return i < 0 ? std::string() : markText(kText, timings_.words[size_t(i)]);
    }
    std::string sentenceAt(int64_t ms) {
        const int i = holding(timings_.sentences, ms);
        return i < 0 ? std::string() : markText(kText, timings_.sentences[size_t(i)]);
    }
    std::vector<std::string> addedTexts() const { return server_.addedTexts(); }

    SpeechTimings timings_;
    std::unique_ptr<AudioPeer> audio_;
    FakeSpeechServer server_;
    TempDir dir_;
    ConfigStore config_;
    std::unique_ptr<ui::ClientObjects> objects_;
    std::unique_ptr<ui::MainWindow> window_;
};

INSTANTIATE_TEST_SUITE_P(Modes, FollowTest, ::testing::Values("FILE", "MEMORY"),
                         [](const auto& info) { return info.param; });

TEST_P(FollowTest, TheLitWordHoldsTheHeardPositionAndHoldsWhilePaused) {
    // More lines than the box shows: the lit word is brought into view.
    const QString whole = QString(kText) + QString(30, u'\n') + QStringLiteral("The end.");
    box()->setPlainText(whole);
    click(control::kPlayNow);
    ASSERT_TRUE(waitStatus("Playing ...")) << status();
    EXPECT_EQ(addedTexts(), std::vector<std::string>{whole.toStdString()})
        << "Play Now reads the whole box";
    // Three moments, each well inside a word's interval, three ticks after it;
    // the box scrolled away before the word lit.
    for (const int word : {1, 3, 5}) {
        ASSERT_TRUE(waitHeard(kLeadMs + word * kWordMs - 150)) << status();
        box()->verticalScrollBar()->setValue(box()->verticalScrollBar()->maximum());
        ASSERT_TRUE(waitHeard(kLeadMs + word * kWordMs + 200)) << status();
        QTest::qWait(60);
        const int64_t at = heard();
        EXPECT_EQ(lit(true), wordAt(at)) << "heard at " << at << " ms";
        EXPECT_EQ(lit(false), sentenceAt(at)) << "heard at " << at << " ms";
        EXPECT_TRUE(litWordInView()) << "heard at " << at << " ms";
    }
    click(control::kPauseResume);
    ASSERT_TRUE(waitStatus("Paused"));
    const int64_t held = heard();
    const std::string word = lit(true);
    EXPECT_EQ(word, wordAt(held));
    QTest::qWait(800);
    EXPECT_EQ(heard(), held) << "the sound holds";
    EXPECT_EQ(lit(true), word) << "the light holds";
    click(control::kStop);
    ASSERT_TRUE(waitStatus("Stopped"));
    EXPECT_TRUE(box()->extraSelections().isEmpty()) << "a stop clears the light";
}

// Alt+Right seeks the audio to the next sentence's start (FILE mode; a
// stream in MEMORY mode cannot seek, and the command is not offered then).
TEST_P(FollowTest, AltRightMovesTheSoundToTheNextSentence) {
    click(control::kPlayNow);
    ASSERT_TRUE(waitStatus("Playing ...")) << status();
    ASSERT_TRUE(waitHeard(kLeadMs + kWordMs + 200));
    QAction* next = window_->action(ui::MainWindow::kNextSentence);
    ASSERT_NE(next, nullptr);
    EXPECT_EQ(next->shortcut(), QKeySequence(Qt::ALT | Qt::Key_Right));
    if (GetParam() == "MEMORY") {
        EXPECT_FALSE(next->isEnabled());
        return;
    }
    ASSERT_TRUE(next->isEnabled());
    const int64_t before = heard();
    const int sentence = holding(timings_.sentences, before);
    ASSERT_EQ(sentence, 0);
    const int64_t target = timings_.sentences[1].startMs;
    const Clock::time_point pressed = Clock::now();
    QTest::keyClick(window_.get(), Qt::Key_Right, Qt::AltModifier);
    ASSERT_TRUE(QTest::qWaitFor([&] { return heard() >= target && heard() < target + 150; }, 1000))
        << "heard at " << heard() << " ms";
    EXPECT_LT(Clock::now() - pressed, 100ms);
    EXPECT_EQ(lit(true), "Three");
    EXPECT_EQ(lit(false), "Three four.");
    // And on from there: the next word lights when its time comes.
    ASSERT_TRUE(waitHeard(target + kWordMs + 100));
    QTest::qWait(60);
    EXPECT_EQ(lit(true), "four.");
}

TEST_P(FollowTest, ReadFromHereSendsTheCursorsSentenceOnwardsOrTheSelection) {
    if (GetParam() == "MEMORY") {
        GTEST_SKIP() << "what is sent does not depend on the download mode";
    }
    QTextCursor cursor = box()->textCursor();
    cursor.setPosition(int(std::string(kText).find("ix")));
    box()->setTextCursor(cursor);
    box()->setFocus();
    QTest::keyClick(box(), Qt::Key_Return, Qt::ControlModifier | Qt::ShiftModifier);
    ASSERT_TRUE(QTest::qWaitFor([&] { return addedTexts().size() == 1; }, 20000)) << status();
    EXPECT_EQ(addedTexts().back(), "Five six. Seven eight.");
    ASSERT_TRUE(waitStatus("Playing ...")) << status();

    // While it reads, a selection read from the menu replaces the reading.
    cursor.setPosition(int(std::string(kText).find("Three")));
    cursor.setPosition(int(std::string(kText).find(". Five")), QTextCursor::KeepAnchor);
    box()->setTextCursor(cursor);
    QAction* here = window_->action(ui::MainWindow::kReadFromHere);
    ASSERT_TRUE(here->isEnabled());
    here->trigger();
    ASSERT_TRUE(QTest::qWaitFor([&] { return addedTexts().size() == 2; }, 20000)) << status();
    EXPECT_EQ(addedTexts().back(), "Three four");
    EXPECT_EQ(box()->toPlainText().toStdString(), kText);
}

} // namespace
} // namespace tolvane::test
