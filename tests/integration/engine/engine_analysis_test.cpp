// Level meters and spectrum of what the engine is playing through ALSA's
// default device into the PulseAudio null sink, read while the decoding
// thread refills the ring.
#include "tests/unit/engine/EffectTestSupport.h"

#include <gtest/gtest.h>

#include <thread>

using namespace tolvane;
using namespace tolvane::test;
using namespace std::chrono_literals;

namespace {

class EngineSpectrum : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(Mp3Files::get().ok()) << "test files not made";
        ASSERT_EQ(engine.SetCallbackFunc(collector.callback(), NOTIFY_STOPPED), 1);
    }

    // Opens a file with 500 ms of buffers, plays it and returns once half a
    // second of it has been heard.
    void play(const std::filesystem::path& mp3) {
        ASSERT_FALSE(mp3.empty());
        ASSERT_EQ(engine.OpenMp3File(mp3.c_str(), 500, 0, 0), 1) << engine.GetLastErrorText();
        ASSERT_EQ(engine.Play(), 1) << engine.GetLastErrorText();
        const auto limit = std::chrono::steady_clock::now() + 10s;
        MP3_TIME position{};
        while (engine.GetPosition(&position) && position.nMilliseconds < 500) {
            ASSERT_LT(std::chrono::steady_clock::now(), limit) << "playback does not advance";
            std::this_thread::sleep_for(10ms);
        }
    }

    // Ten level readings over about a third of a second.
    std::vector<std::pair<uint32_t, uint32_t>> levels() {
        std::vector<std::pair<uint32_t, uint32_t>> read;
        for (int i = 0; i < 10; ++i) {
            uint32_t left = 999, right = 999;
            EXPECT_EQ(engine.GetVUData(&left, &right), 1);
            read.emplace_back(left, right);
            std::this_thread::sleep_for(30ms);
        }
        return read;
    }

    static std::vector<std::pair<uint32_t, uint32_t>> all(uint32_t level) {
        return std::vector<std::pair<uint32_t, uint32_t>>(10, {level, level});
    }

    OutputCollector collector;
    Mp3Engine engine;
};

struct SpectrumRequest {
    explicit SpectrumRequest(int32_t points, int32_t window = 3)
        : frequencies(size_t(points / 2 + 1), -1), left(frequencies), right(frequencies),
          leftPhase(frequencies), rightPhase(frequencies) {
        request = {
            points,           window,           0, frequencies.data(), left.data(), right.data(),
            leftPhase.data(), rightPhase.data()};
    }
    // The bin of the largest amplitude above DC.
    static long peak(const std::vector<int32_t>& amplitudes) {
        return std::max_element(amplitudes.begin() + 1, amplitudes.end()) - amplitudes.begin();
    }
    std::vector<int32_t> frequencies, left, right, leftPhase, rightPhase;
    FFT_STRUCT request{};
};

} // namespace

// A square wave near full scale reads 100 and digital silence 0; with the
// engine's own volume at 0 the square reads 0 too, since the meters see the
// sound after the effects.
TEST_F(EngineSpectrum, LevelsOfSquareAndSilence) {
    play(signalMp3("square.mp3", "4 square 441 gain -1"));
    EXPECT_EQ(levels(), all(100));
    engine.UseInternalVolume(1);
    engine.SetVolume(0, 0);
    // The ring still holds sound at full volume for a while.
    const auto limit = std::chrono::steady_clock::now() + 5s;
    uint32_t left = 1, right = 1;
    while (engine.GetVUData(&left, &right) && left + right > 0) {
        ASSERT_LT(std::chrono::steady_clock::now(), limit) << "the level stays " << left;
        std::this_thread::sleep_for(10ms);
    }
    EXPECT_EQ(levels(), all(0));
    engine.UseInternalVolume(0);
    play(signalMp3("silence.mp3", "4 sine 1000 vol 0"));
    EXPECT_EQ(levels(), all(0));
}

// A 1 kHz tone peaks in bin 1000 / (44100 / N) on both channels: 23 of 1024
// and 6 of 256, which is accepted although the refusal text leaves it out.
TEST_F(EngineSpectrum, OneKilohertzPeaksInItsBin) {
    play(signalMp3("sine1k.mp3", "4 sine 1000 gain -6"));
    for (const auto& [points, bin] : {std::pair{1024, 23L}, std::pair{256, 6L}}) {
        SCOPED_TRACE(points);
        SpectrumRequest spectrum(points);
        ASSERT_EQ(engine.GetFFTValues(&spectrum.request), 1) << engine.GetLastErrorText();
        EXPECT_EQ(spectrum.request.nValues, points / 2 + 1);
        EXPECT_EQ(SpectrumRequest::peak(spectrum.left), bin);
        EXPECT_EQ(SpectrumRequest::peak(spectrum.right), bin);
        EXPECT_EQ(spectrum.frequencies[size_t(bin)],
                  int32_t(float(44100) / float(points) * float(bin)));
    }
    SpectrumRequest refused(4096);
    EXPECT_EQ(engine.GetFFTValues(&refused.request), 0);
    EXPECT_STREQ(engine.GetLastErrorText(),
                 "FFT_STRUCT->nFFTPoints parameter can be only one of these values:\n"
                 "32, 64, 128, 512, 1024, 2048, 8192, 16384");
    EXPECT_EQ(engine.GetFFTValues(nullptr), 1);
}

// Stopped, the spectrum is zeros with the frequencies still filled, and the
// levels are 0.
TEST_F(EngineSpectrum, StoppedGivesZerosAndFrequencies) {
    play(signalMp3("sine1k.mp3", "4 sine 1000 gain -6"));
    ASSERT_EQ(engine.Stop(), 1);
    ASSERT_TRUE(collector.waitStopped(5s));
    SpectrumRequest spectrum(32);
    ASSERT_EQ(engine.GetFFTValues(&spectrum.request), 1);
    EXPECT_EQ(spectrum.request.nValues, 17);
    for (size_t j = 0; j < spectrum.frequencies.size(); ++j) {
        EXPECT_EQ(spectrum.frequencies[j], int32_t(1378.125f * float(j)));
    }
    const std::vector<int32_t> zeros(17, 0);
    EXPECT_EQ(spectrum.left, zeros);
    EXPECT_EQ(spectrum.right, zeros);
    EXPECT_EQ(spectrum.leftPhase, zeros);
    EXPECT_EQ(spectrum.rightPhase, zeros);
    EXPECT_EQ(levels(), all(0));
}

// A new band layout is made with playback stopped, even when it is refused.
TEST_F(EngineSpectrum, CreateEqBandsStopsPlayback) {
    play(signalMp3("sine1k.mp3", "4 sine 1000 gain -6"));
    EXPECT_EQ(engine.CreateEqBands(nullptr, 0), 0);
    EXPECT_STREQ(engine.GetLastErrorText(), "CreateEqBands->Invalid parameters !");
    EXPECT_TRUE(collector.waitStopped(5s));
    MP3_STATUS status{};
    engine.GetStatus(&status);
    EXPECT_EQ(status.fStopped, 1);
}
