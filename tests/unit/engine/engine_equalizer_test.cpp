// Both equalizers in the decoding path, seen through NOTIFY_WAVE_BUFFER in
// no-device mode: the band equalizer's latency dropped when it starts and its
// tail played when it stops, and the sub-band gains with their clipping.
#include "tests/unit/engine/EffectTestSupport.h"

#include <gtest/gtest.h>

using namespace tolvane;
using namespace tolvane::test;

namespace {

// A 44.1 kHz wave buffer holds four 1152-sample frames; the band equalizer
// delays the sound by 12286 frames.
constexpr uint32_t kBufferBytes = 4 * 1152 * 4;
constexpr uint32_t kLatencyBytes = 12286 * 4;

class EngineEqualizer : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_TRUE(Mp3Files::get().ok()) << "test files not made"; }
    static std::filesystem::path file(const std::string& name) { return Mp3Files::get()[name]; }

    static EngineOutput plain(const std::filesystem::path& mp3) {
        EngineOutput out;
        std::string error;
        EXPECT_TRUE(engineDecode(mp3, out, error)) << error;
        return out;
    }
};

// The largest step between neighbouring samples of one channel.
int32_t largestStep(const std::vector<int16_t>& samples) {
    int32_t most = 0;
    for (size_t i = 2; i < samples.size(); ++i) {
        most = std::max(most, std::abs(int32_t(samples[i]) - int32_t(samples[i - 2])));
    }
    return most;
}

// Buffers other than the last that are not full.
std::vector<size_t> shortBuffers(const EngineOutput& out) {
    std::vector<size_t> found;
    for (size_t i = 0; i + 1 < out.bufferBytes.size(); ++i) {
        if (out.bufferBytes[i] != kBufferBytes) {
            found.push_back(i);
        }
    }
    return found;
}

size_t samplesBefore(const EngineOutput& out, size_t buffer) {
    size_t bytes = 0;
    for (size_t i = 0; i < buffer; ++i) {
        bytes += out.bufferBytes[i];
    }
    return bytes / 2;
}

// Switched on after buffer 10 and off after buffer 25.
constexpr uint32_t kOnAfter = 10;
constexpr uint32_t kOffAfter = 25;

void switchOnAndOff(Mp3Engine& engine, uint32_t index) {
    if (index == kOnAfter) {
        EXPECT_EQ(engine.EnableEQ(1, 1), 1) << engine.GetLastErrorText();
    } else if (index == kOffAfter) {
        EXPECT_EQ(engine.EnableEQ(0, 1), 1);
    }
}

} // namespace

// At 0 dB the equalizer's output is its input: switched on and off in
// mid-stream, the sound comes out whole. The buffer sizes show the latency
// dropped after the switch-on (three buffers' worth less the latency) and the
// tail played after the switch-off (the latency less two buffers).
TEST_F(EngineEqualizer, SwitchedOnAndOffMidStreamTheSoundStaysWhole) {
    const EngineOutput reference = plain(file("cbr44.mp3"));
    EngineOutput out;
    std::string error;
    ASSERT_TRUE(engineDecode(file("cbr44.mp3"), out, error, {}, switchOnAndOff)) << error;
    EXPECT_EQ(shortBuffers(out), (std::vector<size_t>{kOnAfter + 1, kOffAfter + 3}));
    ASSERT_GT(out.bufferBytes.size(), kOffAfter + 3);
    EXPECT_EQ(out.bufferBytes[kOnAfter + 1], 3 * kBufferBytes - kLatencyBytes);
    EXPECT_EQ(out.bufferBytes[kOffAfter + 3], kLatencyBytes - 2 * kBufferBytes);
    EXPECT_LE(maxDifference(out.samples, reference.samples), 1);
    EXPECT_LE(largestStep(out.samples), largestStep(reference.samples) + 2);
}

// With the preamp at -6 dB the equalized span, tail included, is the decoded
// sound scaled sample for sample; before and after it the sound is untouched.
TEST_F(EngineEqualizer, FiltersExactlyTheSpanItWasOnFor) {
    const EngineOutput reference = plain(file("cbr44.mp3"));
    EngineOutput out;
    std::string error;
    const auto setup = [](Mp3Engine& engine) {
        EXPECT_EQ(engine.SetEqGains(1, -6, nullptr, 0), 1);
    };
    ASSERT_TRUE(engineDecode(file("cbr44.mp3"), out, error, setup, switchOnAndOff)) << error;
    ASSERT_EQ(out.samples.size(), reference.samples.size());
    const size_t on = samplesBefore(out, kOnAfter + 1);
    const size_t off = samplesBefore(out, kOffAfter + 4); // the tail's end
    const std::span<const int16_t> got(out.samples);
    const std::span<const int16_t> want(reference.samples);
    EXPECT_EQ(maxDifference(got.first(on), want.first(on)), 0);
    EXPECT_EQ(maxDifference(got.subspan(off), want.subspan(off)), 0);
    const double gain = std::pow(10.0, -6 * 0.05);
    double worst = 0;
    for (size_t i = on; i < off; ++i) {
        worst = std::max(worst, std::fabs(got[i] - gain * want[i]));
    }
    EXPECT_LE(worst, 2.0);
}

// Switched on before the run, at 0 dB, the equalizer gives the decoded sound
// back aligned and complete: the end drain plays its last latency. The same
// engine then opens a stream at another rate (designed at the open) and one
// shorter than the latency, which comes out whole too.
TEST_F(EngineEqualizer, OnFromTheStartTheDecodedSoundComesBackWhole) {
    OutputCollector collector;
    Mp3Engine engine;
    ASSERT_EQ(engine.SetCallbackFunc(collector.callback(), kCollectMask), 1);
    ASSERT_EQ(engine.EnableEQ(1, 1), 1) << engine.GetLastErrorText();
    size_t from = 0;
    for (const char* name : {"cbr44.mp3", "mono22.mp3", "short44.mp3"}) {
        SCOPED_TRACE(name);
        const EngineOutput reference = plain(file(name));
        collector.resetStopped();
        ASSERT_EQ(engine.OpenMp3File(file(name).c_str(), 0, 0, 0), 1);
        ASSERT_EQ(engine.Play(), 1) << engine.GetLastErrorText();
        ASSERT_TRUE(collector.waitStopped());
        engine.CloseStream();
        const EngineOutput out = collector.output();
        const std::span<const int16_t> run = std::span<const int16_t>(out.samples).subspan(from);
        from = out.samples.size();
        EXPECT_EQ(run.size(), reference.samples.size());
        EXPECT_LE(maxDifference(run, reference.samples), 1);
    }
}

// +20 dB on a quiet tone: the factor is clipped to 0x7FFFFFFF / 2^28, so the
// sound is 18.06 dB louder, not 20.
TEST_F(EngineEqualizer, SubbandGainOfTwentyDbIsClippedToTheLargestFactor) {
    const auto quiet = signalMp3("quiet1k.mp3", "3 sine 1000 gain -30");
    ASSERT_FALSE(quiet.empty());
    const EngineOutput reference = plain(quiet);
    EngineOutput out;
    std::string error;
    const auto setup = [](Mp3Engine& engine) {
        int32_t gains[10] = {};
        EXPECT_EQ(engine.SetEqGains(0, 20, gains, 10), 1);
        EXPECT_EQ(engine.EnableEQ(1, 0), 1);
        int32_t preamp = 0;
        EXPECT_EQ(engine.GetEqGains(0, &preamp, gains), 10);
        EXPECT_EQ(preamp, 20);
    };
    ASSERT_TRUE(engineDecode(quiet, out, error, setup)) << error;
    ASSERT_EQ(out.samples.size(), reference.samples.size());
    EXPECT_NEAR(rmsDb(out.samples) - rmsDb(reference.samples),
                20 * std::log10(double(0x7FFFFFFF) / double(1 << 28)), 0.05);
}

// The two kinds reach their own equalizer; the status shows each switch.
TEST_F(EngineEqualizer, KindSelectsTheEqualizerAndStatusShowsBoth) {
    Mp3Engine engine;
    int32_t points[16] = {};
    EXPECT_EQ(engine.GetEqBands(points), 11);
    EXPECT_EQ(points[10], 96000);
    int32_t three[] = {0, 1000, 96000};
    ASSERT_EQ(engine.CreateEqBands(three, 3), 1);
    EXPECT_EQ(engine.GetEqGains(1, nullptr, nullptr), 2);
    EXPECT_EQ(engine.GetEqGains(0, nullptr, nullptr), 10);
    int32_t bandGains[] = {-4, 5, 7};
    EXPECT_EQ(engine.SetEqGains(1, 3, bandGains, 3), 1);
    int32_t subbandGains[10] = {1500, 0, 0, 0, 0, 0, 0, 0, 0, -2500};
    EXPECT_EQ(engine.SetEqGainsMilli(0, -1500, subbandGains, 10), 1);
    int32_t preamp = 0;
    int32_t gains[10] = {};
    EXPECT_EQ(engine.GetEqGains(1, &preamp, gains), 2);
    EXPECT_EQ(preamp, 3);
    EXPECT_EQ(gains[0], -4);
    EXPECT_EQ(gains[1], 5);
    EXPECT_EQ(engine.GetEqGains(0, &preamp, gains), 10);
    EXPECT_EQ(preamp, -1);
    EXPECT_EQ(gains[0], 1);
    EXPECT_EQ(gains[9], -2);

    MP3_STATUS status{};
    engine.GetStatus(&status);
    EXPECT_EQ(status.fEqualizer, 0);
    EXPECT_EQ(status.fSubbandEqualizer, 0);
    ASSERT_EQ(engine.EnableEQ(1, 1), 1);
    ASSERT_EQ(engine.EnableEQ(1, 0), 1);
    engine.GetStatus(&status);
    EXPECT_EQ(status.fEqualizer, 1);
    EXPECT_EQ(status.fSubbandEqualizer, 1);
    ASSERT_EQ(engine.EnableEQ(0, 1), 1);
    engine.GetStatus(&status);
    EXPECT_EQ(status.fEqualizer, 0);
    EXPECT_EQ(status.fSubbandEqualizer, 1);

    EXPECT_EQ(engine.CreateEqBands(nullptr, 3), 0);
    EXPECT_STREQ(engine.GetLastErrorText(), "CreateEqBands->Invalid parameters !");
    EXPECT_EQ(engine.CreateEqBands(three, 1), 0);
    EXPECT_EQ(engine.GetEqBands(nullptr), 3);
}
