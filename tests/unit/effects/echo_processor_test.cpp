#include "effects/EchoProcessor.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cmath>
#include <sstream>
#include <thread>
#include <vector>

using namespace tolvane;

namespace {

constexpr size_t kBufferBytes = 4608; // one MPEG-1 frame of 16-bit stereo
constexpr size_t kHalfSamples = kBufferBytes / 4;
constexpr size_t kProbe = 100; // frame of the impulse inside a half
using Samples = std::vector<int16_t>;

// The built-in modes as published ("0 x10" is ten zero taps); null right = same as left.
const char* const kPublishedModes[10][2] = {
    {"0.5, 0.2, 0.1, 0 x17", nullptr},
    {"0.2, 0.3, 0.2, 0.1, 0.05, 0 x15", nullptr},
    {"0.5, 0.3, 0.1, 0.3, 0.2, 0.1, 0.2, 0.1, 0.3, 0.2, 0.1, 0.1, 0.05, 0.03, 0.2, 0.1, 0.05, 0.1, "
     "0.02, 0.01",
     nullptr},
    {"0.5, 0.3, 0.2, 0.1, 0.05, 0 x10, 0.2, 0.15, 0.1, 0.07, 0.05",
     "0, 0, 0.5, 0.3, 0.2, 0.1, 0.05, 0 x10, 0.2, 0.15, 0.02"},
    {"0.5, 0.3, 0.2, 0.1, 0.05, 0 x10, 0.2, 0.15, 0.1, 0.07, 0.05",
     "0.5, 0.1, 0 x7, 0.5, 0.2, 0.1, 0 x5, 0.3, 0.2, 0.04"},
    {"0.5, 0.2, 0.1, 0 x14, 0.3, 0.2, 0.1", nullptr},
    {"0.3, 0.1, 0.2, 0.05, 0.1, 0.05, 0.05, 0.025, 0.1, 0.05, 0.1, 0.05, 0.1, 0.01, 0.05, 0.01, "
     "0.1, 0.01, 0.1, 0.01",
     nullptr},
    {"0.5, 0.4, 0.2, 0.1, 0.025, 0 x10, 0.3, 0.2, 0.1, 0.05, 0.01",
     "0, 0, 0, 0.5, 0.2, 0.1, 0.05, 0 x9, 0.3, 0.2, 0.05, 0.01"},
    {"0.5, 0.3, 0.2, 0.1, 0.05, 0.025, 0.017, 0.005, 0 x9, 0.1, 0.05, 0.025", nullptr},
    {"0.5, 0.2, 0.1, 0.3, 0.2, 0.1, 0.2, 0.1, 0.05, 0.1, 0.05, 0.025, 0.1, 0.05, 0.05, 0.025, 0.1, "
     "0.05, 0.025, 0.01",
     nullptr},
};

std::vector<double> publishedTaps(int mode, int channel) {
    const char* right = kPublishedModes[mode][1];
    std::istringstream in(channel == 1 && right ? right : kPublishedModes[mode][0]);
    std::vector<double> taps;
    for (std::string item; std::getline(in, item, ',');) {
        const size_t x = item.find('x');
        taps.insert(taps.end(), x == std::string::npos ? 1 : std::stoul(item.substr(x + 1)),
                    std::stod(item));
    }
    EXPECT_EQ(taps.size(), 20u) << "mode " << mode;
    return taps;
}

// An impulse of (20001, -12001) at kProbe of the first half, then silence:
// returns what each half holds at kProbe, after checking every other frame stays 0.
std::array<Samples, 2> impulseResponse(EchoProcessor& echo, size_t halves) {
    std::array<Samples, 2> probe;
    Samples buffer(kBufferBytes / 2);
    for (size_t h = 0; h < halves; h += 2) {
        std::fill(buffer.begin(), buffer.end(), int16_t(0));
        buffer[2 * kProbe] = h == 0 ? 20001 : 0;
        buffer[2 * kProbe + 1] = h == 0 ? -12001 : 0;
        echo.process(buffer.data(), kBufferBytes);
        for (size_t i = 0; i < buffer.size(); ++i) {
            if (i % kHalfSamples / 2 == kProbe) {
                probe[i % 2].push_back(buffer[i]);
            } else {
                EXPECT_EQ(buffer[i], 0) << "half " << h + i / kHalfSamples << " sample " << i;
            }
        }
    }
    return probe;
}

// At 0 dB: the halved impulse dry in half 0, tap j of it in half offset + j.
void expectPublishedResponse(EchoProcessor& echo, int mode, size_t offset) {
    const size_t halves = 42;
    const auto got = impulseResponse(echo, halves);
    for (int channel = 0; channel < 2; ++channel) {
        const std::vector<double> taps = publishedTaps(mode, channel);
        const double halved = channel == 0 ? 10000 : -6000;
        Samples want;
        for (size_t h = 0; h < halves; ++h) {
            const double wet = h >= offset && h - offset < 20 ? taps[h - offset] * halved : 0;
            want.push_back(int16_t(std::trunc((h == 0 ? halved : 0.0) + wet)));
        }
        EXPECT_EQ(got[channel], want) << "mode " << mode << " channel " << channel;
    }
}

class EchoProcessorTest : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_TRUE(echo.prepareForStream(kBufferBytes)); }
    // Mode 5 is the one tests rewrite; its published weights are whole percent.
    void TearDown() override {
        const int32_t mode5[20] = {50, 20, 10, 0, 0, 0, 0, 0,  0,  0,
                                   0,  0,  0,  0, 0, 0, 0, 30, 20, 10};
        ASSERT_EQ(echo.SetSfxModeData(5, mode5, mode5, 20, error), 1);
    }
    void enable(int32_t mode, int32_t delay, int32_t dry = 0, int32_t wet = 0, int32_t out = 0) {
        ASSERT_EQ(echo.SetSfxParam(1, mode, delay, dry, wet, out, error), 1) << error;
    }
    std::array<int32_t, 5> params() {
        std::array<int32_t, 5> p{};
        EXPECT_EQ(echo.GetSfxParam(&p[0], &p[1], &p[2], &p[3], &p[4], error), 1);
        return p;
    }

    EchoProcessor echo;
    const char* error = "";
};

TEST_F(EchoProcessorTest, EveryBuiltInModeEchoesItsPublishedTaps) {
    for (int mode = 0; mode < 10; ++mode) {
        enable(mode, 0);
        EXPECT_EQ(echo.mode(), mode);
        expectPublishedResponse(echo, mode, 0);
    }
}

TEST_F(EchoProcessorTest, ModeAndDelayAreClampedAndDelayPicksTheOffset) {
    struct Case {
        int32_t mode, delay, wantMode, wantDelay;
        size_t offset;
    };
    for (const Case c : {Case{12, 5000, 9, 1000, 20}, Case{-3, -10, 0, 0, 0}, Case{0, 49, 0, 49, 0},
                         Case{0, 50, 0, 50, 1}, Case{4, 999, 4, 999, 19}}) {
        enable(c.mode, c.delay, 7, -12, -2000000000);
        EXPECT_EQ(params(), (std::array{c.wantMode, c.wantDelay, 7, -12, -2000000000}));
        enable(c.mode, c.delay);
        expectPublishedResponse(echo, c.wantMode, c.offset);
    }
}

TEST_F(EchoProcessorTest, ModeZeroAtZeroDecibelsFollowsItsFormulaOnMusic) {
    enable(0, 0);
    Samples input(kBufferBytes / 2 * 6);
    uint32_t noise = 12345;
    for (size_t i = 0; i < input.size(); ++i) {
        noise = noise * 1103515245u + 12345u;
        const double tone = 32000 * std::sin(double(i / 2) * 0.031 + double(i % 2) * 1.3);
        input[i] = int16_t(std::clamp(tone + double(noise >> 21) - 1024.0, -32768.0, 32767.0));
    }
    input[8] = -32768;
    Samples output = input;
    for (size_t at = 0; at < output.size(); at += kBufferBytes / 2) {
        echo.process(output.data() + at, kBufferBytes);
    }
    auto halved = [&](size_t i, size_t back) {
        return i >= back * kHalfSamples ? double(input[i - back * kHalfSamples] / 2) : 0.0;
    };
    for (size_t i = 0; i < input.size(); ++i) {
        const double x = halved(i, 0);
        const double want = x + (0.5 * x + 0.2 * halved(i, 1) + 0.1 * halved(i, 2));
        ASSERT_EQ(output[i], int16_t(std::trunc(want))) << "sample " << i;
    }
}

TEST_F(EchoProcessorTest, LoudEchoesAndHugeGainsSaturateInsteadOfWrapping) {
    enable(2, 0, 0, 0, 6);
    for (const int16_t level : {int16_t(32767), int16_t(-32768)}) {
        echo.clearHistory();
        for (int pass = 0; pass < 4; ++pass) {
            Samples buffer(kBufferBytes / 2, level);
            echo.process(buffer.data(), kBufferBytes);
            ASSERT_EQ(buffer, Samples(buffer.size(), level)) << "pass " << pass;
        }
    }
    // Gains whose sum overflows 32 bits, on silence and on quiet sound with no echo yet.
    enable(1, 1000, INT32_MAX, INT32_MAX, INT32_MAX);
    Samples buffer(kBufferBytes / 2), want(kBufferBytes / 2);
    for (size_t i = 0; i < buffer.size(); ++i) {
        buffer[i] = int16_t(i % 3 == 0 ? 0 : i % 3 == 1 ? 9 : -9);
        want[i] = int16_t(i % 3 == 0 ? 0 : i % 3 == 1 ? 32767 : -32768);
    }
    echo.process(buffer.data(), kBufferBytes);
    EXPECT_EQ(buffer, want);
}

// Every mixing loop against the formula, with left and right taps that differ
// and have gaps (mode 3), offset 1, gains, clipping, and halves of 1151 frames
// so that each loop also runs its leftover frames.
TEST_F(EchoProcessorTest, EveryKernelComputesTheFormulasSamples) {
    constexpr size_t kFrames = 1151;
    constexpr size_t kBytes = kFrames * 2 * 4;
    constexpr int32_t kDry = -3, kWet = 4, kOut = 2;
    const double dry = std::pow(10.0, (kDry + kOut) * 0.05);
    const double wet = std::pow(10.0, (kWet + kOut) * 0.05);
    const std::vector<double> taps[2] = {publishedTaps(3, 0), publishedTaps(3, 1)};

    Samples input(kBytes / 2 * 8);
    uint32_t noise = 777;
    for (size_t i = 0; i < input.size(); ++i) {
        noise = noise * 1103515245u + 12345u;
        const double tone = 20000 * std::sin(double(i / 2) * 0.013 + double(i % 2));
        input[i] = int16_t(std::clamp(tone + double(noise >> 18) - 8192.0, -32768.0, 32767.0));
    }
    input[3] = -32768;
    const size_t halfSamples = 2 * kFrames;
    auto halved = [&](size_t i, size_t back) {
        return i >= back * halfSamples ? double(input[i - back * halfSamples] / 2) : 0.0;
    };
    Samples want(input.size());
    for (size_t i = 0; i < input.size(); ++i) {
        double sum = 0.0;
        for (size_t j = 0; j < 20; ++j) {
            if (taps[i % 2][j] != 0.0) {
                sum += taps[i % 2][j] * halved(i, 1 + j);
            }
        }
        const double out = halved(i, 0) * dry + sum * wet;
        want[i] = int16_t(std::trunc(std::clamp(out, -32768.0, 32767.0)));
    }

    using Kernel = EchoProcessor::Kernel;
    for (const Kernel kernel : {Kernel::Portable, Kernel::Sse2, Kernel::Avx}) {
        EchoProcessor loop;
        if (!loop.useKernel(kernel)) {
            EXPECT_NE(kernel, Kernel::Portable);
            continue;
        }
        ASSERT_TRUE(loop.prepareForStream(kBytes));
        ASSERT_EQ(loop.SetSfxParam(1, 3, 50, kDry, kWet, kOut, error), 1);
        Samples output = input;
        for (size_t at = 0; at < output.size(); at += kBytes / 2) {
            loop.process(output.data() + at, kBytes);
        }
        EXPECT_EQ(output, want) << "kernel " << int(kernel);
    }
}

// A dry term overflowing to +inf against an echo term at -inf is silence, in
// every loop; the other channel, with no echo, saturates.
TEST_F(EchoProcessorTest, OppositeInfiniteTermsGiveSilence) {
    const int32_t invert[20] = {-100};
    const int32_t none[20] = {};
    ASSERT_EQ(echo.SetSfxModeData(5, invert, none, 20, error), 1);
    Samples input(kBufferBytes / 2), want(kBufferBytes / 2);
    for (size_t i = 0; i < input.size(); ++i) {
        input[i] = int16_t(int(i * 37 % 1001) - 500);
        const int half = input[i] / 2;
        want[i] = int16_t(i % 2 == 0 || half == 0 ? 0 : half > 0 ? 32767 : -32768);
    }
    using Kernel = EchoProcessor::Kernel;
    for (const Kernel kernel : {Kernel::Portable, Kernel::Sse2, Kernel::Avx}) {
        EchoProcessor loop;
        if (!loop.useKernel(kernel)) {
            continue;
        }
        ASSERT_TRUE(loop.prepareForStream(kBufferBytes));
        ASSERT_EQ(loop.SetSfxParam(1, 5, 0, INT32_MAX, INT32_MAX, 0, error), 1);
        Samples buffer = input;
        loop.process(buffer.data(), kBufferBytes);
        EXPECT_EQ(buffer, want) << "kernel " << int(kernel);
    }
}

TEST_F(EchoProcessorTest, ModeDataIsReadInWholePercentAndBadDataIsRefused) {
    int32_t left[20], right[20];
    EXPECT_EQ(EchoProcessor::GetSfxModeData(8, left, right), 20);
    const int32_t mode8[20] = {50, 30, 20, 10, 5, 2, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 10, 5, 2};
    EXPECT_TRUE(std::equal(mode8, mode8 + 20, left) && std::equal(mode8, mode8 + 20, right));

    const int32_t values[20] = {99, 99, 99};
    for (auto [mode, l, r, count] : {std::tuple{5, values, values, 19},
                                     {5, nullptr, values, 20},
                                     {5, values, nullptr, 20},
                                     {10, values, values, 20}}) {
        error = "";
        EXPECT_EQ(echo.SetSfxModeData(mode, l, r, count, error), 0);
        EXPECT_STREQ(error, "SetSfxModeData->Invalid parameters !");
    }
    left[0] = -7;
    EXPECT_EQ(EchoProcessor::GetSfxModeData(5, left, nullptr), 20);
    EXPECT_EQ(left[0], -7);
    EchoProcessor::GetSfxModeData(5, left, right);
    EXPECT_EQ(left[0], 50);
}

TEST_F(EchoProcessorTest, NewModeDataIsSharedAndReloadsTheCurrentMode) {
    enable(5, 0);
    Samples loud(kBufferBytes / 2, 20000);
    echo.process(loud.data(), kBufferBytes);

    const int32_t left[20] = {29, 58, -30, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 116};
    const int32_t right[20] = {};
    ASSERT_EQ(echo.SetSfxModeData(5, left, right, 20, error), 1);
    int32_t got[20], unused[20];
    EchoProcessor::GetSfxModeData(5, got, unused);
    EXPECT_TRUE(std::equal(left, left + 20, got)); // 29 reads back as 29, not 28

    // The enabled processor took the new taps and forgot its loud history.
    const auto now = impulseResponse(echo, 20);
    EXPECT_EQ(now[0][0], int16_t(std::trunc(10000 + 0.29 * 10000)));
    EXPECT_EQ(now[0][2], -3000);
    EXPECT_EQ(now[0][19], 11600);
    EXPECT_EQ(now[1][1], 0);

    EchoProcessor other;
    ASSERT_TRUE(other.prepareForStream(kBufferBytes));
    ASSERT_EQ(other.SetSfxParam(1, 5, 0, 0, 0, 0, error), 1);
    EXPECT_EQ(impulseResponse(other, 20), now);
}

TEST_F(EchoProcessorTest, DisablingKeepsParametersAndPassesSoundThrough) {
    EXPECT_FALSE(echo.enabled());
    enable(3, 100, 2, -3, 1);
    EXPECT_TRUE(echo.enabled());
    ASSERT_EQ(echo.SetSfxParam(0, 7, 300, 9, 9, 9, error), 1);
    EXPECT_FALSE(echo.enabled());
    EXPECT_EQ(params(), (std::array{7, 100, 2, -3, 1}));
    Samples buffer(kBufferBytes / 2, 1234);
    echo.process(buffer.data(), kBufferBytes);
    EXPECT_EQ(buffer, Samples(buffer.size(), 1234));

    int32_t v;
    EXPECT_EQ(echo.GetSfxParam(&v, &v, nullptr, &v, &v, error), 0);
    EXPECT_STREQ(error, "GetSfxParam->Invalid parameters !");
}

TEST_F(EchoProcessorTest, OddAndOversizedBuffersKeepChannelsAndStayInBounds) {
    const size_t oddBytes = 4 * 1151;
    ASSERT_TRUE(echo.prepareForStream(oddBytes));
    enable(3, 0); // left tap 0 is 0.5, right tap 0 is 0
    Samples buffer(oddBytes / 2, 0);
    buffer[2 * (575 + 10)] = 20000; // a left sample in the second half
    echo.process(buffer.data(), oddBytes);
    EXPECT_EQ(buffer[2 * (575 + 10)], 15000);
    EXPECT_EQ(buffer[2 * (575 + 10) + 1], 0);

    enable(3, 0, 0, -1000, 0); // echo too faint to count
    Samples big(oddBytes / 2 * 3, 1001);
    echo.process(big.data(), big.size() * 2);
    EXPECT_EQ(big, Samples(big.size(), 500));
}

TEST_F(EchoProcessorTest, HistoryThatCannotBeAllocatedLeavesTheEffectOff) {
    ASSERT_TRUE(echo.prepareForStream(SIZE_MAX));
    EXPECT_EQ(echo.SetSfxParam(1, 2, 0, 0, 0, 0, error), 0);
    EXPECT_STREQ(error, "SetSfxParam->Can't reallocate sfx buffers !");
    EXPECT_FALSE(echo.enabled());

    ASSERT_TRUE(echo.prepareForStream(kBufferBytes));
    enable(2, 0);
    EXPECT_FALSE(echo.prepareForStream(SIZE_MAX));
    EXPECT_FALSE(echo.enabled());
}

// The decoding thread processes while the application thread keeps changing
// the parameters: every buffer is processed with one whole set or not at all.
TEST_F(EchoProcessorTest, ReconfiguringWhileProcessingNeverSplitsABuffer) {
    std::atomic<bool> done{false};
    std::atomic<int> mixed{0}, processed{0};
    std::thread decoder([&] {
        Samples buffer(kBufferBytes / 2);
        while (!done.load()) {
            std::fill(buffer.begin(), buffer.end(), int16_t(10000));
            echo.process(buffer.data(), kBufferBytes);
            const int16_t first = buffer[0]; // untouched, or x/2 at 0 dB or -6 dB
            if ((first != 10000 && first != 5000 && first != 2505) ||
                std::count(buffer.begin(), buffer.end(), first) != long(buffer.size())) {
                ++mixed;
            }
            ++processed;
        }
    });
    const char* threadError = "";
    for (int i = 0; i < 3000 || processed.load() < 50; ++i) {
        // Echo at -1000 dB is silent, so only the dry gain shows.
        ASSERT_EQ(
            echo.SetSfxParam(i % 3 != 2, i % 10, i % 1000, (i % 2) * -6, -1000, 0, threadError), 1);
    }
    done.store(true);
    decoder.join();
    EXPECT_EQ(mixed.load(), 0);
}

} // namespace
