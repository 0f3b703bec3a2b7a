// Reading from anywhere on the desktop: the `tolvane` program started as the
// desktop starts it, on a session bus of the test's own, against the reference
// server, playing into a null sink of the test's own. `--read…` hands text to
// the running client or starts one that reads it; what was read is checked
// where it ends up: the words the server spoke into its MP3s (their SYLT
// frames) and the reading the client announces as a media player. The
// clipboard and the selection are those of a real X server (Xvfb), owned by a
// small Qt program of the test's (clipboard_owner).
#include "FakeSpeechServer.h"
#include "ProtocolTestSupport.h"
#include "SayTestSupport.h"

#include "config/ConfigStore.h"
#include "platform/Paths.h"
#include "platform/Text.h"
#include "tests/support/ChildProcess.h"
#include "tests/support/NullSink.h"
#include "tests/support/TempDir.h"
#include "tests/support/TestPaths.h"
#include "ui/ClientObjects.h"
#include "ui/MainWindow.h"
#include "ui/MediaPlayerBus.h"
#include "ui/ReaderBus.h"
#include "ui/core/MediaSession.h"

#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusPendingCall>
#include <QDBusVariant>
#include <QTest>

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <taglib/id3v2tag.h>
#include <taglib/mpegfile.h>
#include <taglib/synchronizedlyricsframe.h>

#include <algorithm>
#include <cctype>
#include <fstream>
#include <memory>
#include <set>
#include <sstream>

namespace tolvane::test {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using ::testing::HasSubstr;

const QString kPlayer = QString::fromLatin1(ui::MediaPlayerBus::kPlayerInterface);

std::string program() {
    return binaryDir() + "/app/tolvane";
}

// A word as compared: its letters and digits, in lower case.
std::string plain(const std::string& word) {
    std::string out;
    for (const char c : word) {
        if (std::isalnum(static_cast<unsigned char>(c))) {
            out += char(std::tolower(static_cast<unsigned char>(c)));
        }
    }
    return out;
}

// Every word the server has spoken into the MP3s of its data folder, as their
// SYLT frames name them (read with TagLib, as players read them).
std::set<std::string> spokenWords(const fs::path& dataDir) {
    std::set<std::string> words;
    std::error_code ec;
    for (const auto& entry : fs::recursive_directory_iterator(dataDir, ec)) {
        if (entry.path().extension() != ".mp3") {
            continue;
        }
        TagLib::MPEG::File mpeg(entry.path().c_str());
        TagLib::ID3v2::Tag* tag = mpeg.isValid() ? mpeg.ID3v2Tag() : nullptr;
        if (tag == nullptr) {
            continue;
        }
        for (const TagLib::ID3v2::Frame* frame : tag->frameListMap()["SYLT"]) {
            const auto* lyrics = dynamic_cast<const TagLib::ID3v2::SynchronizedLyricsFrame*>(frame);
            if (lyrics == nullptr) {
                continue;
            }
            for (const auto& line : lyrics->synchedText()) {
                words.insert(plain(line.text.to8Bit(true)));
            }
        }
    }
    return words;
}

class ReadAnywhere : public ::testing::Test {
  protected:
    // One bus and one X server for the whole program, the bus named in the
    // environment before anything asks for the session bus (Qt keeps its
    // connection for the process).
    static void SetUpTestSuite() {
        if (bus_ != nullptr) {
            return;
        }
        bus_ = std::make_unique<ChildProcess>();
        std::string error;
        const std::string address = startSessionBus(*bus_, error);
        if (address.empty()) {
            setUpError_ = error;
            return;
        }
        setenv("DBUS_SESSION_BUS_ADDRESS", address.c_str(), 1);
        xserver_ = std::make_unique<ChildProcess>();
        display_ = startXvfb(*xserver_, {"-screen", "0", "1024x768x24"}, error);
        if (display_.empty()) {
            setUpError_ = error;
        }
    }

    void SetUp() override {
        ASSERT_TRUE(setUpError_.empty()) << setUpError_;
        ASSERT_TRUE(QDBusConnection::sessionBus().isConnected());
        std::string error;
        ASSERT_TRUE(sink_.create(error)) << error;
        ASSERT_FALSE(runtime_.path().empty());
    }

    // The client's surroundings: its configuration, the runtime folder its
    // instance lock is in (shared by every `tolvane` a test starts), and the
    // X server or the offscreen platform.
    std::vector<std::string> env(bool x11) const {
        std::vector<std::string> vars{"XDG_RUNTIME_DIR=" + runtime_.path().string()};
        if (!config_.empty()) {
            vars.push_back("TOLVANE_CONFIG=" + config_.string());
        }
        if (x11) {
            vars.insert(vars.end(), {"QT_QPA_PLATFORM=xcb", "DISPLAY=" + display_});
        }
        return vars;
    }
    void configure(int port) {
        config_ = writeClientConfig(dir_.path(), port, "FILE", "language=en-US\n");
    }
    RunResult tolvane(const std::vector<std::string>& args, bool x11 = false) const {
        return run(program(), args, {.env = env(x11)}, 60s);
    }
    // A running client, logged in when `server` says so.
    void startClient(ChildProcess& client, const std::vector<std::string>& args, bool x11 = false) {
        std::string error;
        ASSERT_TRUE(client.start(program(), args, error, {.env = env(x11)})) << error;
        ASSERT_TRUE(QTest::qWaitFor([] { return ui::ReaderBus::clientRuns(); }, 20000))
            << client.err();
    }

    static QVariant player(const QString& name) {
        QDBusMessage message = QDBusMessage::createMethodCall(
            QString::fromLatin1(ui::MediaPlayerBus::kService),
            QString::fromLatin1(ui::MediaPlayerBus::kPath),
            QStringLiteral("org.freedesktop.DBus.Properties"), QStringLiteral("Get"));
        message.setArguments({kPlayer, name});
        QDBusPendingCall pending = QDBusConnection::sessionBus().asyncCall(message, 5000);
        if (!QTest::qWaitFor([&] { return pending.isFinished(); }, 6000) ||
            pending.reply().type() != QDBusMessage::ReplyMessage) {
            return {};
        }
        return pending.reply().arguments().value(0).value<QDBusVariant>().variant();
    }
    static QString playingTitle() {
        const QVariant metadata = player(QStringLiteral("Metadata"));
        const QVariantMap map = metadata.canConvert<QDBusArgument>()
                                    ? qdbus_cast<QVariantMap>(metadata.value<QDBusArgument>())
                                    : metadata.toMap();
        return player(QStringLiteral("PlaybackStatus")) == QStringLiteral("Playing")
                   ? map.value(QStringLiteral("xesam:title")).toString()
                   : QString();
    }

    // The client plays `text` (its title on the bus) and the server spoke
    // every word of it; what was seen instead goes to `seen`.
    bool readsAloud(const std::string& text, std::string& seen) {
        const QString title =
            QString::fromStdU16String(MediaSession::titleOf(platform::utf8ToUtf16(text)));
        if (!QTest::qWaitFor([&] { return playingTitle() == title; }, 30000)) {
            seen = "playing: '" + playingTitle().toStdString() + "'";
            return false;
        }
        std::set<std::string> words;
        std::istringstream in(text);
        for (std::string word; in >> word;) {
            words.insert(plain(word));
        }
        std::set<std::string> spoken;
        const bool all = QTest::qWaitFor(
            [&] {
                spoken = spokenWords(server_.dataDir());
                return std::includes(spoken.begin(), spoken.end(), words.begin(), words.end());
            },
            30000);
        seen = "spoken:";
        for (const std::string& word : spoken) {
            seen += " " + word;
        }
        return all;
    }

    // Quits the client through its media player interface; true once it ended well.
    static bool quit(ChildProcess& client) {
        QDBusMessage message = QDBusMessage::createMethodCall(
            QString::fromLatin1(ui::MediaPlayerBus::kService),
            QString::fromLatin1(ui::MediaPlayerBus::kPath),
            QStringLiteral("org.mpris.MediaPlayer2"), QStringLiteral("Quit"));
        QDBusConnection::sessionBus().asyncCall(message);
        return client.wait(15s) && client.exitCode() == 0;
    }

    static inline std::unique_ptr<ChildProcess> bus_; // both end with the program
    static inline std::unique_ptr<ChildProcess> xserver_;
    static inline std::string display_;
    static inline std::string setUpError_;
    NullSink sink_;
    TempDir dir_;
    TempDir runtime_;
    fs::path config_;
    ServerProcess server_;
};

// The clipboard owner: on the test's X server, holding `clipboard` and `selection`.
bool ownClipboard(ChildProcess& owner, const std::vector<std::string>& texts,
                  const std::string& display, std::string& error) {
    if (!owner.start(binaryDir() + "/tests/integration/gui/clipboard_owner", texts, error,
                     {.env = {"QT_QPA_PLATFORM=xcb", "DISPLAY=" + display}})) {
        return false;
    }
    if (owner.waitForOutput(std::regex("owned\n"), 20s).empty()) {
        error = "the clipboard owner did not take the clipboard" + saidAside(owner.err());
        return false;
    }
    return true;
}

// With no client running, `--read-clipboard` starts the one that reads it;
// with that client running, `--read-selection` and `--read-clipboard` hand
// it the X server's selection and clipboard, each reading stopping the one
// before; an empty clipboard is refused, said on standard error.
TEST_F(ReadAnywhere, TheClipboardAndTheSelectionAreReadStartingTheClientWhenNoneRuns) {
    ASSERT_FALSE(server_.baseUrl().empty()) << server_.output();
    configure(server_.port());
    std::string error;
    std::string seen;
    auto owner = std::make_unique<ChildProcess>();
    ASSERT_TRUE(ownClipboard(*owner,
                             {"Copper kettles whistle softly every morning.",
                              "Violet harbour lights shimmer across calm water."},
                             display_, error))
        << error;

    ChildProcess client;
    startClient(client, {"--read-clipboard"}, true);
    EXPECT_TRUE(readsAloud("Copper kettles whistle softly every morning.", seen)) << seen;

    const RunResult selection = tolvane({"--read-selection"}, true);
    EXPECT_EQ(selection.exitCode, 0) << selection.err;
    EXPECT_TRUE(readsAloud("Violet harbour lights shimmer across calm water.", seen)) << seen;

    owner = std::make_unique<ChildProcess>();
    ASSERT_TRUE(
        ownClipboard(*owner, {"Granite towers echo with distant thunder."}, display_, error))
        << error;
    const RunResult clipboard = tolvane({"--read-clipboard"}, true);
    EXPECT_EQ(clipboard.exitCode, 0) << clipboard.err;
    EXPECT_TRUE(readsAloud("Granite towers echo with distant thunder.", seen)) << seen;

    owner.reset(); // nobody owns the clipboard now
    const RunResult empty = tolvane({"--read-clipboard"}, true);
    EXPECT_EQ(empty.exitCode, 1);
    EXPECT_EQ(empty.err, "tolvane: The clipboard holds no text to read\n");
    EXPECT_TRUE(quit(client)) << client.err();
}

// --read and --read-file handed to a running client (the file in UTF-16 as
// Open Text reads it); empty text and a missing file are refused; bad
// arguments end with 2 before anything else happens.
TEST_F(ReadAnywhere, TextAndFilesAreHandedToTheRunningClient) {
    ASSERT_FALSE(server_.baseUrl().empty()) << server_.output();
    configure(server_.port());
    for (const auto& args :
         std::vector<std::vector<std::string>>{{"--read"},
                                               {"--read", "a", "--read-file", "b"},
                                               {"--frobnicate"},
                                               {"one", "two"},
                                               {"--read", "a", "loose"}}) {
        const RunResult bad = tolvane(args);
        EXPECT_EQ(bad.exitCode, 2) << args[0];
        EXPECT_THAT(bad.err, HasSubstr("Try 'tolvane --help'.")) << args[0];
        EXPECT_FALSE(ui::ReaderBus::clientRuns()) << args[0];
    }
    const RunResult help = tolvane({"--help"});
    EXPECT_EQ(help.exitCode, 0);
    for (const char* option :
         {"--read <TEXT>", "--read-file <FILE>", "--read-selection", "--read-clipboard"}) {
        EXPECT_THAT(help.out, HasSubstr(option));
    }

    ChildProcess client;
    startClient(client, {});
    ASSERT_TRUE(QTest::qWaitFor([] { return player("CanPlay") == true; }, 30000)) << client.err();
    std::string seen;
    const RunResult text = tolvane({"--read", "Amber lanterns glow beside the river."});
    EXPECT_EQ(text.exitCode, 0) << text.err;
    EXPECT_TRUE(readsAloud("Amber lanterns glow beside the river.", seen)) << seen;

    std::string utf16;
    ASSERT_TRUE(platform::convertCharset("Silver pebbles rest under clear water.\r\n", "UTF-8",
                                         "UTF-16LE", utf16));
    const fs::path file = dir_.path() / "pebbles.txt";
    std::ofstream(file, std::ios::binary) << "\xFF\xFE" << utf16;
    const RunResult fromFile = tolvane({"--read-file", file.string()});
    EXPECT_EQ(fromFile.exitCode, 0) << fromFile.err;
    EXPECT_TRUE(readsAloud("Silver pebbles rest under clear water.", seen)) << seen;
    // A document named alone, as a desktop opens it with the program.
    const fs::path page = dir_.path() / "page.html";
    std::ofstream(page) << "<html><head><title>Fields</title><script>var hidden;</script></head>"
                           "<body><p>Golden fields sway in the wind.</p></body></html>";
    const RunResult opened = tolvane({page.string()});
    EXPECT_EQ(opened.exitCode, 0) << opened.err;
    EXPECT_TRUE(readsAloud("Golden fields sway in the wind.", seen)) << seen;

    const RunResult blank = tolvane({"--read", "  \t "});
    EXPECT_EQ(blank.exitCode, 1);
    EXPECT_EQ(blank.err, "tolvane: There is no text to read\n");
    const RunResult missing = tolvane({"--read-file", (dir_.path() / "missing.txt").string()});
    EXPECT_EQ(missing.exitCode, 1);
    EXPECT_THAT(missing.err, HasSubstr("Cannot read the file[cannot open"));
    EXPECT_TRUE(quit(client)) << client.err();
}

// A client that cannot reach its server reads nothing and says so.
TEST_F(ReadAnywhere, AnOfflineClientRefusesTheText) {
    configure(closedPort());
    ChildProcess client;
    startClient(client, {});
    const RunResult text = tolvane({"--read", "Nobody hears this."});
    EXPECT_EQ(text.exitCode, 1);
    EXPECT_EQ(text.err, "tolvane: Not connected to the speech server; the text was not read\n");
    EXPECT_TRUE(quit(client)) << client.err();
}

// A second start without options brings the running window forward: here the
// window of this test, which holds the instance lock as the running client
// does. The second start comes while that window is not yet on the bus, as
// when two starts follow each other closely, and waits for it.
TEST_F(ReadAnywhere, ASecondStartBringsTheRunningWindowForward) {
    FakeSpeechServer fake;
    configure(fake.port());
    platform::SingleInstanceLock lock("TolvaneWin32Class");
    ASSERT_TRUE(lock.acquired()) << lock.error();
    ChildProcess second;
    std::string error;
    // The test program's own runtime folder (OwnHome), where `lock` is.
    std::vector<std::string> vars = env(false);
    vars.erase(vars.begin());
    ASSERT_TRUE(second.start(program(), {}, error, {.env = vars})) << error;
    QTest::qWait(700);
    EXPECT_EQ(second.exitCode(), -1) << second.err(); // still waiting
    ConfigStore config;
    config.read(config_);
    ui::ClientObjects objects;
    auto window = std::make_unique<ui::MainWindow>(objects, config, "identity");
    window->showMinimized();
    ASSERT_TRUE(window->isMinimized());
    ASSERT_TRUE(QTest::qWaitFor([&] { return second.exitCode() >= 0; }, 15000));
    EXPECT_EQ(second.exitCode(), 0) << second.err();
    // (The offscreen platform has no window manager to activate it.)
    EXPECT_FALSE(window->isMinimized());
    EXPECT_TRUE(window->isVisible());
}

} // namespace
} // namespace tolvane::test
