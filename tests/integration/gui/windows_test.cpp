// The trace and waiting windows, the options sheet and the About box on the
// offscreen platform, driven with real key presses and clicks.
#include "config/ConfigStore.h"
#include "protocol/TraceWrite.h"
#include "tests/support/TempDir.h"
#include "ui/AboutBox.h"
#include "ui/DialogUnits.h"
#include "ui/OptionsSheet.h"
#include "ui/TraceWindow.h"
#include "ui/WaitingWindow.h"

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QScreen>
#include <QSlider>
#include <QTabWidget>
#include <QTest>
#include <QTimer>

#include <chrono>
#include <fstream>
#include <gtest/gtest.h>
#include <thread>
#include <vector>

// Lets assertions print the texts they compared.
QT_BEGIN_NAMESPACE
void PrintTo(const QString& text, std::ostream* out) {
    *out << '"' << text.toStdString() << '"';
}
QT_END_NAMESPACE

namespace tolvane::ui {
namespace {

// Runs the interface thread's events, deferred deletions included, until the
// log has `lines` lines or five seconds pass.
QStringList pumpUntil(const TraceWindow& trace, qsizetype lines = 0) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    do {
        QCoreApplication::processEvents();
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    } while (trace.logText().count(QLatin1Char('\n')) + 1 < lines &&
             std::chrono::steady_clock::now() < deadline);
    return trace.logText().split(QLatin1Char('\n'));
}

TEST(TraceWindow, EveryOpeningIsANewWindowWithAFreshLog) {
    TraceWindow trace;
    trace.openTrace();
    ASSERT_NE(trace.window(), nullptr);
    EXPECT_EQ(trace.window()->windowTitle(), "Tolvane Trace");
    TraceWrite("Add succeed");
    TraceWrite("Query succeed");
    EXPECT_EQ(pumpUntil(trace, 4),
              QStringList({"Tolvane Trace Start:", "", "Add succeed", "Query succeed"}));

    const QPointer<QWidget> first = trace.window();
    trace.closeTrace();
    EXPECT_TRUE(first.isNull());
    EXPECT_FALSE(trace.running());
    trace.openTrace();
    EXPECT_NE(trace.window(), nullptr);
    EXPECT_EQ(trace.logText(), "Tolvane Trace Start:\n");
}

TEST(TraceWindow, LinesFromManyThreadsArriveCompleteAndInEachThreadsOrder) {
    TraceWindow trace;
    trace.openTrace();
    constexpr int kThreads = 4;
    constexpr int kLines = 400;
    // Nothing pumps the interface thread while the writers run: a writer that
    // waited for the window would never be joined.
    std::vector<std::thread> writers;
    for (int t = 0; t < kThreads; ++t) {
        writers.emplace_back([t] {
            for (int i = 0; i < kLines; ++i) {
                TraceWrite(std::to_string(t) + " " + std::to_string(i));
            }
        });
    }
    for (std::thread& writer : writers) {
        writer.join();
    }
    const QStringList lines = pumpUntil(trace, 2 + kThreads * kLines);
    ASSERT_EQ(lines.size(), 2 + kThreads * kLines);
    std::vector<int> next(kThreads, 0);
    for (qsizetype i = 2; i < lines.size(); ++i) {
        const QStringList parts = lines[i].split(QLatin1Char(' '));
        const int thread = parts[0].toInt();
        ASSERT_EQ(parts[1].toInt(), next[thread]++) << lines[i].toStdString();
    }
}

TEST(TraceWindow, WritingWhileClosedDoesNothingAndLinesInFlightAreDropped) {
    TraceWindow trace;
    std::thread([] { TraceWrite("nobody listens"); }).join();
    trace.openTrace();
    std::thread([] { TraceWrite("in flight"); }).join();
    trace.closeTrace(); // before the interface thread saw the line
    TraceWrite("after close");
    trace.openTrace();
    pumpUntil(trace);
    EXPECT_EQ(trace.logText(), "Tolvane Trace Start:\n");
}

TEST(TraceWindow, AfterTheCloseBoxOpeningWaitsForCloseTrace) {
    TraceWindow trace;
    trace.openTrace();
    trace.window()->close();
    pumpUntil(trace);
    EXPECT_EQ(trace.window(), nullptr);
    EXPECT_TRUE(trace.running());
    TraceWrite("to a closed window");
    trace.openTrace();
    EXPECT_EQ(trace.window(), nullptr);

    trace.closeTrace();
    trace.openTrace();
    ASSERT_NE(trace.window(), nullptr);
    EXPECT_EQ(pumpUntil(trace), QStringList({"Tolvane Trace Start:", ""}));
}

TEST(TraceWindow, DocksToTheRightEdgeAtFullHeightAndGoesWithItsObject) {
    QPointer<QWidget> window;
    {
        TraceWindow trace;
        trace.openTrace();
        window = trace.window();
        const QRect area = QGuiApplication::primaryScreen()->availableGeometry();
        const QRect frame = window->frameGeometry();
        EXPECT_EQ(frame.width(), 450);
        EXPECT_EQ(frame.right(), area.right());
        EXPECT_EQ(frame.top(), area.top());
        EXPECT_EQ(frame.height(), area.height());
        TraceWrite("pending at exit"); // its wake-up is posted to the object
    }
    EXPECT_TRUE(window.isNull());
    TraceWrite("after exit");
    QCoreApplication::processEvents();
}

TEST(WaitingWindow, OneCentredTopmostBoxOwnedByTheDialogInItsLanguage) {
    QWidget owner;
    owner.show();
    WaitingWindow waiting;
    EXPECT_EQ(waiting.text(), "Waiting ...");
    waiting.setOwner(&owner);
    waiting.setLanguage("zh-CN");
    waiting.openWaiting();
    QWidget* box = waiting.window();
    waiting.setLanguage("ZH-CN");
    EXPECT_EQ(waiting.text(), "Waiting ...");
    waiting.openWaiting();
    ASSERT_EQ(waiting.window(), box);
    EXPECT_EQ(owner.findChildren<QWidget*>("waitingWindow").size(), 1);

    // The open box keeps the text it was opened with.
    const auto* label = box->findChild<QLabel*>("waitingLabel");
    EXPECT_EQ(label->text(), QString::fromUtf8("请稍等 ..."));
    EXPECT_EQ(label->geometry().topLeft(), QPoint(0, 5));
    EXPECT_EQ(label->width(), 200);
    EXPECT_TRUE(box->isWindow());
    EXPECT_EQ(box->parentWidget(), &owner);
    EXPECT_TRUE(box->windowFlags() & Qt::WindowStaysOnTopHint);
    // The offscreen platform activates every window it shows, so what is
    // checked is what the box asks of the window system.
    EXPECT_TRUE(box->windowFlags() & Qt::WindowDoesNotAcceptFocus);
    EXPECT_TRUE(box->testAttribute(Qt::WA_ShowWithoutActivating));
    const QRect screen = QGuiApplication::primaryScreen()->geometry();
    EXPECT_EQ(box->geometry(), QRect(screen.x() + (screen.width() - 200) / 2,
                                     screen.y() + (screen.height() - 60) / 2, 200, 60));

    waiting.closeWaiting();
    EXPECT_FALSE(waiting.isOpen());
    waiting.closeWaiting(); // nothing open: returns at once
    waiting.openWaiting();
    EXPECT_EQ(waiting.window()->findChild<QLabel*>("waitingLabel")->text(), "Waiting ...");
    waiting.closeWaiting();
}

class OptionsSheetTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_FALSE(dir_.path().empty());
        std::ofstream(path_) << "[TolvaneWin32]\nTolvane_Host=localhost\nTolvane_Port=8080\n"
                                "User_Email=reader@example.test\nUser_Pass=demo\n"
                                "Debug_Trace=OFF\n";
        config_.read(path_);
    }

    OptionsSheet& open(int startPage = 0, const char* language = "en-US",
                       std::vector<std::string> voices = {}) {
        sheet_ = std::make_unique<OptionsSheet>(
            config_, language, [this] { ++refreshes_; }, startPage, nullptr, std::move(voices));
        sheet_->show();
        return *sheet_;
    }
    void retype(const char* edit, const char* text) {
        auto* field = sheet_->findChild<QLineEdit*>(edit);
        field->selectAll();
        QTest::keyClicks(field, text);
    }
    QPushButton* button(const char* name) { return sheet_->findChild<QPushButton*>(name); }
    std::string fileText() const {
        std::ifstream in(path_);
        return std::string(std::istreambuf_iterator<char>(in), {});
    }

    test::TempDir dir_;
    std::filesystem::path path_ = dir_.path() / "config.ini";
    ConfigStore config_;
    std::unique_ptr<OptionsSheet> sheet_;
    int refreshes_ = 0;
};

TEST_F(OptionsSheetTest, ChangingOnlyTheCaseOfHostAndPortChangesNothing) {
    open();
    retype("hostEdit", "LocalHost");
    retype("portEdit", "8080");
    QTest::mouseClick(button("okButton"), Qt::LeftButton);
    EXPECT_EQ(sheet_->result(), QDialog::Accepted);
    EXPECT_EQ(refreshes_, 0);
    EXPECT_EQ(config_.host(), "localhost");
    EXPECT_EQ(config_.port(), "8080");
}

// Only digits can be typed as the port, and a host or port the store refuses
// is not taken: the edits show the values in use again and nothing restarts.
TEST_F(OptionsSheetTest, AHostOrPortThatWouldChangeTheUrlIsNotTaken) {
    open();
    retype("portEdit", "81@127.0.0.2");
    EXPECT_EQ(sheet_->findChild<QLineEdit*>("portEdit")->text(), "81127");
    retype("portEdit", "0");
    retype("hostEdit", "evil.example/x?");
    QTest::mouseClick(button("applyButton"), Qt::LeftButton);
    EXPECT_EQ(refreshes_, 0);
    EXPECT_EQ(config_.baseUrl(), "http://localhost:8080/tolvane/tolvanedoor.php");
    EXPECT_EQ(sheet_->findChild<QLineEdit*>("hostEdit")->text(), "localhost");
    EXPECT_EQ(sheet_->findChild<QLineEdit*>("portEdit")->text(), "8080");
}

TEST_F(OptionsSheetTest, ChangingOnlyTheCaseOfTheUserRefreshesOnceInMemoryOnly) {
    const std::string before = fileText();
    open();
    retype("userEdit", "Reader@example.test");
    QTest::keyClick(sheet_->findChild<QLineEdit*>("userEdit"), Qt::Key_Return); // OK is default
    EXPECT_EQ(refreshes_, 1);
    EXPECT_EQ(config_.userEmail(), "Reader@example.test");
    EXPECT_EQ(fileText(), before);
}

TEST_F(OptionsSheetTest, ApplyFollowsChangesAndLeavingAPageKeepsItsEdits) {
    open();
    EXPECT_FALSE(button("applyButton")->isEnabled());
    retype("portEdit", "8081");
    EXPECT_TRUE(button("applyButton")->isEnabled());
    QTest::mouseClick(button("applyButton"), Qt::LeftButton);
    EXPECT_FALSE(button("applyButton")->isEnabled());
    EXPECT_EQ(refreshes_, 1);
    EXPECT_EQ(config_.baseUrl(), "http://localhost:8081/tolvane/tolvanedoor.php");

    // Leaving the page greys Apply, but OK still applies what was typed there.
    retype("hostEdit", "example.test");
    sheet_->findChild<QTabWidget*>("optionTabs")->setCurrentIndex(OptionsSheet::kDebugPage);
    EXPECT_FALSE(button("applyButton")->isEnabled());
    QTest::mouseClick(button("okButton"), Qt::LeftButton);
    EXPECT_EQ(refreshes_, 2);
    EXPECT_EQ(config_.host(), "example.test");
}

TEST_F(OptionsSheetTest, DebugTraceIsWrittenToTheFileInUseAndOpensNoTrace) {
    auto* check = open(OptionsSheet::kDebugPage).findChild<QCheckBox*>("debugTraceCheck");
    EXPECT_FALSE(check->isChecked());
    QTest::mouseClick(check, Qt::LeftButton, {}, check->rect().center());
    QTest::mouseClick(button("okButton"), Qt::LeftButton);
    EXPECT_EQ(refreshes_, 0);
    for (const QWidget* window : QApplication::topLevelWidgets()) {
        EXPECT_NE(window->objectName(), "traceWindow");
    }
    ConfigStore reread;
    reread.read(path_);
    EXPECT_EQ(reread.debugTrace(), "ON");

    config_.writeDebugTrace("on"); // ticked in any letter case
    EXPECT_TRUE(open().findChild<QCheckBox*>("debugTraceCheck")->isChecked());
}

// The speech page by keyboard: sliders, punctuation and the server's voices
// (or any typed name); Apply writes only the speech keys to the file.
TEST_F(OptionsSheetTest, TheSpeechPageSetsRateVolumePunctuationAndVoice) {
    const std::string before = fileText();
    open(OptionsSheet::kSpeechPage, "en-US", {"VW Lily", "Deep Tom"});
    auto* rate = sheet_->findChild<QSlider*>("rateSlider");
    auto* volume = sheet_->findChild<QSlider*>("volumeSlider");
    auto* punctuation = sheet_->findChild<QComboBox*>("punctuationBox");
    auto* voice = sheet_->findChild<QComboBox*>("voiceBox");
    EXPECT_EQ(rate->value(), 50);
    EXPECT_EQ(volume->value(), 100);
    EXPECT_EQ(punctuation->currentText(), "None");
    EXPECT_EQ(voice->currentText(), "VW Lily");
    EXPECT_EQ(voice->count(), 2);
    EXPECT_EQ(rate->accessibleName(), "Rate");
    EXPECT_FALSE(button("applyButton")->isEnabled());

    rate->setFocus();
    for (int i = 0; i < 3; ++i) {
        QTest::keyClick(rate, Qt::Key_PageUp); // +10 each
    }
    EXPECT_EQ(sheet_->findChild<QLabel*>("rateSliderValue")->text(), "80");
    QTest::keyClick(volume, Qt::Key_Home);
    punctuation->setFocus();
    QTest::keyClick(punctuation, Qt::Key_Down);
    QTest::keyClick(punctuation, Qt::Key_Down);
    EXPECT_EQ(punctuation->currentText(), "Some");
    voice->setFocus();
    QTest::keyClick(voice, Qt::Key_Down);
    EXPECT_EQ(voice->currentText(), "Deep Tom");
    EXPECT_TRUE(button("applyButton")->isEnabled());
    QTest::mouseClick(button("applyButton"), Qt::LeftButton);
    EXPECT_EQ(config_.speech(), (ConfigStore::Speech{80, 0, 2, "Deep Tom"}));
    EXPECT_EQ(fileText(), before + "Speech_Rate=80\nSpeech_Volume=0\nSpeech_Punctuation=2\n"
                                   "Speech_Voice=Deep Tom\n");
    EXPECT_EQ(refreshes_, 0);

    // A typed name the server did not list; an emptied box means the default.
    voice->lineEdit()->selectAll();
    QTest::keyClicks(voice->lineEdit(), "My Voice");
    QTest::mouseClick(button("okButton"), Qt::LeftButton);
    EXPECT_EQ(config_.speech().voice, "My Voice");
    open(OptionsSheet::kSpeechPage);
    voice = sheet_->findChild<QComboBox*>("voiceBox");
    EXPECT_EQ(voice->currentText(), "My Voice");
    voice->lineEdit()->clear();
    QTest::mouseClick(button("okButton"), Qt::LeftButton);
    ConfigStore reread;
    reread.read(path_);
    EXPECT_EQ(reread.speech(), (ConfigStore::Speech{80, 0, 2, "VW Lily"}));
}

TEST_F(OptionsSheetTest, TextsAreChineseForZhCnInAnyCase) {
    const auto texts = [&](const char* language) {
        const auto* tabs = open(0, language).findChild<QTabWidget*>("optionTabs");
        return QStringList{sheet_->windowTitle(), tabs->tabText(0), tabs->tabText(1),
                           tabs->tabText(2), button("applyButton")->text()};
    };
    const QStringList chinese{QString::fromUtf8("选项..."), QString::fromUtf8("TTS服务器"),
                              QString::fromUtf8("调试"), QString::fromUtf8("语音"),
                              QString::fromUtf8("应用")};
    EXPECT_EQ(texts("zh-CN"), chinese);
    EXPECT_EQ(texts("ZH-CN"), chinese);
    EXPECT_EQ(texts("en-US"), QStringList({"Option...", "ServerHost", "Debug", "Speech", "Apply"}));
}

TEST(AboutBox, ChineseForZhCnInAnyCaseElseEnglish) {
    const auto texts = [](const AboutBox& box) {
        return QStringList{box.windowTitle(), box.findChild<QLabel*>("aboutName")->text(),
                           box.findChild<QPushButton*>("okButton")->text()};
    };
    const QStringList chinese{QString::fromUtf8("关于"),
                              QString::fromUtf8("语音新闻播报[Tolvane Client] 1.1.0"),
                              QString::fromUtf8("确定")};
    EXPECT_EQ(texts(AboutBox("zh-CN", nullptr)), chinese);
    EXPECT_EQ(texts(AboutBox("ZH-CN", nullptr)), chinese);
    const AboutBox english("en-US", nullptr);
    EXPECT_EQ(texts(english), QStringList({"About", "Tolvane Client 1.1.0", "OK"}));
    EXPECT_TRUE(english.findChild<QLabel*>("aboutMaker")->text().contains("2010 Tolvane"));
    EXPECT_FALSE(english.findChild<QLabel*>("aboutIcon")->pixmap().isNull());
    EXPECT_EQ(english.size(), DialogUnits(english.font()).size(230, 75));
}

TEST(AboutBox, EnterClosesWithOneAndEscapeWithTwo) {
    const auto pressInModal = [](Qt::Key key) {
        QTimer::singleShot(0, [key] { QTest::keyClick(QApplication::activeModalWidget(), key); });
    };
    pressInModal(Qt::Key_Return);
    EXPECT_EQ(showAbout(nullptr, "en-US"), AboutBox::kOk);
    pressInModal(Qt::Key_Escape);
    EXPECT_EQ(showAbout(nullptr, "zh-CN"), AboutBox::kCancel);
}

} // namespace
} // namespace tolvane::ui
