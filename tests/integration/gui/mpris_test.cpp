// The client as a media player on a session bus of the test's own: a real
// reading driven through the bus as media keys drive it, heard in the null
// sink, and the client program owning its name until it quits, or running
// quietly without a bus.
#include "FakeSpeechServer.h"
#include "ProtocolTestSupport.h"
#include "SayTestSupport.h"
#include "SpeechHeard.h"

#include "config/ConfigStore.h"
#include "tests/support/ChildProcess.h"
#include "tests/support/MonitorRecorder.h"
#include "tests/support/SignalAnalysis.h"
#include "tests/support/TempDir.h"
#include "tests/support/TestPaths.h"
#include "ui/ClientObjects.h"
#include "ui/MainDialog.h"
#include "ui/MainWindow.h"
#include "ui/MediaPlayerBus.h"

#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QDBusPendingCall>
#include <QDBusVariant>
#include <QLabel>
#include <QPlainTextEdit>
#include <QTest>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <memory>

namespace tolvane::test {

// Every properties-changed signal of the player interface, in arrival order.
class ChangeLog : public QObject {
    Q_OBJECT
  public:
    std::vector<QVariantMap> changes;

  public slots:
    void changed(const QString& interface, const QVariantMap& properties, const QStringList&) {
        if (interface == ui::MediaPlayerBus::kPlayerInterface) {
            changes.push_back(properties);
        }
    }
};

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using ::testing::ElementsAre;

const QString kService = QString::fromLatin1(ui::MediaPlayerBus::kService);
const QString kPath = QString::fromLatin1(ui::MediaPlayerBus::kPath);
const QString kRoot = QStringLiteral("org.mpris.MediaPlayer2");
const QString kPlayer = QString::fromLatin1(ui::MediaPlayerBus::kPlayerInterface);

// A nested a{sv} arrives still marshalled.
QVariantMap asMap(const QVariant& value) {
    if (value.canConvert<QDBusArgument>()) {
        return qdbus_cast<QVariantMap>(value.value<QDBusArgument>());
    }
    return value.toMap();
}

double seconds(Clock::duration span) {
    return std::chrono::duration<double>(span).count();
}

std::vector<double> part(const std::vector<double>& x, size_t from, size_t to) {
    from = std::min(from, x.size());
    return {x.begin() + long(from), x.begin() + long(std::clamp(to, from, x.size()))};
}

class MediaKeys : public ::testing::Test {
  protected:
    // One bus for the whole program, named in the environment before the
    // first window asks for the session bus, and kept until the program ends:
    // Qt keeps its session bus connection for the process, so a bus started
    // again for a repeated run would leave the windows on the old one.
    static void SetUpTestSuite() {
        if (daemon_ != nullptr) {
            return;
        }
        daemon_ = std::make_unique<ChildProcess>();
        std::string error;
        address_ = startSessionBus(*daemon_, error);
        if (address_.empty()) {
            busError_ = error;
            return;
        }
        setenv("DBUS_SESSION_BUS_ADDRESS", address_.c_str(), 1);
    }

    void SetUp() override {
        ASSERT_TRUE(busError_.empty()) << busError_;
        ASSERT_TRUE(bus().isConnected()) << bus().lastError().message().toStdString();
        ASSERT_TRUE(bus().connect(QString(), kPath,
                                  QStringLiteral("org.freedesktop.DBus.Properties"),
                                  QStringLiteral("PropertiesChanged"), &log_,
                                  SLOT(changed(QString, QVariantMap, QStringList))));
    }

    // The test's own connection: its calls reach the client through the daemon.
    static QDBusConnection bus() {
        return QDBusConnection::connectToBus(QString::fromStdString(address_),
                                             QStringLiteral("media-keys"));
    }
    // Calls without blocking the event loop, which serves the window's side.
    static QDBusMessage call(const QString& interface, const QString& method,
                             const QVariantList& arguments = {}) {
        QDBusMessage message = QDBusMessage::createMethodCall(kService, kPath, interface, method);
        message.setArguments(arguments);
        QDBusPendingCall pending = bus().asyncCall(message, 5000);
        if (!QTest::qWaitFor([&] { return pending.isFinished(); }, 6000)) {
            return {}; // an invalid message: no answer
        }
        return pending.reply();
    }
    static QVariant get(const QString& interface, const QString& name) {
        const QDBusMessage reply = call(QStringLiteral("org.freedesktop.DBus.Properties"),
                                        QStringLiteral("Get"), {interface, name});
        return reply.type() == QDBusMessage::ReplyMessage
                   ? reply.arguments().value(0).value<QDBusVariant>().variant()
                   : QVariant();
    }
    static bool waitStatus(const QString& status, int ms = 5000) {
        return QTest::qWaitFor([&] { return get(kPlayer, "PlaybackStatus") == status; }, ms);
    }
    static bool registered() { return bus().interface()->isServiceRegistered(kService); }

    static inline std::unique_ptr<ChildProcess> daemon_; // killed as the program ends
    static inline std::string address_;
    static inline std::string busError_;
    ChangeLog log_;
};

// PlayPause starts the typed text, pauses it (silence in the sink) and
// resumes it where it paused; Stop ends it. Status, metadata and their
// signals follow.
TEST_F(MediaKeys, PlayPauseAndStopDriveWhatIsHeard) {
    ASSERT_TRUE(ServerProcess::available()) << "tolvane-server is not built";
    ServerProcess server;
    ASSERT_FALSE(server.baseUrl().empty()) << server.output();
    TempDir dir;
    ConfigStore config;
    config.read(writeClientConfig(dir.path(), server.port(), "FILE", "language=en-US\n"));
    MonitorRecorder recorder;
    std::string error;
    ASSERT_TRUE(recorder.start(error)) << error;
    auto objects = std::make_unique<ui::ClientObjects>();
    auto window = std::make_unique<ui::MainWindow>(*objects, config, "identity");
    window->show();
    auto* status = qobject_cast<QLabel*>(window->dialog().control(control::kStatus));
    ASSERT_TRUE(QTest::qWaitFor([&] { return status->text() == "Ready ..."; }, 30000));

    ASSERT_TRUE(registered());
    EXPECT_EQ(get(kRoot, "Identity"), "Tolvane");
    EXPECT_EQ(get(kRoot, "DesktopEntry"), "tolvane");
    EXPECT_EQ(get(kRoot, "CanQuit"), true);
    EXPECT_EQ(get(kRoot, "HasTrackList"), false);
    EXPECT_EQ(get(kPlayer, "PlaybackStatus"), "Stopped");
    EXPECT_EQ(get(kPlayer, "CanPlay"), true);
    EXPECT_EQ(get(kPlayer, "CanPause"), false);
    EXPECT_EQ(get(kPlayer, "CanSeek"), false);
    EXPECT_TRUE(asMap(get(kPlayer, "Metadata")).isEmpty());

    qobject_cast<QPlainTextEdit*>(window->dialog().control(control::kTextBox))
        ->setPlainText("One, two, three, four, five, six, seven, eight, nine, ten, eleven, "
                       "twelve, thirteen, fourteen, fifteen, sixteen.");
    // Stopped: PlayPause is Play Now.
    call(kPlayer, "PlayPause");
    ASSERT_TRUE(waitStatus("Playing", 30000)) << status->text().toStdString();
    const auto playing = Clock::now();
    const QVariantMap started = asMap(get(kPlayer, "Metadata"));
    EXPECT_EQ(started.value("xesam:title"), "One, two, three, four, five, six, seven,\u2026");
    EXPECT_THAT(started.value("mpris:trackid").value<QDBusObjectPath>().path().toStdString(),
                ::testing::StartsWith("/org/tolvane/"));
    ASSERT_TRUE(QTest::qWaitFor(
        [&] { return asMap(get(kPlayer, "Metadata")).contains("mpris:length"); }, 3000));
    const qlonglong length = asMap(get(kPlayer, "Metadata")).value("mpris:length").toLongLong();
    EXPECT_EQ(get(kPlayer, "CanPause"), true);

    QTest::qWait(1500);
    const qlonglong position = get(kPlayer, "Position").toLongLong();
    EXPECT_GT(position, 300000);
    EXPECT_LT(position, 2500000);
    const auto pausing = Clock::now();
    call(kPlayer, "PlayPause");
    ASSERT_TRUE(waitStatus("Paused"));
    EXPECT_EQ(status->text(), "Paused");
    QTest::qWait(std::max(0, 2000 - int((Clock::now() - pausing) / 1ms)));
    const auto resuming = Clock::now();
    call(kPlayer, "PlayPause");
    ASSERT_TRUE(waitStatus("Playing"));
    QTest::qWait(1500);
    const auto stopping = Clock::now();
    call(kPlayer, "Stop");
    ASSERT_TRUE(waitStatus("Stopped"));
    EXPECT_EQ(status->text(), "Stopped");
    EXPECT_TRUE(asMap(get(kPlayer, "Metadata")).isEmpty());
    EXPECT_TRUE(QTest::qWaitFor(
        [&] { return !log_.changes.empty() && log_.changes.back().contains("PlaybackStatus"); },
        3000));
    QTest::qWait(300);
    WavAudio heard;
    ASSERT_TRUE(recorder.stop(heard, error)) << error;

    // The signals: each status once, the reading's track, its length, then none.
    std::vector<std::string> statuses;
    std::vector<QVariantMap> tracks;
    for (const QVariantMap& change : log_.changes) {
        if (change.contains("PlaybackStatus")) {
            statuses.push_back(change.value("PlaybackStatus").toString().toStdString());
        }
        if (change.contains("Metadata")) {
            tracks.push_back(asMap(change.value("Metadata")));
        }
    }
    EXPECT_THAT(statuses, ElementsAre("Playing", "Paused", "Playing", "Stopped"));
    ASSERT_EQ(tracks.size(), 3u);
    EXPECT_EQ(tracks[0].value("xesam:title"), started.value("xesam:title"));
    EXPECT_EQ(tracks[1].value("mpris:length").toLongLong(), length);
    EXPECT_TRUE(tracks[2].isEmpty());

    // What was heard: the speech from its start, a silence as long as the
    // pause, the speech again from where it paused, nothing after the stop.
    WavAudio spoken;
    ASSERT_TRUE(decodedSpeech(server.dataDir(), heard.sampleRate, spoken, error)) << error;
    EXPECT_NEAR(double(length) / 1e6, spoken.seconds(), 0.15);
    const std::vector<double> h = heard.channel(0);
    const std::vector<double> s = spoken.channel(0);
    const double rate = heard.sampleRate;
    const auto segments = findSegments(h, rate, -40, 5, 300);
    ASSERT_GE(segments.size(), 2u) << "nothing was heard";
    size_t widest = 1;
    for (size_t i = 1; i < segments.size(); ++i) {
        if (segments[i].begin - segments[i - 1].end >
            segments[widest].begin - segments[widest - 1].end) {
            widest = i;
        }
    }
    const size_t onset = segments.front().begin;
    const size_t gapStart = segments[widest - 1].end;
    const size_t gapEnd = segments[widest].begin;
    const double gap = double(gapEnd - gapStart) / rate;
    const double paused = seconds(resuming - pausing);
    EXPECT_GT(gap, paused - 0.3);
    EXPECT_LT(gap, paused + 0.8);
    const double span = double(segments.back().end - onset) / rate;
    EXPECT_LT(span, seconds(stopping - playing) + 0.3);
    EXPECT_GT(span, seconds(stopping - playing) - 0.8);

    const size_t spokenOnset = findOnset(s, rate);
    const std::vector<double> speech = part(s, spokenOnset, s.size());
    const std::vector<double> before = part(h, onset, gapStart);
    const Alignment first =
        crossCorrelate(part(speech, 0, before.size()), before, size_t(rate / 20));
    EXPECT_GT(first.coefficient, 0.95);
    const std::vector<double> after = part(h, gapEnd, gapEnd + size_t(rate));
    const Alignment second = crossCorrelate(speech, after, speech.size());
    EXPECT_GT(second.coefficient, 0.9);
    // Between the end of the first part and the start of the second lies, in
    // the speech, at most the natural silence the gap held beside the pause.
    const double skipped = double(second.lag - long(before.size())) / rate;
    EXPECT_GT(skipped, -0.05);
    EXPECT_LT(skipped, std::max(0.0, gap - paused) + 0.35);

    window.reset();
    EXPECT_FALSE(registered());
}

// The client program owns the name while it runs and ends on Quit; pointed
// at no bus, it runs and ends as usual and says nothing.
TEST_F(MediaKeys, TheProgramOwnsTheNameUntilQuitAndRunsQuietlyWithoutABus) {
    FakeSpeechServer server;
    TempDir dir;
    TempDir runtime;
    const std::string program = ::tolvane::test::binaryDir() + "/app/tolvane";
    const std::vector<std::string> env{
        "TOLVANE_CONFIG=" +
            writeClientConfig(dir.path(), server.port(), "FILE", "language=en-US\n").string(),
        "QT_QPA_PLATFORM=offscreen", "XDG_RUNTIME_DIR=" + runtime.path().string()};
    std::string error;
    {
        ChildProcess client;
        ASSERT_TRUE(client.start(program, {}, error, {.env = env})) << error;
        ASSERT_TRUE(QTest::qWaitFor([] { return registered(); }, 20000)) << client.err();
        EXPECT_EQ(bus().interface()->servicePid(kService).value(), uint(client.pid()));
        // Logged in: Play Now is there for PlayPause.
        EXPECT_TRUE(QTest::qWaitFor([] { return get(kPlayer, "CanPlay") == true; }, 20000));
        EXPECT_EQ(server.requestsTo("/verify"), 1u);
        EXPECT_EQ(call(kRoot, "Quit").type(), QDBusMessage::ReplyMessage);
        ASSERT_TRUE(client.wait(10s));
        EXPECT_EQ(client.exitCode(), 0);
        EXPECT_EQ(client.err(), "");
        EXPECT_FALSE(registered());
    }
    ChildProcess client;
    std::vector<std::string> nowhere = env;
    nowhere.push_back("DBUS_SESSION_BUS_ADDRESS=unix:path=" + (runtime.path() / "no-bus").string());
    ASSERT_TRUE(client.start(program, {}, error, {.env = nowhere})) << error;
    ASSERT_TRUE(QTest::qWaitFor([&] { return server.requestsTo("/verify") == 2; }, 20000))
        << client.err();
    QTest::qWait(300);
    EXPECT_FALSE(registered());
    ASSERT_TRUE(client.signal(SIGTERM));
    ASSERT_TRUE(client.wait(10s));
    EXPECT_EQ(client.exitCode(), 0);
    EXPECT_EQ(client.err(), "");
}

} // namespace
} // namespace tolvane::test

#include "mpris_test.moc"
