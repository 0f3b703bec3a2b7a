// Real-time play through ALSA's default device into the PulseAudio null sink:
// what the sink's monitor records is compared with what the engine decodes.
#include "tests/support/MonitorRecorder.h"
#include "tests/support/SignalAnalysis.h"
#include "tests/unit/engine/EngineTestSupport.h"

#include <gtest/gtest.h>

#include <thread>

using namespace tolvane;
using namespace tolvane::test;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

namespace {

class EnginePlay : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(Mp3Files::get().ok()) << "test files not made";
        std::string error;
        ASSERT_TRUE(engineDecode(Mp3Files::get()["sweep44.mp3"], decoded, error)) << error;
        ASSERT_TRUE(recorder.start(error)) << error;
        recordingStart = Clock::now();
        ASSERT_EQ(engine.SetCallbackFunc(collector.callback(), NOTIFY_STOPPED), 1);
        ASSERT_EQ(engine.OpenMp3File(Mp3Files::get()["sweep44.mp3"].c_str(), 500, 0, 0), 1)
            << engine.GetLastErrorText();
    }

    WavAudio stopRecording() {
        WavAudio audio;
        std::string error;
        EXPECT_TRUE(recorder.stop(audio, error)) << error;
        EXPECT_EQ(audio.sampleRate, 44100u);
        return audio;
    }

    uint32_t position() {
        MP3_TIME time{};
        engine.GetPosition(&time);
        return time.nMilliseconds;
    }

    // Seconds since the recording started.
    double now() const {
        return std::chrono::duration<double>(Clock::now() - recordingStart).count();
    }

    EngineOutput decoded;
    MonitorRecorder recorder;
    Clock::time_point recordingStart;
    OutputCollector collector;
    Mp3Engine engine;
};

std::vector<double> leftOf(const std::vector<int16_t>& samples, size_t from, size_t frames) {
    std::vector<double> out;
    for (size_t i = from; i < from + frames && 2 * i < samples.size(); ++i) {
        out.push_back(samples[2 * i] / 32768.0);
    }
    return out;
}

} // namespace

// Plays four seconds, pauses for one, plays two more and stops. The recording
// holds the decoded sound, silent during the pause; the position follows the
// recorded timeline and holds during the pause; Stop ends the run.
TEST_F(EnginePlay, PlaysPausesAndStops) {
    struct Sample {
        double at;
        uint32_t ms;
    };
    std::vector<Sample> timeline;
    ASSERT_EQ(engine.Play(), 1) << engine.GetLastErrorText();
    const auto record = [&](std::chrono::milliseconds span) {
        const auto end = Clock::now() + span;
        while (Clock::now() < end) {
            timeline.push_back({now(), position()});
            std::this_thread::sleep_for(20ms);
        }
    };
    record(4000ms);
    MP3_STATUS status{};
    engine.GetStatus(&status);
    ASSERT_EQ(status.fPlaying, 1) << "the run ended early: " << engine.GetLastErrorText();
    ASSERT_EQ(engine.Pause(), 1);
    engine.GetStatus(&status);
    EXPECT_EQ(status.fPaused, 1);
    const double pausedAt = now();
    const uint32_t heldAt = position();
    std::this_thread::sleep_for(1000ms);
    EXPECT_NEAR(position(), heldAt, 5.0);
    ASSERT_EQ(engine.Resume(), 1);
    const double resumedAt = now();
    record(2000ms);
    EXPECT_EQ(engine.Stop(), 1) << engine.GetLastErrorText();
    EXPECT_TRUE(collector.waitStopped(2s));
    engine.GetStatus(&status);
    EXPECT_EQ(status.fStopped, 1);
    std::this_thread::sleep_for(500ms);
    const WavAudio recorded = stopRecording();

    // The sound as recorded: where it starts, and that it is the decoded sound.
    const std::vector<double> heard = recorded.channel(0);
    const size_t onset = findOnset(heard, 44100);
    ASSERT_LT(onset, heard.size());
    const std::vector<double> head(heard.begin() + long(onset),
                                   heard.begin() + long(std::min(heard.size(), onset + 3 * 44100)));
    const Alignment match = crossCorrelate(head, leftOf(decoded.samples, 0, 3 * 44100), 4410);
    EXPECT_GT(match.coefficient, 0.99);
    const double soundStart =
        (double(onset) - double(match.lag)) / 44100; // recorded second of position 0

    // The position against the recorded timeline, before the pause.
    for (const Sample& s : timeline) {
        if (s.at < pausedAt && s.ms > 200) {
            EXPECT_NEAR(s.ms / 1000.0, s.at - soundStart, 0.1) << "at " << s.at << " s";
        }
    }

    // One gap of about a second where the pause was, sound on both sides.
    const std::vector<Segment> segments = findSegments(heard, 44100, -40.0, 5.0, 200.0);
    ASSERT_EQ(segments.size(), 2u);
    const double gap = double(segments[1].begin - segments[0].end) / 44100;
    EXPECT_NEAR(gap, resumedAt - pausedAt, 0.15);
    // After the pause the sound goes on where it stopped.
    const size_t resumedFrame = size_t(heldAt) * 44100 / 1000;
    const std::vector<double> after(heard.begin() + long(segments[1].begin),
                                    heard.begin() + long(segments[1].begin + 44100));
    const Alignment again =
        crossCorrelate(after, leftOf(decoded.samples, resumedFrame, 44100), 44100 / 4);
    EXPECT_GT(again.coefficient, 0.99);
}

TEST_F(EnginePlay, PlaysToTheEndOfShortFile) {
    // A stream shorter than one wave buffer is heard too.
    ASSERT_EQ(engine.OpenMp3File(Mp3Files::get()["short44.mp3"].c_str(), 500, 0, 0), 1);
    ASSERT_EQ(engine.Play(), 1) << engine.GetLastErrorText();
    EXPECT_TRUE(collector.waitStopped(5s));
    EXPECT_STREQ(engine.GetLastErrorText(), "");
    std::this_thread::sleep_for(300ms);
    const WavAudio recorded = stopRecording();
    const std::vector<Segment> segments = findSegments(recorded.channel(0), 44100);
    ASSERT_EQ(segments.size(), 1u);
    EXPECT_NEAR(double(segments[0].length()) / 44100, 0.05, 0.02);
}

// Another program cuts the file short while it plays: the engine plays what is
// still there (48000 bytes, 3 s) and stops; nothing brings the process down.
TEST_F(EnginePlay, FileCutShortWhilePlaying) {
    const auto path = Mp3Files::get().dir() / "cut-playing.mp3";
    std::filesystem::copy_file(Mp3Files::get()["sweep44.mp3"], path,
                               std::filesystem::copy_options::overwrite_existing);
    ASSERT_EQ(engine.OpenMp3File(path.c_str(), 500, 0, 0), 1) << engine.GetLastErrorText();
    ASSERT_EQ(engine.Play(), 1) << engine.GetLastErrorText();
    std::this_thread::sleep_for(1s);
    std::filesystem::resize_file(path, 48000);
    EXPECT_TRUE(collector.waitStopped(30s));
    std::this_thread::sleep_for(300ms);
    const WavAudio recorded = stopRecording();
    const std::vector<Segment> segments = findSegments(recorded.channel(0), 44100);
    ASSERT_EQ(segments.size(), 1u);
    EXPECT_NEAR(double(segments[0].length()) / 44100, 3.0, 0.3);
}

TEST_F(EnginePlay, BadDeviceFailsPlay) {
    if (engine.EnumerateWaveOut() == 0) {
        GTEST_SKIP() << engine.GetLastErrorText();
    }
    EXPECT_EQ(engine.SetWaveOutDevice(-1), 1);
    EXPECT_EQ(engine.SetWaveOutDevice(1000), 0);
    stopRecording();
}
