// The desktop client against the reference server and stand-in servers on
// loopback, driven as a user drives it: real widgets on the offscreen
// platform, real controllers, playback into the test's sound daemon.
#include "FakeSpeechServer.h"
#include "GuiClient.h"
#include "ProtocolTestSupport.h"
#include "SayTestSupport.h"

#include "config/ConfigStore.h"
#include "platform/Text.h"
#include "tests/support/ChildProcess.h"
#include "tests/support/TempDir.h"
#include "tests/support/TestPaths.h"
#include "ui/ClientObjects.h"
#include "ui/MainDialog.h"
#include "ui/MainWindow.h"

#include <QAccessible>
#include <QAction>
#include <QApplication>
#include <QComboBox>
#include <QDir>
#include <QFileDialog>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMenuBar>
#include <QMessageBox>
#include <QMimeData>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QTest>
#include <QTimer>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <fstream>
#include <memory>

namespace tolvane::test {
namespace {

using namespace std::chrono_literals;
using ::testing::ElementsAre;
using ::testing::HasSubstr;

class RealServerClient : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(ServerProcess::available()) << "tolvane-server is not built";
        ASSERT_FALSE(server_.baseUrl().empty()) << server_.output();
    }
    std::filesystem::path config(const std::string& language, const std::string& extra = {}) {
        return writeClientConfig(dir_.path(), server_.port(), "FILE",
                                 "language=" + language + "\n" + extra);
    }

    TempDir dir_;
    ServerProcess server_;
    DownloadsWatch downloads_;
};

TEST_F(RealServerClient, StartsLogsInReadsAloudAndCompletes) {
    Client client(config("en-US"));
    EXPECT_EQ(client.window().windowTitle(), "Tolvane Client 1.1.0");
    EXPECT_EQ(client.window().minimumSize(), client.window().maximumSize());
    EXPECT_EQ(client.enabled(), "000000");
    ASSERT_TRUE(client.waitStatus("Ready ...")) << client.text(control::kStatus);
    EXPECT_THAT(client.shown(control::kNetworkStatus),
                ElementsAre("Initialing ...", "Online[200]"));
    EXPECT_THAT(client.shown(0), ElementsAre("open", "closed")); // the waiting window
    EXPECT_FALSE(client.objects().waiting.isOpen());
    EXPECT_GT(client.control<QListWidget>(control::kFeedList)->count(), 0);
    EXPECT_EQ(client.enabled(), "100111");
    // A screen reader can name every control.
    for (int id = control::kPlayNow; id <= control::kServerVersion; ++id) {
        if (QWidget* widget = client.control(id)) {
            QAccessibleInterface* accessible = QAccessible::queryAccessibleInterface(widget);
            ASSERT_NE(accessible, nullptr) << id;
            EXPECT_FALSE(accessible->text(QAccessible::Name).isEmpty()) << "control " << id;
        }
    }

    client.type("Hello from the window.");
    EXPECT_EQ(client.text(control::kCounter), "22/1000");
    client.click(control::kPlayNow);
    ASSERT_TRUE(client.waitStatus("Playing ...")) << client.text(control::kStatus);
    EXPECT_EQ(client.enabled(), "011011");
    EXPECT_TRUE(client.control(control::kProgress)->isVisible());
    ASSERT_TRUE(QTest::qWaitFor([&] { return client.shown(control::kTime).size() >= 3; }, 20000));
    ASSERT_TRUE(client.waitStatus("Completed")) << client.text(control::kStatus);
    EXPECT_EQ(client.enabled(), "100111");
    EXPECT_FALSE(client.control(control::kProgress)->isVisible());
    EXPECT_FALSE(client.control<QPlainTextEdit>(control::kTextBox)->isReadOnly());
    // Once a second while playing: "Playing,  64 kbs" with the time.
    EXPECT_THAT(client.shown(control::kStatus), ::testing::Contains("Playing,  64 kbs"));
    EXPECT_THAT(client.shown(control::kTime),
                ::testing::Contains(::testing::MatchesRegex("00:00:0[0-9]/00:00:0[1-9]")));
    client.close();
    EXPECT_THAT(downloads_.leftovers(), ElementsAre());
}

TEST_F(RealServerClient, PausesResumesAndStops) {
    Client client(config("en-US"));
    ASSERT_TRUE(client.waitStatus("Ready ..."));
    client.type("This sentence is long enough to be paused, resumed and stopped while it is "
                "read aloud by the reference server's voice.");
    client.click(control::kPlayNow);
    ASSERT_TRUE(client.waitStatus("Playing ..."));
    client.click(control::kPauseResume);
    ASSERT_TRUE(client.waitStatus("Paused"));
    EXPECT_EQ(client.text(control::kPauseResume), "Resume");
    // Held: the time stands still while paused.
    const std::string held = client.text(control::kTime);
    QTest::qWait(1500);
    EXPECT_EQ(client.text(control::kTime), held);
    client.click(control::kPauseResume);
    ASSERT_TRUE(client.waitStatus("Playing ..."));
    EXPECT_EQ(client.text(control::kPauseResume), "Pause");
    client.activate();
    QTest::keyClick(&client.window(), Qt::Key_Escape); // Escape is Stop
    ASSERT_TRUE(client.waitStatus("Stopped"));
    EXPECT_EQ(client.enabled(), "100111");
    EXPECT_FALSE(client.control(control::kTime)->isVisible());
}

// The server stopped while it makes the speech: the failure is shown and the
// dialog is ready for the next reading, as after a stop.
TEST_F(RealServerClient, AReadingCutByTheServersStopEndsReady) {
    Client client(config("en-US"));
    ASSERT_TRUE(client.waitStatus("Ready ..."));
    client.type(QString(900, QChar(u'a')));
    client.click(control::kPlayNow);
    ASSERT_TRUE(client.waitStatus("Send query,waiting...")) << client.text(control::kStatus);
    EXPECT_EQ(client.enabled(), "011011");
    server_.stop();
    ASSERT_TRUE(QTest::qWaitFor([&] { return client.enabled() == "100111"; }, 20000))
        << client.text(control::kStatus);
    EXPECT_NE(client.text(control::kStatus), "Send query,waiting...");
    EXPECT_NE(client.text(control::kStatus), "Stopped");
    EXPECT_FALSE(client.control<QPlainTextEdit>(control::kTextBox)->isReadOnly());
    EXPECT_EQ(client.text(control::kPauseResume), "Pause");
    EXPECT_EQ(client.text(control::kTextBox), std::string(900, 'a'));
}

TEST_F(RealServerClient, TheLanguageBoxSwitchesEveryTextAndTheMenu) {
    Client client(config("en-US"));
    ASSERT_TRUE(client.waitStatus("Ready ..."));
    EXPECT_EQ(client.window().menuBar()->actions().at(0)->text(), "&File");
    auto* box = client.control<QComboBox>(control::kLanguageBox);
    EXPECT_EQ(box->currentText(), "en-US");
    box->setFocus();
    QTest::keyClick(box, Qt::Key_Up); // to "zh-CN"
    ASSERT_TRUE(client.waitStatus("就绪 ...")) << client.text(control::kStatus);
    EXPECT_EQ(client.text(control::kPlayNow), "现在播放");
    EXPECT_EQ(client.text(control::kTitle), "在下面文本框里面输入文本,点击朗读按钮");
    EXPECT_EQ(client.text(control::kNetworkStatus), "在线[200]");
    EXPECT_EQ(client.window().menuBar()->actions().at(0)->text(), "文件(&F)");
    EXPECT_EQ(client.window().action(ui::MainWindow::kOptions)->text(), "选项...");
    EXPECT_EQ(client.objects().waiting.text(), "请稍等 ...");
}

// Typed text survives a language switch; the prompt follows the language.
TEST(FakeServerClient, ALanguageSwitchKeepsTypedText) {
    FakeSpeechServer server;
    TempDir dir;
    Client client(writeClientConfig(dir.path(), server.port(), "FILE", "language=en-US\n"));
    ASSERT_TRUE(client.waitStatus("Ready ..."));
    auto* box = client.control<QComboBox>(control::kLanguageBox);
    box->setFocus();
    QTest::keyClick(box, Qt::Key_Up); // to "zh-CN"
    ASSERT_TRUE(client.waitStatus("就绪 ...")) << client.text(control::kStatus);
    EXPECT_EQ(client.text(control::kTextBox), "请在此输入文本,然后点击朗读按钮");
    client.type("Typed before the switch");
    box->setFocus();
    QTest::keyClick(box, Qt::Key_Down); // back to "en-US"
    ASSERT_TRUE(client.waitStatus("Ready ...")) << client.text(control::kStatus);
    EXPECT_EQ(client.text(control::kTextBox), "Typed before the switch");
    EXPECT_EQ(client.text(control::kCounter), "23/1000");
    EXPECT_EQ(client.enabled(), "100111");
    // An emptied box takes the prompt again.
    client.control<QPlainTextEdit>(control::kTextBox)->clear();
    box->setFocus();
    QTest::keyClick(box, Qt::Key_Up);
    ASSERT_TRUE(client.waitText(control::kTextBox, "请在此输入文本,然后点击朗读按钮"));
}

// Reading a feed: three items per batch of a feed of ten, then the next batch
// from offset 3; both languages show the same positions.
TEST(FakeServerClient, ReadsAFeedItemByItemInBothLanguages) {
    std::string error;
    const std::string mp3 = makeToneMp3(0.2, 440, error);
    ASSERT_FALSE(mp3.empty()) << error;
    AudioPeer audio(mp3, {});
    for (const std::string language : {"en-US", "zh-CN"}) {
        FakeSpeechServer server;
        server.audioAt(audio.url());
        auto batch = [](int first) {
            std::string reply = "item=tolvane&action=simplepie";
            for (int i = 0; i < 3; ++i) {
                const std::string n = std::to_string(i);
                reply += "&title" + n + "=Item " + std::to_string(first + i) + "&description" + n +
                         "=Text " + std::to_string(first + i) + "&time" + n + "=now";
            }
            return reply + "&status=succeed&errcode=0&errmsg=null&totalitems=3&maxrss=10&end=end";
        };
        server.peer.answerWhen("/news", "rssstart=0", 200, batch(1));
        server.peer.answer("/news", 200, batch(4));
        TempDir dir;
        Client client(
            writeClientConfig(dir.path(), server.port(), "FILE", "language=" + language + "\n"));
        ASSERT_TRUE(QTest::qWaitFor([&] { return client.control(control::kFeedList)->isEnabled(); },
                                    20000));
        // Return on a feed reads it, as a double click does.
        auto* feeds = client.control<QListWidget>(control::kFeedList);
        client.activate();
        feeds->setFocus();
        feeds->setCurrentRow(1);
        QTest::keyClick(feeds, Qt::Key_Return);
        ASSERT_TRUE(QTest::qWaitFor(
            [&] { return client.shown(control::kNewsPosition).size() >= 4; }, 30000))
            << client.text(control::kStatus) << " " << server.requestsTo("/news");
        EXPECT_THAT(client.shown(control::kNewsPosition),
                    ::testing::IsSupersetOf({"1/10[3]", "2/10[3]", "3/10[3]"}));
        std::vector<std::string> starts;
        for (const Exchange& exchange : server.peer.exchanges()) {
            if (exchange.path == "/news") {
                starts.push_back(exchange.params.find("rss_id")->second + "@" +
                                 exchange.params.find("rssstart")->second);
            }
        }
        EXPECT_THAT(starts, ElementsAre("12@0", "12@3")) << language;
        client.click(control::kStop);
        ASSERT_TRUE(client.waitText(control::kNewsPosition, ""));
    }
}

TEST(FakeServerClient, AnOfflineServerDisablesEveryControl) {
    for (const auto& [language, offline] :
         {std::pair{"en-US", "Offline[404]"}, std::pair{"zh-CN", "非在线[404]"}}) {
        FakeSpeechServer server;
        server.peer.answer("/tolvane/tolvanedoor.php", 404,
                           "item=tolvanedoor&door_netverify=x&door_add=x&door_query=x&"
                           "door_rss=x&errcode=0&errmsg=null&project=p&version=1&");
        TempDir dir;
        Client client(writeClientConfig(dir.path(), server.port(), "FILE",
                                        "language=" + std::string(language) + "\n"));
        ASSERT_TRUE(client.waitText(control::kNetworkStatus, offline))
            << client.text(control::kNetworkStatus);
        EXPECT_EQ(client.enabled(), "000000");
        EXPECT_EQ(server.requestsTo("/verify"), 0u);
    }
}

// A server that was down at start: the client checks it again by itself
// after 5 s, and Reconnect (F5) checks and logs in at once.
TEST(FakeServerClient, ReconnectAfterTheServerComesBackLogsIn) {
    FakeSpeechServer server;
    const std::string door = "/tolvane/tolvanedoor.php";
    const std::string down = "item=tolvanedoor&door_netverify=x&door_add=x&door_query=x&"
                             "door_rss=x&errcode=0&errmsg=null&project=p&version=1&";
    server.peer.answer(door, 503, down);
    TempDir dir;
    Client client(writeClientConfig(dir.path(), server.port(), "FILE", "language=en-US\n"));
    ASSERT_TRUE(client.waitText(control::kNetworkStatus, "Offline[503]"));
    EXPECT_EQ(client.enabled(), "000000");
    server.peer.answer(door, 200, server.door());
    ASSERT_TRUE(client.waitStatus("Ready ...")) << client.text(control::kNetworkStatus);
    EXPECT_EQ(server.requestsTo(door), 2u);
    EXPECT_EQ(client.enabled(), "100111");

    server.peer.answer(door, 503, down);
    client.activate();
    QTest::keyClick(&client.window(), Qt::Key_F5);
    ASSERT_TRUE(client.waitText(control::kNetworkStatus, "Offline[503]"));
    EXPECT_EQ(client.enabled(), "000000");
    server.peer.answer(door, 200, server.door());
    client.activate();
    QTest::keyClick(&client.window(), Qt::Key_F5);
    // The status line still says "Ready ..." from the first login.
    ASSERT_TRUE(QTest::qWaitFor(
        [&] { return server.requestsTo("/verify") == 2 && client.enabled() == "100111"; }, 20000))
        << client.text(control::kNetworkStatus);
    EXPECT_EQ(client.text(control::kNetworkStatus), "Online[200]");
    EXPECT_EQ(client.control<QListWidget>(control::kFeedList)->count(), 2);
    EXPECT_EQ(client.window().action(ui::MainWindow::kReconnect)->text(), "Reconnect");

    // A failure wider than the window is cut with an ellipsis and shows in
    // full as the status line's tooltip.
    const std::string reason(300, 'x');
    server.peer.answer(
        "/add", 200, "item=tolvane&action=add&status=failed&uuid=null&errcode=7&errmsg=" + reason);
    client.type("A reading the server refuses");
    client.click(control::kPlayNow);
    auto* status = client.control<QLabel>(control::kStatus);
    ASSERT_TRUE(QTest::qWaitFor([&] { return status->toolTip().contains("xxxx"); }, 20000))
        << client.text(control::kStatus);
    EXPECT_THAT(status->toolTip().toStdString(), HasSubstr("[7, " + reason.substr(0, 100)));
    EXPECT_TRUE(status->text().endsWith(QChar(0x2026))) << status->text().toStdString();
    EXPECT_GE(status->x(), 0);
    EXPECT_LE(status->x() + status->width(), client.window().dialog().width());
}

// The box takes up to the login's limit, and Play Now sends all of it; an
// empty box warns and sends nothing.
// A paste past the login's limit is kept whole and read in parts: the first
// part, the whole limit of it, is sent.
TEST(FakeServerClient, APastePastTheLimitIsKeptAndReadInParts) {
    FakeSpeechServer server;
    server.peer.answer("/query", 200,
                       "item=tolvane&action=query&status=failed&errcode=500&errmsg=broken");
    TempDir dir;
    Client client(writeClientConfig(dir.path(), server.port(), "FILE", "language=en-US\n"));
    ASSERT_TRUE(client.waitStatus("Ready ..."));
    auto* box = client.control<QPlainTextEdit>(control::kTextBox);
    box->selectAll();
    box->insertPlainText(QString(1200, QChar(u'a'))); // a paste past the limit
    EXPECT_EQ(box->toPlainText().size(), 1200);
    EXPECT_EQ(client.text(control::kCounter), "1200/1000");
    client.activate();
    QTest::keyClick(box, Qt::Key_Return, Qt::ControlModifier); // Ctrl+Return is Play Now
    ASSERT_TRUE(QTest::qWaitFor([&] { return server.requestsTo("/add") == 1; }, 20000))
        << client.text(control::kStatus);
    EXPECT_EQ(server.peer.exchanges()[2].params.find("text")->second.size(), 1000u);
    EXPECT_EQ(client.text(control::kCounter), "Part 1/2");
    // The failure is shown and the dialog is ready for the next reading.
    ASSERT_TRUE(QTest::qWaitFor([&] { return !client.objects().job.running(); }, 20000));
    EXPECT_THAT(client.text(control::kStatus), HasSubstr("Failed to query"));
    EXPECT_EQ(client.enabled(), "100111");

    box->clear();
    QString warning;
    onNextModal([&](QWidget* modal) {
        if (auto* box = qobject_cast<QMessageBox*>(modal)) {
            warning = box->windowTitle() + ": " + box->text();
        }
    });
    client.click(control::kPlayNow);
    EXPECT_EQ(warning, "Warn: Text Area is empty, please input text, then read again");
    EXPECT_EQ(server.requestsTo("/add"), 1u);
}

// Open Text through the menu's file dialog, and a text file dropped on the
// box (a long one held in parts); both only while the box takes text.
TEST(FakeServerClient, OpenTextAndADroppedFileFillTheTextBox) {
    FakeSpeechServer server;
    TempDir dir;
    const auto gbFile = dir.path() / "gb.txt";
    std::string gb18030;
    ASSERT_TRUE(platform::convertCharset("春眠不觉晓", "UTF-8", "GB18030", gb18030));
    std::ofstream(gbFile, std::ios::binary) << gb18030;
    const auto longFile = dir.path() / "long.TXT";
    std::ofstream(longFile) << std::string(1200, 'x');

    Client client(writeClientConfig(dir.path(), server.port(), "FILE", "language=en-US\n"));
    QAction* open = client.window().action(ui::MainWindow::kOpenText);
    ASSERT_NE(open, nullptr);
    EXPECT_EQ(open->text().toStdString(), "Open Text\u2026");
    EXPECT_EQ(open->shortcut(), QKeySequence(QKeySequence::Open));
    EXPECT_FALSE(open->isEnabled()); // not logged in yet
    ASSERT_TRUE(client.waitStatus("Ready ..."));
    EXPECT_TRUE(open->isEnabled());

    onNextModal([&](QWidget* modal) { chooseFile(modal, gbFile); });
    open->trigger();
    EXPECT_EQ(client.text(control::kTextBox), "春眠不觉晓");
    EXPECT_EQ(client.text(control::kCounter), "5/1000");
    EXPECT_EQ(client.text(control::kStatus), "Text loaded: gb.txt");

    QWidget* viewport = client.control<QPlainTextEdit>(control::kTextBox)->viewport();
    const auto drop = [&](const std::filesystem::path& path) { return dropFile(viewport, path); };
    EXPECT_TRUE(drop(longFile));
    EXPECT_EQ(client.text(control::kTextBox), std::string(1000, 'x'));
    EXPECT_EQ(client.text(control::kCounter), "Part 1/2");
    EXPECT_EQ(client.text(control::kStatus),
              "The file is longer than 1000 characters; it is read in parts");

    // While a reading runs the box is read-only: no file is taken.
    client.click(control::kPlayNow);
    ASSERT_TRUE(QTest::qWaitFor([&] { return !open->isEnabled(); }, 20000));
    EXPECT_FALSE(drop(gbFile));
    EXPECT_EQ(client.text(control::kTextBox), std::string(1000, 'x'));
}

// File > Save Speech As: offered once the reading's audio is downloaded,
// until the next reading starts; saves through its file dialog.
TEST(FakeServerClient, SaveSpeechAsFollowsTheDownloadAndSavesTheAudio) {
    std::string error;
    const std::string mp3 = makeToneMp3(0.5, 440, error);
    ASSERT_FALSE(mp3.empty()) << error;
    AudioPeer audio(mp3, {});
    FakeSpeechServer server;
    server.audioAt(audio.url());
    TempDir dir;
    Client client(writeClientConfig(dir.path(), server.port(), "FILE", "language=zh-CN\n"));
    QAction* save = client.window().action(ui::MainWindow::kSaveSpeech);
    ASSERT_NE(save, nullptr);
    EXPECT_EQ(save->text().toStdString(), "保存语音...");
    EXPECT_EQ(save->shortcut(), QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_S));
    ASSERT_TRUE(client.waitStatus("就绪 ..."));
    EXPECT_FALSE(save->isEnabled());
    client.type("Hello saved words");
    client.click(control::kPlayNow);
    ASSERT_TRUE(QTest::qWaitFor([&] { return save->isEnabled(); }, 20000));
    ASSERT_TRUE(client.waitStatus("播放完成"));
    EXPECT_TRUE(save->isEnabled());

    // The file dialog remembers, in the user's settings, a folder that has
    // gone since; the proposal is in the user's own folders all the same, and
    // the name the user types (without ".mp3") is the one saved.
    {
        std::ofstream settings(std::filesystem::path(qgetenv("XDG_CONFIG_HOME").toStdString()) /
                               "QtProject.conf");
        settings << "[FileDialog]\nhistory=file:///tmp/tolvane-gone-1, file:///tmp/tolvane-gone-2\n"
                    "lastVisited=file:///tmp/tolvane-gone-2\n";
    }
    const auto saveAs = [&](const std::filesystem::path& file) {
        QString proposed;
        onNextModal([&](QWidget* modal) {
            if (auto* dialog = qobject_cast<QFileDialog*>(modal)) {
                proposed = dialog->selectedFiles().value(0);
            }
            chooseFile(modal, file);
        });
        save->trigger();
        return proposed;
    };
    EXPECT_EQ(saveAs(dir.path() / "reading"), QDir::homePath() + "/Hello saved words.mp3");
    EXPECT_EQ(client.text(control::kStatus), "语音已保存: reading.mp3");
    std::ifstream in(dir.path() / "reading.mp3", std::ios::binary);
    const std::string saved{std::istreambuf_iterator<char>(in), {}};
    EXPECT_EQ(saved.substr(0, 3), "ID3");
    EXPECT_TRUE(saved.size() > mp3.size() && saved.substr(saved.size() - mp3.size()) == mp3);
    // The next proposal is in the folder saved to last.
    TempDir other;
    EXPECT_EQ(saveAs(other.path() / "again.mp3"),
              QString::fromStdString((dir.path() / "Hello saved words.mp3").string()));
    EXPECT_TRUE(std::filesystem::exists(other.path() / "again.mp3"));

    client.click(control::kPlayNow); // the next reading drops the audio
    EXPECT_FALSE(save->isEnabled());
}

// The trace follows the flag: on at start with Debug_Trace "on", and every
// choice of Trace closes it or opens a fresh log.
TEST(FakeServerClient, TraceOpensAtStartAndEachChoiceStartsAFreshLog) {
    FakeSpeechServer server;
    TempDir dir;
    Client client(
        writeClientConfig(dir.path(), server.port(), "FILE", "language=en-US\nDebug_Trace=on\n"));
    ASSERT_TRUE(client.window().traceFlag());
    ASSERT_TRUE(client.objects().trace.running());
    ASSERT_TRUE(client.waitStatus("Ready ..."));
    EXPECT_THAT(client.objects().trace.logText().toStdString(),
                HasSubstr("Network verify succeed\nInital succeed"));
    EXPECT_TRUE(client.window().action(ui::MainWindow::kTrace)->isChecked());
    client.window().action(ui::MainWindow::kTrace)->trigger();
    EXPECT_FALSE(client.objects().trace.running());
    EXPECT_FALSE(client.window().action(ui::MainWindow::kTrace)->isChecked());
    client.window().action(ui::MainWindow::kTrace)->trigger();
    EXPECT_EQ(client.objects().trace.logText(), "Tolvane Trace Start:\n");
}

// Menus compare the language exactly, the About box ignoring case.
TEST(FakeServerClient, MenuAndAboutFollowTheLanguageCode) {
    for (const auto& [language, menu, about] :
         {std::tuple{"en-US", "en-US", "About"}, std::tuple{"zh-CN", "zh-CN", "关于"},
          std::tuple{"ZH-CN", "en-US", "关于"}}) {
        FakeSpeechServer server;
        TempDir dir;
        Client client(writeClientConfig(dir.path(), server.port(), "FILE",
                                        "language=" + std::string(language) + "\n"));
        EXPECT_EQ(client.window().menuLanguage(), menu) << language;
        // Logged in: the waiting window has come and gone.
        ASSERT_TRUE(QTest::qWaitFor([&] { return client.control(control::kFeedList)->isEnabled(); },
                                    20000));
        client.activate();
        QString title;
        onNextModal([&](QWidget* box) { title = box->windowTitle(); });
        QTest::keyClick(&client.window(), Qt::Key_Slash, Qt::AltModifier);
        EXPECT_EQ(title.toStdString(), about) << language;
    }
}

// Closing the window while the audio downloads ends the reading at once and
// leaves no file; the client as a process ends the same way on SIGTERM, and
// a second start leaves the first alone (here, without a session bus to reach
// it by, saying so).
TEST(FakeServerClient, ClosingMidDownloadEndsAtOnceAndLeavesNothing) {
    std::string error;
    const std::string mp3 = makeToneMp3(3.0, 440, error);
    ASSERT_FALSE(mp3.empty()) << error;
    AudioPeer audio(mp3, {.chunk = 512, .chunkDelay = 200ms});
    FakeSpeechServer server;
    server.audioAt(audio.url());
    TempDir dir;
    const auto configPath =
        writeClientConfig(dir.path(), server.port(), "FILE", "language=en-US\n");
    DownloadsWatch downloads;
    {
        Client client(configPath);
        ASSERT_TRUE(client.waitStatus("Ready ..."));
        client.type("Some speech.");
        client.click(control::kPlayNow);
        ASSERT_TRUE(QTest::qWaitFor([&] { return audio.bytesSent() > 0; }, 20000));
        const auto start = std::chrono::steady_clock::now();
        client.close();
        EXPECT_LT(std::chrono::steady_clock::now() - start, 1s);
    }
    EXPECT_THAT(downloads.leftovers(), ElementsAre());

    const std::string program = ::tolvane::test::binaryDir() + "/app/tolvane";
    // A runtime folder of the test's own holds the instance lock, so a client
    // running elsewhere on the machine is not the first instance here.
    TempDir runtime;
    const std::vector<std::string> env{"TOLVANE_CONFIG=" + configPath.string(),
                                       "QT_QPA_PLATFORM=offscreen",
                                       "XDG_RUNTIME_DIR=" + runtime.path().string()};
    ChildProcess first;
    ASSERT_TRUE(first.start(program, {}, error, {.env = env})) << error;
    ChildProcess second;
    const size_t loginsBefore = server.requestsTo("/verify");
    ASSERT_TRUE(
        QTest::qWaitFor([&] { return server.requestsTo("/verify") > loginsBefore; }, 20000));
    ASSERT_TRUE(second.start(program, {}, error, {.env = env})) << error;
    ASSERT_TRUE(second.wait(10s));
    EXPECT_EQ(second.exitCode(), 1);
    EXPECT_THAT(second.err(),
                ::testing::HasSubstr("another client runs, and there is no session bus"));
    EXPECT_EQ(server.requestsTo("/verify"), loginsBefore + 1); // the second did nothing
    EXPECT_EQ(first.exitCode(), -1);

    ASSERT_TRUE(first.signal(SIGTERM));
    const auto start = std::chrono::steady_clock::now();
    ASSERT_TRUE(first.wait(5s)) << first.err();
    EXPECT_LT(std::chrono::steady_clock::now() - start, 1s);
    EXPECT_EQ(first.exitCode(), 0) << first.err();
    EXPECT_THAT(downloads.leftovers(), ElementsAre());
}

} // namespace
} // namespace tolvane::test
