#include "effects/FrequencyAnalyzer.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <numbers>
#include <vector>

namespace tolvane {
namespace {

// A ring of wave buffers in memory with the play position set by the test.
class TestRing : public OutputRingView {
  public:
    TestRing(int buffers, int framesEach)
        : buffers_(size_t(buffers), std::vector<int16_t>(size_t(framesEach) * 2)) {}

    bool running() const override { return running_; }
    bool firstBufferDone() const override { return firstDone_; }
    int64_t devicePosition() const override { return position_; }
    int64_t completedBytes() const override { return completed_; }
    uint32_t playingIndex() const override { return playing_; }
    uint32_t bufferCount() const override { return uint32_t(buffers_.size()); }
    const uint8_t* bufferData(uint32_t i) const override {
        return reinterpret_cast<const uint8_t*>(buffers_[i].data());
    }
    uint32_t bufferBytes(uint32_t i) const override { return uint32_t(buffers_[i].size() * 2); }
    int32_t sampleRate() const override { return 44100; }

    // Fills every buffer, frame by frame in ring order, from f(channel, frame).
    template <class F> void fill(F f) {
        int64_t frame = 0;
        for (auto& buffer : buffers_) {
            for (size_t i = 0; i < buffer.size() / 2; ++i, ++frame) {
                buffer[2 * i] = int16_t(f(0, frame));
                buffer[2 * i + 1] = int16_t(f(1, frame));
            }
        }
    }

    std::vector<std::vector<int16_t>> buffers_;
    bool running_ = true;
    bool firstDone_ = true;
    int64_t position_ = 0;
    int64_t completed_ = 0;
    uint32_t playing_ = 0;
};

struct Arrays {
    explicit Arrays(int points) : size(size_t(points / 2 + 1)) {
        for (auto* v : {&freq, &leftAmp, &rightAmp, &leftPhase, &rightPhase}) {
            v->assign(size, -12345);
        }
        request = {
            points,           1, 0, freq.data(), leftAmp.data(), rightAmp.data(), leftPhase.data(),
            rightPhase.data()};
    }
    size_t size;
    std::vector<int32_t> freq, leftAmp, rightAmp, leftPhase, rightPhase;
    FFT_STRUCT request;
};

TEST(SpectrumVu, FullScaleSquareIsHundredAndSilenceZero) {
    TestRing ring(4, 4608);
    ring.fill([](int ch, int64_t i) { return ch == 0 ? ((i / 50) % 2 ? 32767 : -32767) : 0; });
    ring.position_ = 1000;
    FrequencyAnalyzer spectrum;
    const char* error = "";
    uint32_t left = 7, right = 7;
    ASSERT_TRUE(spectrum.getVuData(ring, &left, &right, error));
    EXPECT_EQ(left, 100u);
    EXPECT_EQ(right, 0u);
}

TEST(SpectrumVu, LevelScale) {
    EXPECT_EQ(FrequencyAnalyzer::levelOf(23169), 100u);
    EXPECT_EQ(FrequencyAnalyzer::levelOf(32768), 100u);
    EXPECT_EQ(FrequencyAnalyzer::levelOf(2400), 67u); // 100 + 33 × log10(2400 / 23169)
    EXPECT_EQ(FrequencyAnalyzer::levelOf(21.6), 0u);
    EXPECT_LE(FrequencyAnalyzer::levelOf(21.61), 1u);
}

TEST(SpectrumVu, ZerosUntilPlayingAndAFirstBufferIsDone) {
    TestRing ring(2, 1024);
    ring.fill([](int, int64_t) { return 30000; });
    FrequencyAnalyzer spectrum;
    const char* error = "";
    uint32_t left = 7, right = 7;
    ring.firstDone_ = false;
    ASSERT_TRUE(spectrum.getVuData(ring, &left, &right, error));
    EXPECT_EQ(left + right, 0u);
    ring.firstDone_ = true;
    ring.running_ = false;
    ASSERT_TRUE(spectrum.getVuData(ring, &left, &right, error));
    EXPECT_EQ(left + right, 0u);
}

TEST(SpectrumVu, NullPointerFailsAndWritesNothing) {
    TestRing ring(2, 1024);
    FrequencyAnalyzer spectrum;
    const char* error = "";
    uint32_t left = 7;
    EXPECT_FALSE(spectrum.getVuData(ring, &left, nullptr, error));
    EXPECT_STREQ(error, "GetVUData->Invalid parameters !");
    EXPECT_EQ(left, 7u);
}

TEST(SpectrumVu, PositionPastThePlayingBufferReadsTheNext) {
    TestRing ring(3, 2048);
    ring.fill([](int, int64_t i) { return i >= 2048 && i < 4096 ? 23169 : 0; });
    ring.playing_ = 0;
    ring.completed_ = 0;
    ring.position_ = 2048 * 4 + 400; // buffer 0 is over, its completion not yet counted
    FrequencyAnalyzer spectrum;
    const char* error = "";
    uint32_t left = 0, right = 0;
    ASSERT_TRUE(spectrum.getVuData(ring, &left, &right, error));
    EXPECT_EQ(left, 100u);
    EXPECT_EQ(ring.playing_, 0u); // the engine's index is left to the completion callback
    // Near the end of a buffer the window moves back to fit inside it.
    ring.position_ = 2048 * 4 - 8;
    ring.fill([](int, int64_t i) { return i < 1000 ? 0 : 23169; });
    ASSERT_TRUE(spectrum.getVuData(ring, &left, &right, error));
    EXPECT_EQ(left, 100u);
}

TEST(SpectrumFft, OneKilohertzPeaksInItsBin) {
    TestRing ring(8, 4608);
    ring.fill([](int ch, int64_t i) {
        const double hz = ch == 0 ? 1000 : 3000;
        return std::lround(16000 * std::sin(2 * std::numbers::pi * hz * double(i) / 44100));
    });
    ring.playing_ = 2;
    ring.completed_ = 3 * 4608 * 4;
    ring.position_ = ring.completed_ + 4000 * 4; // 608 frames left: the fetch goes on into buffer 3
    FrequencyAnalyzer spectrum;
    const char* error = "";
    Arrays a(1024);
    a.request.nWindow = 3;
    ASSERT_TRUE(spectrum.getFftValues(ring, &a.request, error)) << error;
    EXPECT_EQ(a.request.nValues, 513);
    const auto peak = [](const std::vector<int32_t>& v) {
        return std::max_element(v.begin(), v.end()) - v.begin();
    };
    EXPECT_EQ(peak(a.leftAmp), 23); // 1000 Hz ÷ 43.07 Hz per bin
    EXPECT_EQ(peak(a.rightAmp), 70);
    EXPECT_EQ(a.freq[23], 990);
    EXPECT_GT(a.leftAmp[23], a.leftAmp[100] + 40);
}

TEST(SpectrumFft, AmplitudeAndPhaseFollowTheirFormulas) {
    TestRing ring(1, 256);
    const int k = 8;
    ring.fill([](int ch, int64_t i) {
        const double angle = 2 * std::numbers::pi * k * double(i) / 256;
        return ch == 0 ? std::lround(1000 + 8000 * std::cos(angle) + 8000 * std::sin(angle))
                       : std::lround(8000 * std::sin(angle));
    });
    FrequencyAnalyzer spectrum;
    const char* error = "";
    Arrays a(256);
    ASSERT_TRUE(spectrum.getFftValues(ring, &a.request, error));
    // Rectangular window: DC sum 256000, bin k has cosine and sine sums of 8000 × 128.
    EXPECT_EQ(a.leftAmp[0], int32_t(20 * std::log10(256000 / 16.0 + 1)));
    EXPECT_EQ(a.leftAmp[k], int32_t(20 * std::log10(std::hypot(1024000.0, 1024000.0) / 16 + 1)));
    EXPECT_GE(a.leftPhase[k], 44);
    EXPECT_LE(a.leftPhase[k], 45);
    EXPECT_GE(std::abs(a.rightPhase[k]), 89);
    EXPECT_EQ(a.leftPhase[0], 0);
    EXPECT_EQ(a.leftPhase[128], 0);
    EXPECT_EQ(a.rightAmp[0], 0);
}

TEST(SpectrumFft, FetchVisitsEachRingBufferOnce) {
    TestRing ring(2, 64);
    ring.fill([](int, int64_t) { return 1000; });
    FrequencyAnalyzer spectrum;
    const char* error = "";
    Arrays a(256);
    ASSERT_TRUE(spectrum.getFftValues(ring, &a.request, error));
    // 128 frames of 1000 and 128 zeros.
    EXPECT_EQ(a.leftAmp[0], int32_t(20 * std::log10(128000 / 16.0 + 1)));
}

TEST(SpectrumFft, SizesAcceptedAndRefused) {
    TestRing ring(2, 4608);
    FrequencyAnalyzer spectrum;
    const char* error = "";
    Arrays refused(4096);
    EXPECT_FALSE(spectrum.getFftValues(ring, &refused.request, error));
    EXPECT_STREQ(error, "FFT_STRUCT->nFFTPoints parameter can be only one of these values:\n"
                        "32, 64, 128, 512, 1024, 2048, 8192, 16384");
    for (int n : {32, 256, 16384, 33, 0}) {
        Arrays a(std::max(n, 2));
        a.request.nFFTPoints = n;
        const bool accepted = n == 32 || n == 256 || n == 16384;
        EXPECT_EQ(spectrum.getFftValues(ring, &a.request, error), accepted) << n;
        if (accepted) {
            EXPECT_EQ(a.request.nValues, n / 2 + 1);
        }
    }
    EXPECT_TRUE(spectrum.getFftValues(ring, nullptr, error));
}

TEST(SpectrumFft, StoppedFillsFrequenciesAndZeros) {
    TestRing ring(2, 4608);
    ring.fill([](int, int64_t i) { return int(i % 2000); });
    ring.running_ = false;
    FrequencyAnalyzer spectrum;
    const char* error = "";
    Arrays a(32);
    ASSERT_TRUE(spectrum.getFftValues(ring, &a.request, error));
    for (size_t j = 0; j < a.size; ++j) {
        EXPECT_EQ(a.freq[j], int32_t(1378.125 * double(j)));
        EXPECT_EQ(a.leftAmp[j], 0);
        EXPECT_EQ(a.rightAmp[j], 0);
        EXPECT_EQ(a.leftPhase[j], 0);
        EXPECT_EQ(a.rightPhase[j], 0);
    }
}

TEST(SpectrumWindows, UnknownTypesAreRectangularAndKnownOnesHaveTheirShape) {
    for (int type : {0, 1, 15, -3}) {
        EXPECT_EQ(FrequencyAnalyzer::windowValue(type, 7, 32), 1.0f) << type;
    }
    // Type, n, expected value for 33 points (centre 16).
    const struct {
        int type, n;
        double value;
    } cases[] = {{2, 0, 0.07672},
                 {3, 16, 1.0},
                 {4, 16, 1.0},
                 {5, 0, 0.0},
                 {6, 0, 0.0},
                 {7, 0, 1.0 / 33},
                 {8, 0, std::exp(-0.5 / 0.09)},
                 {9, 16, 1.0},
                 {10, 0, 0.0},
                 {11, 0, 0.0},
                 {12, 0, 0.00006},
                 {13, 0, 0.0003648},
                 {14, 16, 4.64}};
    for (const auto& c : cases) {
        EXPECT_NEAR(FrequencyAnalyzer::windowValue(c.type, c.n, 33), c.value, 1e-6)
            << "type " << c.type;
    }
}

} // namespace
} // namespace tolvane
