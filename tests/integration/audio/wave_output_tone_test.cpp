#include "engine/AlsaBackend.h"
#include "engine/WaveOutput.h"
#include "tests/support/MonitorRecorder.h"
#include "tests/support/NullSink.h"
#include "tests/support/SignalAnalysis.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstring>
#include <functional>
#include <mutex>
#include <optional>
#include <thread>

// A generated 1 kHz tone played through WaveOutput (ALSA's default device) into
// a PulseAudio null sink in real time, and what the sink's monitor recorded.
namespace tolvane {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

constexpr uint32_t kRate = 44100;
constexpr double kAmplitude = 0.5; // -9.03 dB RMS
constexpr double kToneDb = -9.0309;
constexpr double kTimelineToleranceMs = 50.0;
constexpr uint32_t kBuffers = 6;
constexpr uint32_t kBufferMs = 100;

double msOf(size_t samples) {
    return double(samples) * 1000.0 / kRate;
}

// The engine's decoding thread in miniature: fills the ring with a continuous
// tone, queues each buffer and waits for the next one to be done, sampling the
// device position meanwhile.
class TonePlayer {
  public:
    struct Sample {
        double wallMs;
        double positionMs;
    };

    explicit TonePlayer(std::shared_ptr<AudioBackend> backend) : wave_(std::move(backend)) {
        const auto tone = test::makeTone(1000.0, kRate, 1.0, kAmplitude);
        second_.resize(tone.size());
        for (size_t i = 0; i < tone.size(); ++i) {
            second_[i] = int16_t(std::lrint(tone[i] * 32768.0));
        }
    }

    bool open(std::string& error) {
        if (wave_.Initialize(WAVE_FORMAT_PCM, 2, kRate, 16, kBuffers, kBufferMs) != 1 ||
            wave_.OpenAudioOutput(WAVE_MAPPER, &TonePlayer::callback,
                                  reinterpret_cast<uintptr_t>(this), CALLBACK_FUNCTION) != 1) {
            error = wave_.GetLastErrorText() + ": " + wave_.GetDeviceErrorText();
            return false;
        }
        for (uint32_t i = 0; i < kBuffers; ++i) {
            wave_.SetBufferDone(i);
            wave_.UnprepareHeader(i);
        }
        return true;
    }

    // Queues tone into every free buffer until `ms` more of it are queued.
    void fill(double ms) {
        const uint64_t end = cursor_ + uint64_t(ms * kRate / 1000.0);
        while (cursor_ < end && wave_.IsBufferDone(next_) == 1) {
            queueNext(end);
        }
    }

    void waitForCallback(std::chrono::milliseconds limit) {
        std::unique_lock lock(lock_);
        changed_.wait_for(lock, limit, [&] { return signalled_; });
        signalled_ = false;
    }

    // Plays `ms` more of the tone and returns once all of it has been played;
    // `tick` runs between buffers, about every 10 ms.
    void play(double ms, const std::function<void()>& tick = {}) {
        const uint64_t end = cursor_ + uint64_t(ms * kRate / 1000.0);
        for (;;) {
            if (cursor_ < end && wave_.IsBufferDone(next_) == 1) {
                queueNext(end);
                continue;
            }
            if (cursor_ >= end && allDone()) {
                return;
            }
            sample();
            if (tick) {
                tick();
            }
            waitForCallback(10ms);
        }
    }

    // Pauses for `duration`, sampling the held position, then restarts.
    void pauseFor(std::chrono::milliseconds duration) {
        pauses_.push_back(timed([&] { wave_.PauseOutput(); }));
        const auto until = Clock::now() + duration;
        const size_t first = samples_.size();
        while (Clock::now() < until) {
            sample();
            std::this_thread::sleep_for(10ms);
        }
        heldSamples_.emplace_back(first, samples_.size());
        restarts_.push_back(timed([&] { wave_.RestartOutput(); }));
    }

    double wallMs() const {
        return std::chrono::duration<double, std::milli>(Clock::now() - origin_).count();
    }
    double positionMs() { return double(wave_.GetOutputPosition(1)); }
    int doneCount() {
        std::lock_guard guard(lock_);
        return done_;
    }
    void markClosed() {
        std::lock_guard guard(lock_);
        closed_ = true;
    }
    int earlyDone() {
        std::lock_guard guard(lock_);
        return early_;
    }
    int lateCallbacks() {
        std::lock_guard guard(lock_);
        return late_;
    }
    bool sawClose() {
        std::lock_guard guard(lock_);
        return sawClose_;
    }

    WaveOutput& wave() { return wave_; }
    const std::vector<Sample>& samples() const { return samples_; }
    const std::vector<double>& pauses() const { return pauses_; }
    const std::vector<double>& restarts() const { return restarts_; }
    const std::vector<std::pair<size_t, size_t>>& heldSamples() const { return heldSamples_; }

  private:
    static void callback(HWAVEOUT, uint32_t message, uintptr_t instance, uintptr_t param1,
                         uintptr_t) {
        auto* self = reinterpret_cast<TonePlayer*>(instance);
        // A buffer is done only once the position has passed its last sample.
        const bool early =
            message == WOM_DONE && self->wave_.GetOutputPosition(0) <
                                       self->ends_[reinterpret_cast<WAVEHDR*>(param1)->dwUser];
        {
            std::lock_guard guard(self->lock_);
            self->early_ += early;
            self->done_ += message == WOM_DONE;
            self->sawClose_ = self->sawClose_ || message == WOM_CLOSE;
            self->late_ += self->closed_;
            self->signalled_ = true;
        }
        self->changed_.notify_all();
    }

    void queueNext(uint64_t end) {
        wave_.UnprepareHeader(next_);
        const uint64_t frames = std::min<uint64_t>(wave_.GetBufferSize() / 4, end - cursor_);
        auto* out = reinterpret_cast<int16_t*>(wave_.GetBufferData(next_));
        for (uint64_t i = 0; i < frames; ++i) {
            const int16_t s = second_[(cursor_ + i) % second_.size()];
            out[2 * i] = s;
            out[2 * i + 1] = s;
        }
        cursor_ += frames;
        ends_[next_] = cursor_;
        wave_.SetBufferBytes(next_, uint32_t(frames * 4));
        ASSERT_EQ(wave_.PlayBuffer(next_), 1) << wave_.GetLastErrorText();
        next_ = (next_ + 1) % kBuffers;
    }

    bool allDone() {
        for (uint32_t i = 0; i < kBuffers; ++i) {
            if (wave_.IsBufferDone(i) == 0) {
                return false;
            }
        }
        return true;
    }

    void sample() {
        const double before = wallMs();
        const double position = positionMs();
        samples_.push_back({(before + wallMs()) / 2, position});
    }

    double timed(const std::function<void()>& call) {
        const double before = wallMs();
        call();
        return (before + wallMs()) / 2;
    }

    WaveOutput wave_;
    std::vector<int16_t> second_;
    uint64_t cursor_ = 0;          // frames queued since open
    uint64_t ends_[kBuffers] = {}; // cursor_ after each buffer was queued
    uint32_t next_ = 0;
    Clock::time_point origin_ = Clock::now();
    std::vector<Sample> samples_;
    std::vector<double> pauses_;
    std::vector<double> restarts_;
    std::vector<std::pair<size_t, size_t>> heldSamples_;

    std::mutex lock_;
    std::condition_variable changed_;
    int done_ = 0;
    int early_ = 0; // buffers reported before they were heard
    bool signalled_ = false;
    bool closed_ = false; // Close has returned
    int late_ = 0;        // callbacks after that
    bool sawClose_ = false;
};

// How much of the tone the recording holds up to each of its samples.
class Heard {
  public:
    explicit Heard(std::vector<test::Segment> segments) : segments_(std::move(segments)) {}
    double msUpTo(double index) const {
        double total = 0.0;
        for (const test::Segment& s : segments_) {
            total += std::clamp(index - double(s.begin), 0.0, double(s.length()));
        }
        return total * 1000.0 / kRate;
    }
    double totalMs() const { return msUpTo(1e18); }

  private:
    std::vector<test::Segment> segments_;
};

// The silences between segments that last at least `minMs`.
std::vector<std::pair<size_t, size_t>> gaps(const std::vector<test::Segment>& segments,
                                            double minMs) {
    std::vector<std::pair<size_t, size_t>> out;
    for (size_t i = 1; i < segments.size(); ++i) {
        if (msOf(segments[i].begin - segments[i - 1].end) >= minMs) {
            out.emplace_back(segments[i - 1].end, segments[i].begin);
        }
    }
    return out;
}

std::string describe(const std::vector<test::Segment>& segments) {
    std::string out;
    for (const test::Segment& s : segments) {
        out += "[" + std::to_string(int(msOf(s.begin))) + ", " + std::to_string(int(msOf(s.end))) +
               ") ";
    }
    return out;
}

class ToneTest : public ::testing::Test {
  protected:
    void SetUp() override {
        std::string error;
        ASSERT_TRUE(sink_.create(error)) << error;
        recorder_.emplace(sink_.monitor());
        ASSERT_TRUE(recorder_->start(error)) << error;
    }

    // Stops the recording after the sink's latency has passed and loads it.
    test::WavAudio stopRecording() {
        std::this_thread::sleep_for(300ms);
        test::WavAudio audio;
        std::string error;
        EXPECT_TRUE(recorder_->stop(audio, error)) << error;
        EXPECT_EQ(audio.sampleRate, kRate);
        return audio;
    }

    test::NullSink sink_;
    std::optional<test::MonitorRecorder> recorder_;
};

class TimelineTest : public ToneTest, public ::testing::WithParamInterface<bool> {};

// Pauses twice within three seconds of tone. The position must follow what the
// sink played, hold while paused, and end at exactly three seconds.
TEST_P(TimelineTest, PositionFollowsTheRecordedTimelineAndHoldsWhilePaused) {
    TonePlayer player(std::make_shared<AlsaBackend>(GetParam()));
    std::string error;
    ASSERT_TRUE(player.open(error)) << error;
    size_t pausesDone = 0;
    player.play(3000.0, [&] {
        const double threshold = pausesDone == 0 ? 1000.0 : 2000.0;
        if (pausesDone < 2 && player.positionMs() >= threshold) {
            ++pausesDone;
            player.pauseFor(400ms);
        }
    });
    EXPECT_EQ(player.wave().GetOutputPosition(1), 3000u);
    EXPECT_EQ(player.wave().GetOutputPosition(0), 3u * kRate);
    EXPECT_EQ(player.doneCount(), 30);
    EXPECT_EQ(player.earlyDone(), 0);
    ASSERT_EQ(player.wave().Close(), 1);
    const test::WavAudio audio = stopRecording();
    const std::vector<double> left = audio.channel(0);
    const auto segments = test::findSegments(left, kRate, -40.0, 2.0, 0.0);
    const Heard heard(segments);
    SCOPED_TRACE("recorded tone: " + describe(segments));

    EXPECT_NEAR(heard.totalMs(), 3000.0, kTimelineToleranceMs);
    ASSERT_EQ(player.pauses().size(), 2u);
    const auto pauseGaps = gaps(segments, 250.0);
    ASSERT_EQ(pauseGaps.size(), 2u);

    // While paused the position holds, and it is what the sink had played.
    std::vector<double> offsets;
    for (size_t k = 0; k < 2; ++k) {
        const auto [first, last] = player.heldSamples()[k];
        ASSERT_LT(first, last);
        const double held = player.samples()[first].positionMs;
        for (size_t i = first; i < last; ++i) {
            EXPECT_EQ(player.samples()[i].positionMs, held) << "pause " << k;
        }
        EXPECT_NEAR(held, heard.msUpTo(double(pauseGaps[k].first)), kTimelineToleranceMs)
            << "pause " << k;
        EXPECT_NEAR(msOf(pauseGaps[k].second - pauseGaps[k].first),
                    player.restarts()[k] - player.pauses()[k], kTimelineToleranceMs)
            << "the sound stops for as long as the pause lasts";
        offsets.push_back(player.pauses()[k] - msOf(pauseGaps[k].first));
        offsets.push_back(player.restarts()[k] - msOf(pauseGaps[k].second));
    }

    // The pause and restart edges tie the test's clock to the recording; every
    // sampled position must match what had been heard at its moment.
    double offset = 0.0;
    for (double o : offsets) {
        offset += o / double(offsets.size());
    }
    for (double o : offsets) {
        EXPECT_NEAR(o, offset, 20.0) << "the recording drifts against the clock";
    }
    double worst = 0.0;
    for (const auto& s : player.samples()) {
        const double expected = heard.msUpTo((s.wallMs - offset) * kRate / 1000.0);
        worst = std::max(worst, std::abs(s.positionMs - expected));
    }
    EXPECT_LE(worst, kTimelineToleranceMs) << player.samples().size() << " samples";
    RecordProperty("worst_position_error_ms", std::to_string(worst));

    const auto& longest = *std::max_element(
        segments.begin(), segments.end(),
        [](const test::Segment& a, const test::Segment& b) { return a.length() < b.length(); });
    const std::span<const double> tone(left.data() + longest.begin, longest.length());
    EXPECT_NEAR(test::estimateFrequency(tone, kRate), 1000.0, 10.0);
    EXPECT_NEAR(test::rmsDb(tone.subspan(4410, tone.size() - 8820)), kToneDb, 1.0);
}

INSTANTIATE_TEST_SUITE_P(PauseMethods, TimelineTest, ::testing::Values(true, false),
                         [](const auto& info) {
                             return info.param ? std::string("PcmPause")
                                               : std::string("DropAndRewrite");
                         });

// A full-volume second, then a second at half volume set while no device was
// open, then one with the right channel at a quarter set on the open device.
TEST_F(ToneTest, VolumeWordScalesTheLevel) {
    auto backend = std::make_shared<AlsaBackend>();
    std::string error;
    {
        TonePlayer player(backend);
        ASSERT_TRUE(player.open(error)) << error;
        player.play(1000.0);
        ASSERT_EQ(player.wave().Close(), 1);
    }
    std::this_thread::sleep_for(300ms);
    {
        TonePlayer player(backend);
        ASSERT_EQ(player.wave().SetOutputVolume(0x7FFF, 0x7FFF), MMSYSERR_NOERROR);
        ASSERT_TRUE(player.open(error)) << error;
        uint16_t left = 0;
        uint16_t right = 0;
        ASSERT_EQ(player.wave().GetOutputVolume(&left, &right), MMSYSERR_NOERROR);
        EXPECT_EQ(left, 0x7FFF);
        EXPECT_EQ(right, 0x7FFF);
        player.play(1000.0);
        std::this_thread::sleep_for(300ms);
        ASSERT_EQ(player.wave().SetOutputVolume(0xFFFF, 0x3FFF), MMSYSERR_NOERROR);
        player.play(1000.0);
        ASSERT_EQ(player.wave().Close(), 1);
    }
    const test::WavAudio audio = stopRecording();
    const std::vector<double> left = audio.channel(0);
    const std::vector<double> right = audio.channel(1);
    const auto segments = test::findSegments(right, kRate, -40.0, 5.0, 0.0);
    SCOPED_TRACE("recorded tone: " + describe(segments));
    const auto pauseGaps = gaps(segments, 200.0);
    ASSERT_EQ(pauseGaps.size(), 2u);

    // The middle 600 ms of each second, away from the edges and the PCM latency.
    auto level = [&](const std::vector<double>& channel, size_t start) {
        return test::rmsDb(std::span(channel).subspan(start + 8820, 26460));
    };
    const size_t full = segments.front().begin;
    const size_t half = pauseGaps[0].second;
    const size_t quarter = pauseGaps[1].second;
    EXPECT_NEAR(level(left, full), kToneDb, 1.0);
    EXPECT_NEAR(level(right, full), kToneDb, 1.0);
    EXPECT_NEAR(level(left, half), kToneDb - 6.02, 1.0);
    EXPECT_NEAR(level(right, half), kToneDb - 6.02, 1.0);
    EXPECT_NEAR(level(left, full) - level(left, half), 6.02, 1.0);
    EXPECT_NEAR(level(left, quarter), kToneDb, 1.0);
    EXPECT_NEAR(level(right, quarter), kToneDb - 12.04, 1.0);
    EXPECT_NEAR(test::estimateFrequency(std::span(left).subspan(half, kRate / 2), kRate), 1000.0,
                10.0);
}

// Reset in the middle of a full queue: every buffer is reported before it
// returns, the sound stops there, and the position starts again from 0.
TEST_F(ToneTest, ResetStopsTheSoundReportsEveryBufferAndRestartsThePosition) {
    TonePlayer player(std::make_shared<AlsaBackend>());
    std::string error;
    ASSERT_TRUE(player.open(error)) << error;
    player.fill(double(kBuffers * kBufferMs));
    const auto deadline = Clock::now() + 5s;
    while (player.positionMs() < 300.0 && Clock::now() < deadline) {
        std::this_thread::sleep_for(5ms);
    }
    const double beforeReset = player.positionMs();
    ASSERT_GE(beforeReset, 300.0);
    ASSERT_EQ(player.wave().ResetOutput(), 1);
    EXPECT_EQ(player.doneCount(), int(kBuffers)) << "not every queued buffer was reported";
    for (uint32_t i = 0; i < kBuffers; ++i) {
        EXPECT_EQ(player.wave().IsBufferDone(i), 1) << i;
    }
    EXPECT_EQ(player.wave().GetOutputPosition(0), 0u);
    std::this_thread::sleep_for(300ms);
    EXPECT_EQ(player.wave().GetOutputPosition(3), 0u);

    player.play(300.0);
    EXPECT_EQ(player.wave().GetOutputPosition(1), 300u);
    ASSERT_EQ(player.wave().Close(), 1);
    const test::WavAudio audio = stopRecording();
    const auto segments = test::findSegments(audio.channel(0), kRate, -40.0, 2.0, 0.0);
    SCOPED_TRACE("recorded tone: " + describe(segments));
    ASSERT_EQ(gaps(segments, 200.0).size(), 1u);
    EXPECT_NEAR(msOf(segments.front().end - segments.front().begin), beforeReset,
                kTimelineToleranceMs);
    EXPECT_NEAR(msOf(segments.back().end - segments.back().begin), 300.0, kTimelineToleranceMs);
}

// The engine's stop: the application's thread pauses and resets while the
// decoding thread waits for a buffer; that thread then resets and closes. No
// call may hang, and nothing is reported after Close has returned.
TEST(ToneStop, StopFromAnotherThreadWhileTheRingIsFull) {
    test::NullSink sink;
    std::string error;
    ASSERT_TRUE(sink.create(error)) << error;
    TonePlayer player(std::make_shared<AlsaBackend>());
    ASSERT_TRUE(player.open(error)) << error;
    std::atomic<bool> playing{true};
    std::thread decoding([&] {
        while (playing) {
            player.fill(1e9);
            player.waitForCallback(10ms);
        }
        player.wave().ResetOutput();
        EXPECT_EQ(player.wave().Close(), 1);
        player.markClosed();
    });
    std::this_thread::sleep_for(400ms);
    player.wave().PauseOutput();
    playing = false;
    player.wave().ResetOutput();
    decoding.join();
    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(player.lateCallbacks(), 0);
    EXPECT_TRUE(player.sawClose());
}

} // namespace
} // namespace tolvane
