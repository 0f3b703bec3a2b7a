#include "effects/BandEqualizer.h"
#include "effects/FirDesigner.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <numbers>
#include <random>
#include <thread>
#include <vector>

namespace tolvane {
namespace {

using namespace std::chrono_literals;

constexpr int kRate = 44100;
constexpr int kLatency = BandEqualizer::kLatencyFrames;

using Pcm = std::vector<int16_t>; // interleaved stereo

Pcm tones(int frames, double leftHz, double rightHz, double amplitude) {
    Pcm pcm(size_t(frames) * 2);
    for (int i = 0; i < frames; ++i) {
        const double t = double(i) / kRate;
        pcm[2 * size_t(i)] =
            int16_t(std::lround(amplitude * std::sin(2 * std::numbers::pi * leftHz * t)));
        pcm[2 * size_t(i) + 1] =
            int16_t(std::lround(amplitude * std::sin(2 * std::numbers::pi * rightHz * t)));
    }
    return pcm;
}

Pcm noise(int frames, unsigned seed) {
    std::mt19937 rng(seed);
    std::uniform_int_distribution<int> dist(-20000, 20000);
    Pcm pcm(size_t(frames) * 2);
    for (auto& s : pcm) {
        s = int16_t(dist(rng));
    }
    return pcm;
}

// Runs `pcm` through the equalizer in buffers of `chunk` frames.
Pcm filtered(BandEqualizer& eq, Pcm pcm, int chunk) {
    const int frames = int(pcm.size() / 2);
    for (int at = 0; at < frames; at += chunk) {
        const int n = std::min(chunk, frames - at);
        EXPECT_EQ(eq.apply(pcm.data() + 2 * at, n), n);
    }
    return pcm;
}

// Amplitude of the component at `hz` in one channel over frames [from, to).
double toneAmplitude(const Pcm& pcm, int channel, double hz, int from, int to) {
    double c = 0;
    double s = 0;
    for (int i = from; i < to; ++i) {
        const double angle = 2 * std::numbers::pi * hz * i / kRate;
        c += pcm[2 * size_t(i) + size_t(channel)] * std::cos(angle);
        s += pcm[2 * size_t(i) + size_t(channel)] * std::sin(angle);
    }
    return 2 * std::hypot(c, s) / (to - from);
}

double gainDb(const Pcm& in, const Pcm& out, int channel, double hz) {
    // Steady state: past the latency and one more filter length.
    const int from = kLatency + FirDesigner::kTaps;
    const int to = int(out.size() / 2);
    const double outAmp = toneAmplitude(out, channel, hz, from, to);
    const double inAmp = toneAmplitude(in, channel, hz, from - kLatency, to - kLatency);
    return 20 * std::log10(outAmp / inAmp);
}

void designNow(BandEqualizer& eq) {
    const char* error = "";
    ASSERT_TRUE(eq.enable(true, error)) << error;
    eq.setStreamRate(kRate);
    ASSERT_TRUE(eq.waitForDesigns(120s));
    ASSERT_TRUE(eq.ready());
    ASSERT_EQ(eq.designedRate(), kRate);
}

TEST(FirDesigner, UnityGainsGiveADelayedImpulseWithinHalfAnLsb) {
    std::vector<float> taps(FirDesigner::kTaps);
    const std::vector<float> edges = {115, 240, 455, 800, 2000, 4500, 9000, 13000, 15000};
    const std::vector<float> gains(edges.size() + 1, 1.0f);
    ASSERT_TRUE(FirDesigner::design(edges, gains.data(), kRate, taps.data()));
    double offCentre = 0;
    for (int i = 0; i < FirDesigner::kTaps; ++i) {
        if (i != FirDesigner::kCentre) {
            offCentre += std::fabs(taps[size_t(i)]);
        }
    }
    EXPECT_NEAR(taps[FirDesigner::kCentre], 1.0f, 1e-6);
    // The window's whole effect on a full-scale signal stays below half an LSB.
    EXPECT_LT(offCentre * 32768, 0.5);
    EXPECT_FALSE(FirDesigner::design(edges, gains.data(), 0.0f, taps.data()));
}

TEST(BandEqualizer, ZeroDbOutputIsTheInputDelayedBy12286Frames) {
    BandEqualizer eq;
    designNow(eq);
    const Pcm in = noise(5 * FirDesigner::kTaps, 1u);
    // Odd buffer sizes cross the block boundaries at every offset.
    const Pcm out = filtered(eq, in, 4607);
    const int frames = int(in.size() / 2);
    int worst = 0;
    for (int i = 0; i < frames; ++i) {
        const int expected = i < kLatency ? 0 : in[2 * size_t(i - kLatency)];
        worst = std::max(worst, std::abs(out[2 * size_t(i)] - expected));
        worst = std::max(worst, std::abs(out[2 * size_t(i) + 1] -
                                         (i < kLatency ? 0 : in[2 * size_t(i - kLatency) + 1])));
    }
    EXPECT_LE(worst, 1);
}

TEST(BandEqualizer, CutBandIsTwelveDbLowerWhileOthersPass) {
    BandEqualizer eq;
    int32_t gains[10] = {};
    gains[4] = -12; // 800 to 2000 Hz
    eq.setGains(0, gains, 10, false);
    designNow(eq);
    // Left in the cut band, right in a 0 dB band: one transform carries both.
    const Pcm in = tones(kRate, 1200, 5000, 10000);
    const Pcm out = filtered(eq, in, 4608);
    EXPECT_NEAR(gainDb(in, out, 0, 1200), -12.0, 0.5);
    EXPECT_NEAR(gainDb(in, out, 1, 5000), 0.0, 0.5);
}

TEST(BandEqualizer, PointsAtBothEndsGiveTwoBands) {
    BandEqualizer eq;
    const char* error = "";
    const int32_t points[] = {0, 1000, 96000};
    ASSERT_TRUE(eq.createBands(points, 3, error));
    int32_t back[3] = {};
    EXPECT_EQ(eq.getBands(back), 3);
    EXPECT_EQ(back[1], 1000);
    EXPECT_EQ(eq.designerEdges(), std::vector<float>{1000.0f});
    const int32_t gains[] = {-6, 6};
    eq.setGains(0, gains, 2, false);
    const auto fg = eq.filterGains();
    ASSERT_EQ(fg.size(), 4u);
    EXPECT_NEAR(fg[0], std::pow(10.0, -0.3), 1e-6);
    EXPECT_NEAR(fg[1], std::pow(10.0, 0.3), 1e-6);
    designNow(eq);
    const Pcm in = tones(kRate, 300, 5000, 8000);
    const Pcm out = filtered(eq, in, 4608);
    EXPECT_NEAR(gainDb(in, out, 0, 300), -6.0, 0.5);
    EXPECT_NEAR(gainDb(in, out, 1, 5000), 6.0, 0.5);
}

TEST(BandEqualizer, OneInnerBandPassesEverythingOutsideIt) {
    BandEqualizer eq;
    const char* error = "";
    const int32_t points[] = {100, 1000};
    ASSERT_TRUE(eq.createBands(points, 2, error));
    EXPECT_EQ(eq.designerEdges(), (std::vector<float>{100.0f, 1000.0f}));
    const int32_t gains[] = {-12000};
    eq.setGains(0, gains, 1, true);
    const auto fg = eq.filterGains();
    ASSERT_EQ(fg.size(), 3u);
    EXPECT_EQ(fg[0], 1.0f);
    EXPECT_NEAR(fg[1], std::pow(10.0, -0.6), 1e-6);
    EXPECT_EQ(fg[2], 1.0f);
    designNow(eq);
    Pcm in = tones(kRate, 40, 400, 6000);
    const Pcm high = tones(kRate, 4000, 4000, 6000);
    for (size_t i = 0; i < in.size(); i += 2) {
        in[i + 1] = int16_t(in[i + 1] + high[i]); // right: 400 Hz and 4000 Hz
    }
    const Pcm out = filtered(eq, in, 4608);
    EXPECT_NEAR(gainDb(in, out, 0, 40), 0.0, 0.5);
    EXPECT_NEAR(gainDb(in, out, 1, 400), -12.0, 0.5);
    EXPECT_NEAR(gainDb(in, out, 1, 4000), 0.0, 0.5);
}

TEST(BandEqualizer, SetGainsReadsNoMoreThanTheBandCount) {
    BandEqualizer eq;
    std::vector<int32_t> gains(10, 4); // exactly B values: reading past them fails under ASan
    eq.setGains(1, gains.data(), 1000, false);
    std::vector<int32_t> partial = {-5, -5, -5};
    eq.setGains(2, partial.data(), 3, false);
    int32_t preamp = 0;
    std::vector<int32_t> read(10);
    EXPECT_EQ(eq.getGains(&preamp, read.data(), false), 10);
    EXPECT_EQ(preamp, 2);
    EXPECT_EQ(read, (std::vector<int32_t>{-5, -5, -5, 4, 4, 4, 4, 4, 4, 4}));
    EXPECT_NEAR(eq.filterGains()[3], std::pow(10.0, 6 * 0.05), 1e-5);
    EXPECT_EQ(eq.filterGains()[10], 1.0f);
}

TEST(BandEqualizer, GetGainsCountsOnlyWithoutPreampAndTruncatesDb) {
    BandEqualizer eq;
    const int32_t gains[] = {-1500, 2999};
    eq.setGains(-999, gains, 2, true);
    int32_t read[10] = {77};
    EXPECT_EQ(eq.getGains(nullptr, read, false), 10);
    EXPECT_EQ(read[0], 77);
    int32_t preamp = 5;
    EXPECT_EQ(eq.getGains(&preamp, read, false), 10);
    EXPECT_EQ(preamp, 0);
    EXPECT_EQ(read[0], -1);
    EXPECT_EQ(read[1], 2);
    EXPECT_EQ(eq.getGains(&preamp, read, true), 10);
    EXPECT_EQ(preamp, -999);
    EXPECT_EQ(read[1], 2999);
}

TEST(BandEqualizer, InvalidBandsAreRefusedAndTheOldOnesKept) {
    BandEqualizer eq;
    const char* error = "";
    const int32_t one[] = {500};
    EXPECT_FALSE(eq.createBands(one, 1, error));
    EXPECT_STREQ(error, "CreateEqBands->Invalid parameters !");
    error = "";
    EXPECT_FALSE(eq.createBands(nullptr, 4, error));
    EXPECT_STREQ(error, "CreateEqBands->Invalid parameters !");
    std::vector<int32_t> points(11);
    EXPECT_EQ(eq.getBands(points.data()), 11);
    EXPECT_EQ(points,
              (std::vector<int32_t>{0, 115, 240, 455, 800, 2000, 4500, 9000, 13000, 15000, 96000}));
}

TEST(BandEqualizer, NewLayoutPassesSamplesThroughUntilItsDesignIsDone) {
    BandEqualizer eq;
    int32_t gains[10] = {-20, -20, -20, -20, -20, -20, -20, -20, -20, -20};
    eq.setGains(0, gains, 10, false);
    designNow(eq);
    const char* error = "";
    ASSERT_TRUE(eq.enable(false, error));
    EXPECT_FALSE(eq.ready());
    const int32_t points[] = {0, 500, 96000};
    ASSERT_TRUE(eq.createBands(points, 3, error));
    // No design for this layout: the old −20 dB table must not be used.
    const Pcm in = noise(3 * FirDesigner::kTaps, 2u);
    const Pcm out = filtered(eq, in, 1000);
    for (size_t i = 2 * kLatency; i < out.size(); ++i) {
        ASSERT_EQ(out[i], in[i - 2 * kLatency]) << "sample " << i;
    }
}

// Drives the filter as the decoding thread does over wave buffers of 4608
// frames: unfiltered, switched on (the first latency's output dropped), then
// switched off (the tail emitted, then the held-back buffer unfiltered).
TEST(BandEqualizer, SwitchingOnAndOffMidStreamKeepsTheSignalWhole) {
    BandEqualizer eq;
    designNow(eq);
    constexpr int kBuffer = 4608;
    const Pcm in = tones(20 * kBuffer, 440, 660, 12000);
    const Pcm stale = noise(kBuffer, 3u);
    Pcm out;
    auto queue = [&out](const int16_t* p, int frames) { out.insert(out.end(), p, p + 2 * frames); };
    int countdown = kLatency;
    for (int b = 0; b < 20; ++b) {
        Pcm buffer(in.begin() + 2 * b * kBuffer, in.begin() + 2 * (b + 1) * kBuffer);
        if (b >= 5 && b < 12) {
            eq.apply(buffer.data(), kBuffer);
            const int drop = std::min(countdown, kBuffer);
            countdown -= drop;
            queue(buffer.data() + 2 * drop, kBuffer - drop);
        } else if (b == 12) {
            const Pcm held = buffer;
            for (int tail = kLatency; tail > 0; buffer = stale) {
                eq.apply(buffer.data(), kBuffer);
                queue(buffer.data(), std::min(tail, kBuffer));
                tail -= std::min(tail, kBuffer);
            }
            queue(held.data(), kBuffer);
        } else {
            queue(buffer.data(), kBuffer);
        }
    }
    ASSERT_EQ(out.size(), in.size());
    int worst = 0;
    for (size_t i = 0; i < in.size(); ++i) {
        worst = std::max(worst, std::abs(out[i] - in[i]));
    }
    EXPECT_LE(worst, 1);
}

TEST(BandEqualizer, DesignsChangingWhileTheDecodingThreadApplies) {
    BandEqualizer eq;
    designNow(eq);
    // Only the lowest band changes; a 5 kHz tone must pass whatever table is in use.
    const Pcm in = tones(2 * kRate, 5000, 5000, 10000);
    Pcm out;
    std::thread decoder([&] { out = filtered(eq, in, 4608); });
    for (int change = 0; change < 30; ++change) {
        int32_t gains[10] = {};
        gains[0] = change % 2 ? -12 : 6;
        eq.setGains(0, gains, 10, false);
        std::this_thread::yield();
    }
    decoder.join();
    EXPECT_TRUE(eq.waitForDesigns(120s));
    EXPECT_NEAR(gainDb(in, out, 0, 5000), 0.0, 0.5);
}

TEST(BandEqualizer, NewStreamRateIsDesignedAtOnceWhileReady) {
    BandEqualizer eq;
    designNow(eq);
    eq.setStreamRate(22050);
    EXPECT_EQ(eq.designedRate(), 22050);
    EXPECT_TRUE(eq.ready());
}

TEST(BandEqualizer, EnableTwiceKeepsOneThreadAndDisableClearsReady) {
    BandEqualizer eq;
    const char* error = "";
    designNow(eq);
    EXPECT_TRUE(eq.enable(true, error));
    EXPECT_TRUE(eq.enabled());
    EXPECT_TRUE(eq.waitForDesigns(120s));
    EXPECT_TRUE(eq.enable(false, error));
    EXPECT_FALSE(eq.enabled());
    EXPECT_FALSE(eq.ready());
    EXPECT_TRUE(eq.enable(false, error));
}

TEST(BandEqualizer, DestroyedWithDesignsQueued) {
    // The control thread may be left mid-design; it must finish on its own state.
    for (int round = 0; round < 3; ++round) {
        BandEqualizer eq;
        const char* error = "";
        eq.setStreamRate(kRate);
        ASSERT_TRUE(eq.enable(true, error));
        for (int g = 0; g < 40; ++g) {
            const int32_t gains[] = {g, -g};
            eq.setGains(0, gains, 2, false);
        }
    }
}

} // namespace
} // namespace tolvane
