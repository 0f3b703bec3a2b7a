#include "effects/SampleKernels.h"
#include "effects/SubbandEqualizer.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <limits>
#include <random>
#include <vector>

namespace tolvane {
namespace {

using Kernel = SampleKernels::Kernel;
using Row = SampleKernels::Row;

constexpr Kernel kAll[] = {Kernel::Portable, Kernel::Sse2, Kernel::Avx2};
constexpr int32_t kMin32 = std::numeric_limits<int32_t>::min();
constexpr int32_t kMax32 = std::numeric_limits<int32_t>::max();

std::vector<Kernel> vectorKernels() {
    std::vector<Kernel> kernels;
    for (const Kernel kernel : kAll) {
        if (kernel != Kernel::Portable && SampleKernels::runs(kernel)) {
            kernels.push_back(kernel);
        }
    }
    return kernels;
}

// Random inputs weighted towards the edges: the ends of the range, values
// around zero, and otherwise anything.
class Inputs {
  public:
    int32_t any() { return std::uniform_int_distribution<int32_t>()(rng_); }
    int32_t upTo(int32_t n) { return std::uniform_int_distribution<int32_t>(0, n)(rng_); }
    int32_t between(int32_t low, int32_t high) {
        return std::uniform_int_distribution<int32_t>(low, high)(rng_);
    }
    double unit() { return std::uniform_real_distribution<double>(0.0, 1.0)(rng_); }

    int32_t factor() {
        static constexpr int32_t kEdges[] = {0,          1,          -1,         0x7FFF,
                                             0x8000,     0x7FFF7FFF, 0x7FFF8000, 0x7FFFFFFF,
                                             0x10000000, kMin32,     -0x7FFF8001};
        switch (upTo(3)) {
        case 0:
            return kEdges[upTo(int32_t(std::size(kEdges)) - 1)];
        case 1:
            return upTo(0x7FFFFFFF); // what the equalizer and the mix produce
        default:
            return any();
        }
    }

    // A sub-band sample; `gain` is the cut factor it will meet, so that some
    // samples land right at the edge of saturation.
    int32_t subbandSample(int32_t gain) {
        switch (upTo(4)) {
        case 0:
            return upTo(1) ? kMax32 - upTo(4096) : kMin32 + upTo(4096);
        case 1:
            return between(-0x10000000, 0x10000000); // up to full scale
        case 2:
            if (gain != 0) {
                const int64_t edge = (int64_t(1) << 31) / gain + between(-2, 2);
                const int64_t s = (upTo(1) ? edge : -edge) * 4096 + between(-2049, 2048);
                return int32_t(std::clamp<int64_t>(s, kMin32, kMax32));
            }
            [[fallthrough]];
        default:
            return any();
        }
    }

    int16_t sample() {
        static constexpr int16_t kEdges[] = {INT16_MIN, INT16_MIN + 1, -1,       0,
                                             1,         INT16_MAX - 1, INT16_MAX};
        return upTo(2) == 0 ? kEdges[upTo(int32_t(std::size(kEdges)) - 1)]
                            : int16_t(between(-32768, 32767));
    }

  private:
    std::mt19937 rng_{20240611};
};

int32_t cutFactor(int32_t factor) {
    return int32_t((int64_t(factor) + 0x8000) >> 16);
}

// 36 rows as a frame holds them, plus rows after that no kernel may touch.
using Rows = std::array<Row, 40>;

TEST(SampleKernels, EveryKernelGivesTheKnownResults) {
    for (const Kernel kernel : kAll) {
        if (!SampleKernels::runs(kernel)) {
            continue;
        }
        SCOPED_TRACE(int(kernel));
        Row rows[1] = {};
        std::array<int32_t, 32> factors;
        factors.fill(0x10000000);
        const std::pair<int32_t, int32_t> cases[] = {
            {0x10000000, 0x10000000},  {2047, 0x10000000},   {2048, 0x10000000},
            {-2048, 0x10000000},       {-2049, 0x10000000},  {0x10000000, 0x7FFFFFFF},
            {-0x10000000, 0x7FFFFFFF}, {kMax32, 0x7FFFFFFF}, {kMin32, 0x7FFFFFFF},
            {65538 << 12, 0x7FFF0000}};
        for (size_t k = 0; k < std::size(cases); ++k) {
            rows[0][3 * k] = cases[k].first;
            factors[3 * k] = cases[k].second;
        }
        SampleKernels::scaleSubbands(kernel, rows, 1, factors.data());
        const int32_t expected[] = {0x10000000, 0,      4096,   0,      -4096,
                                    kMax32,     kMin32, kMax32, kMin32, 2147483646};
        for (size_t k = 0; k < std::size(cases); ++k) {
            EXPECT_EQ(rows[0][3 * k], expected[k]) << "case " << k;
        }

        Row left[1] = {}, right[1] = {};
        left[0][5] = 0x10000000;
        right[0][5] = 0x08000000;
        SampleKernels::mixSubbands(kernel, left, right, 1, 0x08000000, 0x08000000);
        EXPECT_EQ(left[0][5], 0x0C000000); // half of 1.0 plus half of 0.5
        EXPECT_EQ(right[0][5], 0x0C000000);
        left[0][30] = 0x7FFFF000;
        right[0][30] = 0;
        SampleKernels::mixSubbands(kernel, left, right, 1, 0x7FFFFFFF, 0);
        EXPECT_EQ(left[0][30], -32768); // 524287 * 32768 wrapped
        EXPECT_EQ(right[0][30], -32768);

        std::vector<int16_t> pcm(40);
        const int16_t pairs[][2] = {
            {32767, -32768}, {-32768, 32767}, {100, 30}, {-32768, -32768}, {1, -32768}};
        for (size_t i = 0; i < pcm.size() / 2; ++i) {
            pcm[2 * i] = pairs[i % 5][0];
            pcm[2 * i + 1] = pairs[i % 5][1];
        }
        SampleKernels::cutVocals(kernel, pcm.data(), pcm.size() / 2);
        const int16_t cut[][2] = {
            {32767, -32768}, {-32768, 32767}, {70, -70}, {0, 0}, {32767, -32768}};
        for (size_t i = 0; i < pcm.size() / 2; ++i) {
            EXPECT_EQ(pcm[2 * i], cut[i % 5][0]) << "frame " << i;
            EXPECT_EQ(pcm[2 * i + 1], cut[i % 5][1]) << "frame " << i;
        }

        for (size_t i = 0; i < pcm.size() / 2; ++i) {
            pcm[2 * i] = i % 2 ? int16_t(-3) : int16_t(-32768);
            pcm[2 * i + 1] = i % 2 ? int16_t(7) : int16_t(32767);
        }
        const double gain[2] = {0.5, 0.25};
        SampleKernels::applyGains(kernel, pcm.data(), pcm.size() / 2, gain);
        for (size_t i = 0; i < pcm.size() / 2; ++i) {
            EXPECT_EQ(pcm[2 * i], i % 2 ? -1 : -16384) << "frame " << i;
            EXPECT_EQ(pcm[2 * i + 1], i % 2 ? 1 : 8191) << "frame " << i;
        }
    }
}

// Rows past `count` are compared too, so a kernel writing beyond them fails.
void expectSameRows(const Rows& got, const Rows& want, Kernel kernel, int trial) {
    for (size_t row = 0; row < got.size(); ++row) {
        for (size_t k = 0; k < 32; ++k) {
            if (got[row][k] != want[row][k]) {
                ADD_FAILURE() << "kernel " << int(kernel) << " trial " << trial << " row " << row
                              << " sub-band " << k << ": " << got[row][k] << " instead of "
                              << want[row][k];
                return;
            }
        }
    }
}

TEST(SampleKernels, VectorSubbandScalingMatchesThePlainLoop) {
    const auto kernels = vectorKernels();
    if (kernels.empty()) {
        GTEST_SKIP() << "no vector kernel on this machine";
    }
    Inputs in;
    for (int trial = 0; trial < 600; ++trial) {
        std::array<int32_t, 32> factors;
        for (auto& f : factors) {
            f = in.factor();
        }
        Rows input;
        for (auto& row : input) {
            for (size_t k = 0; k < 32; ++k) {
                row[k] = in.subbandSample(cutFactor(factors[k]));
            }
        }
        const int count = trial % 4 == 0 ? in.upTo(36) : (trial % 2 ? 36 : 12);
        Rows want = input;
        SampleKernels::scaleSubbands(Kernel::Portable, want.data(), count, factors.data());
        for (const Kernel kernel : kernels) {
            Rows got = input;
            SampleKernels::scaleSubbands(kernel, got.data(), count, factors.data());
            expectSameRows(got, want, kernel, trial);
        }
    }
}

TEST(SampleKernels, VectorChannelMixMatchesThePlainLoop) {
    const auto kernels = vectorKernels();
    if (kernels.empty()) {
        GTEST_SKIP() << "no vector kernel on this machine";
    }
    Inputs in;
    for (int trial = 0; trial < 600; ++trial) {
        const int32_t leftFactor = in.factor();
        const int32_t rightFactor = in.factor();
        Rows left, right;
        for (size_t row = 0; row < left.size(); ++row) {
            for (size_t k = 0; k < 32; ++k) {
                left[row][k] = in.subbandSample(cutFactor(leftFactor));
                right[row][k] = in.subbandSample(cutFactor(rightFactor));
            }
        }
        const int count = trial % 4 == 0 ? in.upTo(36) : (trial % 2 ? 36 : 12);
        Rows wantLeft = left, wantRight = right;
        SampleKernels::mixSubbands(Kernel::Portable, wantLeft.data(), wantRight.data(), count,
                                   leftFactor, rightFactor);
        for (const Kernel kernel : kernels) {
            Rows gotLeft = left, gotRight = right;
            SampleKernels::mixSubbands(kernel, gotLeft.data(), gotRight.data(), count, leftFactor,
                                       rightFactor);
            expectSameRows(gotLeft, wantLeft, kernel, trial);
            expectSameRows(gotRight, wantRight, kernel, trial);
        }
    }
}

// Every length up to a few vectors, from every start within a vector, with
// samples after the block that must stay as they were.
template <typename Apply> void comparePcm(Apply apply) {
    const auto kernels = vectorKernels();
    if (kernels.empty()) {
        GTEST_SKIP() << "no vector kernel on this machine";
    }
    Inputs in;
    for (int trial = 0; trial < 40; ++trial) {
        const double gain[2] = {trial % 5 == 0 ? 1.0 : in.unit(), trial % 7 == 0 ? 0.0 : in.unit()};
        for (size_t start = 0; start < 8; ++start) {
            for (size_t frames = 0; frames <= 40; ++frames) {
                std::vector<int16_t> input(start + 2 * frames + 8);
                for (auto& s : input) {
                    s = in.sample();
                }
                std::vector<int16_t> want = input;
                apply(Kernel::Portable, want.data() + start, frames, gain);
                for (const Kernel kernel : kernels) {
                    std::vector<int16_t> got = input;
                    apply(kernel, got.data() + start, frames, gain);
                    ASSERT_EQ(got, want)
                        << "kernel " << int(kernel) << " start " << start << " frames " << frames
                        << " gains " << gain[0] << ", " << gain[1];
                }
            }
        }
    }
}

TEST(SampleKernels, VectorVocalCutMatchesThePlainLoop) {
    comparePcm([](Kernel kernel, int16_t* samples, size_t frames, const double*) {
        SampleKernels::cutVocals(kernel, samples, frames);
    });
}

TEST(SampleKernels, VectorGainsMatchThePlainLoop) {
    comparePcm([](Kernel kernel, int16_t* samples, size_t frames, const double* gain) {
        SampleKernels::applyGains(kernel, samples, frames, gain);
    });
}

// The equalizer takes the machine's fastest kernel; layers I and III, mono
// and stereo, at the largest gains.
TEST(SampleKernels, SubbandEqualizerMatchesThePlainLoop) {
    SubbandEqualizer eq;
    const int32_t gains[10] = {20, -20, 18, 6, 0, -6, 12, 3, 19, 7};
    eq.setGains(0, gains, false);
    std::array<int32_t, 32> factors;
    for (int k = 0; k < 32; ++k) {
        factors[size_t(k)] = eq.factor(k);
    }
    Inputs in;
    for (const mad_layer layer : {MAD_LAYER_I, MAD_LAYER_III}) {
        for (const mad_mode mode : {MAD_MODE_SINGLE_CHANNEL, MAD_MODE_JOINT_STEREO}) {
            mad_frame frame;
            mad_frame_init(&frame);
            frame.header.layer = layer;
            frame.header.mode = mode;
            for (auto& channel : frame.sbsample) {
                for (auto& row : channel) {
                    for (size_t k = 0; k < 32; ++k) {
                        row[k] = in.subbandSample(cutFactor(factors[k]));
                    }
                }
            }
            mad_frame want = frame;
            for (int ch = 0; ch < MAD_NCHANNELS(&frame.header); ++ch) {
                SampleKernels::scaleSubbands(Kernel::Portable, want.sbsample[ch],
                                             MAD_NSBSAMPLES(&frame.header), factors.data());
            }
            eq.apply(frame);
            EXPECT_EQ(std::memcmp(frame.sbsample, want.sbsample, sizeof frame.sbsample), 0)
                << "layer " << int(layer) << " mode " << int(mode);
            mad_frame_finish(&frame);
        }
    }
}

} // namespace
} // namespace tolvane
