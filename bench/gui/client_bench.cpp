// The desktop client against the reference server on loopback:
//  (a) start-up: from just before the client's objects and main window are
//      built to the dialog showing "Ready ...", over fresh windows;
//  (b) the interface thread's stalls: a 10 ms timer on the interface thread
//      records how late each tick comes while a script runs readings (Play
//      Now until playing, pause, resume, stop), a language switch and back,
//      and a window closed while its reading is still downloading.
// Prints the figures next to their targets with "pass" or "FAIL"; the exit
// status says only whether the script could run. Runs on the offscreen
// platform unless QT_QPA_PLATFORM says otherwise; readings play into the
// default audio device (the PulseAudio null sink in the test setup).
//
//   build/default/bench/client_bench [windows] [readings]
#include "bench/DemoServer.h"
#include "bench/Percentile.h"
#include "config/ClientIdentity.h"
#include "config/ConfigStore.h"
#include "ui/ClientObjects.h"
#include "ui/MainDialog.h"
#include "ui/MainWindow.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QLabel>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTimer>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

using namespace tolvane;
using ui::MainWindow;

constexpr double kStartupTargetMs = 300;
constexpr double kStallP99TargetMs = 20;
constexpr double kStallMaxTargetMs = 100;
constexpr int kHeartbeatMs = 10;
constexpr int kStepTimeoutMs = 30000;

constexpr const char* kSpeech =
    "Tolvane reads this sentence aloud while the benchmark pauses, resumes and stops it, "
    "and watches how late the interface thread's timer comes meanwhile.";

// A config.ini for the demo user of `port`, in a folder removed at the end.
class DemoConfig {
  public:
    explicit DemoConfig(const std::string& port) {
        char pattern[] = "/tmp/client-bench-XXXXXX";
        if (mkdtemp(pattern) == nullptr) {
            return;
        }
        dir_ = pattern;
        std::ofstream(path()) << "[TolvaneWin32]\nTolvane_Host=127.0.0.1\nTolvane_Port=" << port
                              << "\nUser_Email=demo@tolvane.local\nUser_Pass=demo\n"
                                 "language=en-US\nDebug_Trace=OFF\n";
    }
    ~DemoConfig() {
        if (!dir_.empty()) {
            std::error_code ignored;
            std::filesystem::remove_all(dir_, ignored);
        }
    }
    std::filesystem::path path() const { return dir_ / "config.ini"; }

  private:
    std::filesystem::path dir_;
};

// Runs the interface thread's events until `done` holds or `ms` pass. A
// warning box ends the wait: it is printed and closed, and the wait fails.
bool waitFor(const std::function<bool()>& done, int ms = kStepTimeoutMs) {
    QEventLoop loop;
    QTimer poll;
    bool warned = false;
    QObject::connect(&poll, &QTimer::timeout, &loop, [&] {
        if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
            std::fprintf(stderr, "client_bench: warning box: %s\n", qPrintable(box->text()));
            warned = true;
            box->reject();
            loop.quit();
        } else if (done()) {
            loop.quit();
        }
    });
    QTimer::singleShot(ms, &loop, &QEventLoop::quit);
    poll.start(1);
    loop.exec();
    return !warned && done();
}

void idle(int ms) {
    waitFor([] { return false; }, ms);
}

using bench::percentile;

const char* verdict(bool pass) {
    return pass ? "pass" : "FAIL";
}

// One client: its objects, its window and the last status it showed.
class Client {
  public:
    Client(ConfigStore& config, const std::string& identity)
        : objects_(std::make_unique<ui::ClientObjects>()),
          window_(std::make_unique<MainWindow>(*objects_, config, identity)) {
        window_->dialog().setObserver([this](int control, const QString& text) {
            if (control == control::kStatus) {
                status_ = text;
                if (onStatus_) {
                    onStatus_(text);
                }
            }
        });
        // A status shown while the window was being built came before the observer.
        status_ = static_cast<QLabel*>(window_->dialog().control(control::kStatus))->text();
        window_->show();
    }
    const QString& status() const { return status_; }
    bool statusStarts(const char* text) const {
        return status_.startsWith(QString::fromUtf8(text));
    }
    void onStatus(std::function<void(const QString&)> observer) { onStatus_ = std::move(observer); }
    bool ready() const { return statusStarts("Ready") || statusStarts("就绪"); }

    void click(int control) {
        static_cast<QPushButton*>(window_->dialog().control(control))->click();
    }
    bool enabled(int control) const { return window_->dialog().control(control)->isEnabled(); }
    void type(const char* text) {
        static_cast<QPlainTextEdit*>(window_->dialog().control(control::kTextBox))
            ->setPlainText(QString::fromUtf8(text));
    }
    MainDialogCore& core() { return window_->dialog().core(); }

  private:
    // In this order, so the window goes before the objects it reports through.
    std::unique_ptr<ui::ClientObjects> objects_;
    std::unique_ptr<MainWindow> window_;
    QString status_;
    std::function<void(const QString&)> onStatus_;
};

// How late each tick of a 10 ms timer on the interface thread comes.
class Heartbeat {
  public:
    Heartbeat() {
        timer_.setTimerType(Qt::PreciseTimer);
        timer_.setInterval(kHeartbeatMs);
        QObject::connect(&timer_, &QTimer::timeout, [this] {
            const double now = double(clock_.nsecsElapsed()) / 1e6;
            lateness_.push_back(std::max(0.0, now - last_ - kHeartbeatMs));
            last_ = now;
        });
    }
    void start() {
        clock_.start();
        last_ = 0;
        timer_.start();
    }
    void stop() { timer_.stop(); }
    const std::vector<double>& lateness() const { return lateness_; }

  private:
    QTimer timer_;
    QElapsedTimer clock_;
    double last_ = 0;
    std::vector<double> lateness_;
};

// (a) Fresh windows from construction to "Ready ...".
bool measureStartup(ConfigStore& config, const std::string& identity, int windows) {
    std::vector<double> millis;
    for (int i = 0; i < windows; ++i) {
        QElapsedTimer clock;
        clock.start();
        double readyAt = -1;
        Client client(config, identity);
        client.onStatus([&](const QString&) {
            if (readyAt < 0 && client.ready()) {
                readyAt = double(clock.nsecsElapsed()) / 1e6;
            }
        });
        if (client.ready()) {
            readyAt = double(clock.nsecsElapsed()) / 1e6;
        }
        if (!waitFor([&] { return readyAt >= 0; })) {
            std::fprintf(stderr, "client_bench: window %d never showed Ready (status \"%s\")\n",
                         i + 1, qPrintable(client.status()));
            return false;
        }
        millis.push_back(readyAt);
    }
    const double median = percentile(millis, 0.5);
    const double max = *std::max_element(millis.begin(), millis.end());
    std::printf("start-up to \"Ready ...\", %d fresh windows: median %.1f ms, max %.1f ms "
                "(target < %.0f ms: %s)\n",
                windows, median, max, kStartupTargetMs, verdict(max < kStartupTargetMs));
    return true;
}

// One reading: Play Now until playing, pause, resume, stop.
bool readOnce(Client& client, bool& played) {
    client.type(kSpeech);
    client.click(control::kPlayNow);
    // Play Now first stops (nothing), which leaves it enabled; the reading is
    // under way once the add request has disabled it.
    if (!waitFor([&] { return !client.enabled(control::kPlayNow); })) {
        return false;
    }
    if (!waitFor([&] {
            return client.statusStarts("Playing") || client.statusStarts("Completed") ||
                   client.enabled(control::kPlayNow);
        })) {
        return false;
    }
    if (!client.statusStarts("Playing")) {
        played = false; // no audio device: the reading ended before playing
        return true;
    }
    idle(300);
    client.click(control::kPauseResume);
    waitFor([&] { return client.statusStarts("Paused"); });
    idle(200);
    client.click(control::kPauseResume);
    waitFor([&] { return client.statusStarts("Playing"); });
    idle(200);
    client.click(control::kStop);
    return waitFor([&] { return client.enabled(control::kPlayNow); });
}

bool switchLanguage(Client& client, const char16_t* code, const char* readyText) {
    client.core().languageSelected(code);
    return waitFor([&] { return client.statusStarts(readyText); });
}

// Play Now, then the window closes as soon as the reading is downloading its
// audio (or, failing that, has it and is not yet playing).
bool closeWhileDownloading(std::unique_ptr<Client>& client, double& closeMs) {
    bool closed = false;
    client->onStatus([&](const QString& status) {
        const bool beforePlaying = status.startsWith(QLatin1String("Buffering"));
        if (beforePlaying && !closed) {
            closed = true;
            // Not from inside the dialog's report: on the next turn of the loop.
            QTimer::singleShot(0, [&] {
                QElapsedTimer clock;
                clock.start();
                client.reset();
                closeMs = double(clock.nsecsElapsed()) / 1e6;
            });
        }
    });
    client->type(kSpeech);
    client->click(control::kPlayNow);
    return waitFor([&] { return client == nullptr; });
}

// (b) The script under the heartbeat.
bool measureStalls(ConfigStore& config, const std::string& identity, int readings) {
    auto client = std::make_unique<Client>(config, identity);
    if (!waitFor([&] { return client->ready(); })) {
        std::fprintf(stderr, "client_bench: the window never showed Ready\n");
        return false;
    }
    Heartbeat heartbeat;
    heartbeat.start();
    bool played = true;
    for (int i = 0; i < readings; ++i) {
        if (!readOnce(*client, played)) {
            std::fprintf(stderr, "client_bench: reading %d stuck at \"%s\"\n", i + 1,
                         qPrintable(client->status()));
            return false;
        }
    }
    if (!switchLanguage(*client, u"zh-CN", "就绪") || !switchLanguage(*client, u"en-US", "Ready")) {
        std::fprintf(stderr, "client_bench: the language switch stuck at \"%s\"\n",
                     qPrintable(client->status()));
        return false;
    }
    double closeMs = -1;
    if (!closeWhileDownloading(client, closeMs)) {
        std::fprintf(stderr, "client_bench: no reading to close while downloading (\"%s\")\n",
                     qPrintable(client->status()));
        return false;
    }
    idle(100);
    heartbeat.stop();

    const std::vector<double>& late = heartbeat.lateness();
    const double p50 = percentile(late, 0.5);
    const double p99 = percentile(late, 0.99);
    const double max = late.empty() ? 0 : *std::max_element(late.begin(), late.end());
    std::printf("interface thread, %d ms heartbeat over %d readings%s, a language switch and "
                "a close while downloading (%zu ticks):\n",
                kHeartbeatMs, readings, played ? "" : " (NO AUDIO DEVICE: none played)",
                late.size());
    std::printf("  lateness p50 %.2f ms, p99 %.2f ms (target < %.0f ms: %s), max %.2f ms "
                "(target < %.0f ms: %s)\n",
                p50, p99, kStallP99TargetMs, verdict(p99 < kStallP99TargetMs), max,
                kStallMaxTargetMs, verdict(max < kStallMaxTargetMs));
    std::printf("  closing the window mid-download took %.1f ms\n", closeMs);
    return true;
}

} // namespace

int main(int argc, char** argv) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) {
        qputenv("QT_QPA_PLATFORM", "offscreen");
    }
    QApplication app(argc, argv);
    const int windows = argc > 1 ? std::max(1, std::atoi(argv[1])) : 10;
    const int readings = argc > 2 ? std::max(1, std::atoi(argv[2])) : 3;

    bench::DemoServer server;
    if (server.port().empty()) {
        std::fprintf(stderr, "client_bench: tolvane-server did not start\n");
        return 1;
    }
    DemoConfig file(server.port());
    ConfigStore config;
    config.read(file.path());
    const std::string identity = ClientIdentity::format(ClientIdentity::systemValues(1920, 1080));
    config.setClientIdentity(identity);

    const bool ran =
        measureStartup(config, identity, windows) && measureStalls(config, identity, readings);
    return ran ? 0 : 1;
}
