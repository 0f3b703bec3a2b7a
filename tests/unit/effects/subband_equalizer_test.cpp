#include "effects/SubbandEqualizer.h"

#include <gtest/gtest.h>

#include <cmath>

namespace tolvane {
namespace {

int32_t expectedFactor(double dB) {
    return int32_t(std::min(std::pow(10.0, dB * 0.05), 7.99999999627471) * 268435456.0 + 0.5);
}

// The sub-bands of each of the ten bands, as first and last sub-band.
constexpr int kBandRanges[10][2] = {{0, 0}, {1, 1},  {2, 2},   {3, 3},   {4, 4},
                                    {5, 7}, {8, 13}, {14, 18}, {19, 23}, {24, 31}};

mad_frame frameOf(mad_fixed_t value, mad_mode mode = MAD_MODE_STEREO,
                  mad_layer layer = MAD_LAYER_III) {
    mad_frame frame;
    mad_frame_init(&frame);
    frame.header.mode = mode;
    frame.header.layer = layer;
    for (auto& channel : frame.sbsample) {
        for (auto& row : channel) {
            for (auto& s : row) {
                s = value;
            }
        }
    }
    return frame;
}

TEST(SubbandEqualizer, EachBandDrivesItsSubbands) {
    SubbandEqualizer eq;
    const int32_t gains[10] = {-9, -7, -5, -3, -1, 1, 2, 3, 4, 6};
    eq.setGains(-2, gains, false);
    for (int b = 0; b < 10; ++b) {
        for (int k = kBandRanges[b][0]; k <= kBandRanges[b][1]; ++k) {
            EXPECT_EQ(eq.factor(k), expectedFactor(gains[b] - 2)) << "sub-band " << k;
            EXPECT_EQ(SubbandEqualizer::bandOfSubband(k), b);
        }
    }
}

TEST(SubbandEqualizer, GainsAboveTheFixedPointRangeAreClipped) {
    SubbandEqualizer eq;
    const int32_t gains[10] = {20, 20, 20, 20, 20, 18, 10, 0, -20, 300};
    eq.setGains(0, gains, false);
    EXPECT_EQ(eq.factor(0), 0x7FFFFFFF); // 7.99999999627471, about +18.06 dB
    EXPECT_EQ(eq.factor(6), expectedFactor(18));
    EXPECT_EQ(eq.factor(31), 0x7FFFFFFF);
    EXPECT_EQ(eq.factor(20), expectedFactor(-20));
}

TEST(SubbandEqualizer, MilliGainsCutBandsToWholeDbButKeepThePreampFraction) {
    SubbandEqualizer eq;
    int32_t gains[10] = {1999, -1999, 0, 0, 0, 0, 0, 0, 0, 0};
    eq.setGains(500, gains, true);
    EXPECT_EQ(eq.factor(0), expectedFactor(1.5));
    EXPECT_EQ(eq.factor(1), expectedFactor(-0.5));
    EXPECT_EQ(eq.factor(2), expectedFactor(0.5));

    int32_t preamp = 0;
    int32_t read[10];
    EXPECT_EQ(eq.getGains(&preamp, read, true), 10);
    EXPECT_EQ(preamp, 500);
    EXPECT_EQ(read[1], -1999);
    EXPECT_EQ(eq.getGains(&preamp, read, false), 10);
    EXPECT_EQ(preamp, 0);
    EXPECT_EQ(read[0], 1);
    EXPECT_EQ(read[1], -1); // truncated toward zero
    read[0] = 77;
    EXPECT_EQ(eq.getGains(nullptr, read, false), 10);
    EXPECT_EQ(read[0], 77);
}

TEST(SubbandEqualizer, NullGainsChangeOnlyThePreamp) {
    SubbandEqualizer eq;
    const int32_t gains[10] = {3, 3, 3, 3, 3, 3, 3, 3, 3, 3};
    eq.setGains(0, gains, false);
    eq.setGains(-3, nullptr, false);
    EXPECT_EQ(eq.factor(9), expectedFactor(0));
}

TEST(SubbandEqualizer, ApplyScalesEveryRowOfBothChannels) {
    SubbandEqualizer eq;
    int32_t gains[10] = {};
    gains[9] = -6;
    eq.setGains(0, gains, false);
    const mad_fixed_t s = 0x01234567;
    mad_frame frame = frameOf(s);
    eq.apply(frame);
    const int64_t unity = (int64_t(s) + 0x800) >> 12;
    const int64_t cut = (int64_t(eq.factor(31)) + 0x8000) >> 16;
    for (int ch = 0; ch < 2; ++ch) {
        EXPECT_EQ(frame.sbsample[ch][35][0], unity * 4096);
        EXPECT_EQ(frame.sbsample[ch][35][31], unity * cut);
        EXPECT_EQ(frame.sbsample[ch][0][24], unity * cut);
    }
    mad_frame_finish(&frame);
}

TEST(SubbandEqualizer, LoudFramesWithLargeGainsSaturateInsteadOfWrapping) {
    SubbandEqualizer eq;
    const int32_t gains[10] = {18, 18, 18, 18, 18, 18, 18, 18, 18, 18};
    eq.setGains(0, gains, false);
    mad_frame frame = frameOf(0x30000000); // 3.0 × 7.94 passes 8.0
    for (auto& row : frame.sbsample[1]) {
        for (auto& s : row) {
            s = -0x30000000;
        }
    }
    frame.sbsample[0][0][0] = 0x00100000; // a quiet sample stays exact
    eq.apply(frame);
    EXPECT_EQ(frame.sbsample[0][1][5], MAD_F_MAX);
    EXPECT_EQ(frame.sbsample[1][1][5], MAD_F_MIN);
    EXPECT_EQ(frame.sbsample[0][0][0],
              (0x00100000 >> 12) * ((int64_t(eq.factor(0)) + 0x8000) >> 16));
    mad_frame_finish(&frame);
}

TEST(SubbandEqualizer, ApplyLeavesWhatTheFrameDoesNotHold) {
    SubbandEqualizer eq;
    const int32_t gains[10] = {-20, -20, -20, -20, -20, -20, -20, -20, -20, -20};
    eq.setGains(0, gains, false);
    const mad_fixed_t s = 0x08000000;
    mad_frame mono = frameOf(s, MAD_MODE_SINGLE_CHANNEL);
    eq.apply(mono);
    EXPECT_NE(mono.sbsample[0][35][3], s);
    EXPECT_EQ(mono.sbsample[1][0][3], s);
    mad_frame_finish(&mono);

    mad_frame layer1 = frameOf(s, MAD_MODE_STEREO, MAD_LAYER_I);
    eq.apply(layer1);
    EXPECT_NE(layer1.sbsample[1][11][3], s);
    EXPECT_EQ(layer1.sbsample[1][12][3], s);
    mad_frame_finish(&layer1);

    mad_frame lsf = frameOf(s);
    lsf.header.flags |= MAD_FLAG_LSF_EXT;
    eq.apply(lsf);
    EXPECT_NE(lsf.sbsample[0][17][3], s);
    EXPECT_EQ(lsf.sbsample[0][18][3], s);
    mad_frame_finish(&lsf);
}

} // namespace
} // namespace tolvane
