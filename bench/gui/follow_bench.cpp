// The lag of the follow-along light: how long after a word's start reaches
// the sound card the desktop client lights it in the text box. Audio with
// word timings (a tone behind a timings tag, as the speech server makes it)
// is served by a stand-in speech server on loopback and read in the client
// on the offscreen platform, into the default audio device (the PulseAudio
// null sink in the test setup). A sampler thread reads the heard position
// (frames played by the device, less its delay) every few milliseconds: the
// output runs at the sampling rate, so each sample dates the moment a word's
// start was heard. The dialog's highlight observer dates the light. Prints
// the lag's median, 95th percentile and maximum beside the target, and, as
// the client benchmark does, how late a 10 ms timer on the interface thread
// comes while the readings are followed.
//
//   build/default/bench/follow_bench [readings]
#include "FakeSpeechServer.h"
#include "ProtocolTestSupport.h"
#include "SayTestSupport.h"
#include "TimedSpeech.h"
#include "bench/Percentile.h"

#include "config/ConfigStore.h"
#include "tests/support/TempDir.h"
#include "ui/ClientObjects.h"
#include "ui/MainDialog.h"
#include "ui/MainWindow.h"

#include <QApplication>
#include <QEventLoop>
#include <QLabel>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTimer>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

namespace {

using namespace tolvane;
using Clock = std::chrono::steady_clock;

constexpr double kLagP95TargetMs = 50;
// The client benchmark's targets for the interface thread's stalls.
constexpr double kStallP99TargetMs = 20;
constexpr double kStallMaxTargetMs = 100;
constexpr int kHeartbeatMs = 10;
constexpr int64_t kLeadMs = 200;
constexpr int64_t kWordMs = 150;
constexpr auto kSampleEvery = std::chrono::milliseconds(5);

// Forty words, a sentence of four each.
std::string benchText() {
    std::string text;
    for (int i = 0; i < 40; ++i) {
        text += "word" + std::to_string(i) + (i % 4 == 3 ? ". " : " ");
    }
    text.pop_back();
    return text;
}

bool waitFor(const std::function<bool()>& done, int ms = 30000) {
    QEventLoop loop;
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, &loop, [&] {
        if (done()) {
            loop.quit();
        }
    });
    QTimer::singleShot(ms, &loop, &QEventLoop::quit);
    poll.start(5);
    loop.exec();
    return done();
}

using bench::percentile;

// (when, heard ms) pairs taken while a reading plays.
class HeardSampler {
  public:
    explicit HeardSampler(const PlaybackController& playback)
        : thread_([this, &playback] {
              while (!done_) {
                  int64_t ms = 0;
                  if (playback.heardPosition(ms)) {
                      const std::lock_guard lock(mutex_);
                      samples_.emplace_back(Clock::now(), ms);
                  }
                  std::this_thread::sleep_for(kSampleEvery);
              }
          }) {}
    ~HeardSampler() {
        done_ = true;
        thread_.join();
    }
    // When `startMs` of the audio was heard: the first sample at or past it,
    // moved back by how far past it was. None when no sample reached it.
    std::optional<Clock::time_point> heardAt(int64_t startMs) {
        const std::lock_guard lock(mutex_);
        for (const auto& [when, ms] : samples_) {
            if (ms >= startMs && ms - startMs < 100) {
                return when - std::chrono::milliseconds(ms - startMs);
            }
        }
        return std::nullopt;
    }
    void clear() {
        const std::lock_guard lock(mutex_);
        samples_.clear();
    }

  private:
    std::atomic<bool> done_{false};
    std::mutex mutex_;
    std::vector<std::pair<Clock::time_point, int64_t>> samples_;
    std::thread thread_;
};

} // namespace

int main(int argc, char** argv) {
    setenv("QT_QPA_PLATFORM", "offscreen", 0);
    QApplication app(argc, argv);
    const int readings = argc > 1 ? std::max(1, std::atoi(argv[1])) : 3;
    const std::string text = benchText();
    const SpeechTimings timings = test::evenTimings(text, kLeadMs, kWordMs);
    std::string error;
    const double seconds = double(kLeadMs + int64_t(timings.words.size()) * kWordMs + 500) / 1000;
    const std::string mp3 = test::timedToneMp3(seconds, text, timings, error);
    if (mp3.empty()) {
        std::fprintf(stderr, "follow_bench: cannot make the audio: %s\n", error.c_str());
        return 1;
    }
    test::AudioPeer audio(mp3, {});
    test::FakeSpeechServer server;
    server.audioAt(audio.url());
    const test::TempDir dir("follow-bench");
    ConfigStore config;
    config.read(test::writeClientConfig(dir.path(), server.port(), "FILE", "language=en-US\n"));

    ui::ClientObjects objects;
    ui::MainWindow window(objects, config, "identity");
    window.show();
    auto* status = qobject_cast<QLabel*>(window.dialog().control(control::kStatus));
    if (!waitFor([&] { return status->text() == "Ready ..."; })) {
        std::fprintf(stderr, "follow_bench: the client did not log in\n");
        return 1;
    }
    std::vector<std::pair<Clock::time_point, int>> lights; // when, word's first unit
    window.dialog().setHighlightObserver([&](TextRange word, TextRange) {
        if (!word.empty()) {
            lights.emplace_back(Clock::now(), word.begin);
        }
    });
    qobject_cast<QPlainTextEdit*>(window.dialog().control(control::kTextBox))
        ->setPlainText(QString::fromStdString(text));

    std::vector<double> lags;
    std::vector<double> stalls;
    QTimer heartbeat;
    heartbeat.setTimerType(Qt::PreciseTimer);
    Clock::time_point beat = Clock::now();
    QObject::connect(&heartbeat, &QTimer::timeout, [&] {
        const Clock::time_point now = Clock::now();
        stalls.push_back(std::chrono::duration<double, std::milli>(now - beat).count() -
                         kHeartbeatMs);
        beat = now;
    });
    beat = Clock::now();
    heartbeat.start(kHeartbeatMs);
    size_t unheard = 0;
    for (int r = 0; r < readings; ++r) {
        HeardSampler sampler(objects.playback);
        lights.clear();
        qobject_cast<QPushButton*>(window.dialog().control(control::kPlayNow))->click();
        if (!waitFor([&] { return status->text() == "Completed"; }, 60000)) {
            std::fprintf(stderr, "follow_bench: the reading did not complete: %s\n",
                         qPrintable(status->text()));
            return 1;
        }
        for (const auto& [when, begin] : lights) {
            const auto word = std::find_if(timings.words.begin(), timings.words.end(),
                                           [&](const SpeechMark& m) { return m.offset == begin; });
            const std::optional<Clock::time_point> heard =
                word == timings.words.end() ? std::nullopt : sampler.heardAt(word->startMs);
            if (!heard) {
                ++unheard;
                continue;
            }
            lags.push_back(std::chrono::duration<double, std::milli>(when - *heard).count());
        }
    }
    heartbeat.stop();
    const double p95 = percentile(lags, 0.95);
    std::printf("follow-along light after the word's onset at the output, %zu words in %d "
                "readings (%zu not dated):\n  median %.1f ms, p95 %.1f ms (target < %.0f ms: "
                "%s), max %.1f ms, min %.1f ms\n",
                lags.size(), readings, unheard, percentile(lags, 0.5), p95, kLagP95TargetMs,
                p95 < kLagP95TargetMs && !lags.empty() ? "pass" : "FAIL", percentile(lags, 1.0),
                percentile(lags, 0.0));
    const double stallP99 = percentile(stalls, 0.99);
    const double stallMax = percentile(stalls, 1.0);
    std::printf("interface thread while following, a %d ms timer late by: p99 %.1f ms (target < "
                "%.0f ms: %s), max %.1f ms (target < %.0f ms: %s)\n",
                kHeartbeatMs, stallP99, kStallP99TargetMs,
                stallP99 < kStallP99TargetMs ? "pass" : "FAIL", stallMax, kStallMaxTargetMs,
                stallMax < kStallMaxTargetMs ? "pass" : "FAIL");
    return lags.empty() ? 1 : 0;
}
