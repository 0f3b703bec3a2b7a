#include "effects/RealFft.h"

#include <gtest/gtest.h>

#include <cmath>
#include <numbers>
#include <random>
#include <thread>
#include <vector>

namespace tolvane {
namespace {

std::vector<float> noise(int n, unsigned seed) {
    std::mt19937 rng(seed);
    std::uniform_real_distribution<float> dist(-1.0f, 1.0f);
    std::vector<float> x(static_cast<size_t>(n));
    for (auto& v : x) {
        v = dist(rng);
    }
    return x;
}

// The packing's definition summed directly in double precision: entry 2k (or
// 1 for the n/2 term) and 2k + 1 of the forward result.
std::pair<double, double> directBin(const std::vector<float>& x, int k) {
    const int n = int(x.size());
    double c = 0;
    double s = 0;
    for (int j = 0; j < n; ++j) {
        const double angle = 2 * std::numbers::pi * double((int64_t(j) * k) % n) / n;
        c += x[size_t(j)] * std::cos(angle);
        s += x[size_t(j)] * std::sin(angle);
    }
    return {c, s};
}

std::vector<int> binsToCheck(int n) {
    std::vector<int> bins;
    const int step = n <= 2048 ? 1 : n / 512;
    for (int k = 0; k <= n / 2; k += step) {
        bins.push_back(k);
    }
    for (int k : {1, 2, 3, n / 4 + 1, n / 2 - 2, n / 2 - 1, n / 2}) {
        bins.push_back(k);
    }
    return bins;
}

class RealFftSizes : public ::testing::TestWithParam<int> {};

TEST_P(RealFftSizes, ForwardMatchesDirectDftInThePacking) {
    const int n = GetParam();
    const auto x = noise(n, unsigned(n));
    auto fft = RealFft::create(n);
    ASSERT_TRUE(fft);
    std::vector<float> a = x;
    fft->forward(a.data());
    // Single-precision accuracy: rounding grows with log2 n over a bin of size ~√n.
    const double tolerance = 4e-7 * std::log2(n) * std::sqrt(n);
    for (int k : binsToCheck(n)) {
        const auto [c, s] = directBin(x, k);
        if (k == 0) {
            EXPECT_NEAR(a[0], c, tolerance);
        } else if (k == n / 2) {
            EXPECT_NEAR(a[1], c, tolerance) << "n/2 term";
        } else {
            EXPECT_NEAR(a[size_t(2 * k)], c, tolerance) << "cosine of bin " << k;
            EXPECT_NEAR(a[size_t(2 * k + 1)], s, tolerance) << "sine of bin " << k;
        }
    }
}

TEST_P(RealFftSizes, ForwardThenBackwardScalesByHalfTheSize) {
    const int n = GetParam();
    const auto x = noise(n, 7u);
    auto fft = RealFft::create(n);
    ASSERT_TRUE(fft);
    std::vector<float> a = x;
    fft->forward(a.data());
    fft->backward(a.data());
    double worst = 0;
    for (int j = 0; j < n; ++j) {
        worst = std::max(worst, std::fabs(a[size_t(j)] / (n / 2.0) - x[size_t(j)]));
    }
    EXPECT_LT(worst, 2e-6 * std::log2(n)) << "n = " << n;
}

INSTANTIATE_TEST_SUITE_P(EngineSizes, RealFftSizes,
                         ::testing::Values(32, 64, 128, 256, 512, 1024, 2048, 4096, 8192, 16384));

TEST(RealFft, RefusesSizesThatAreNotPowersOfTwo) {
    EXPECT_FALSE(RealFft::create(0));
    EXPECT_FALSE(RealFft::create(1));
    EXPECT_FALSE(RealFft::create(1000));
    EXPECT_FALSE(RealFft::create(-16));
    EXPECT_TRUE(RealFft::create(2));
}

TEST(RealFft, ObjectsOnManyThreadsGiveTheSingleThreadResult) {
    const std::vector<int> sizes = {32, 256, 2048, 16384, 128, 8192};
    std::vector<std::vector<float>> expected;
    for (int n : sizes) {
        auto a = noise(n, 3u);
        RealFft::create(n)->forward(a.data());
        expected.push_back(std::move(a));
    }
    std::vector<std::vector<float>> results(sizes.size() * 4);
    std::vector<std::thread> threads;
    for (size_t t = 0; t < results.size(); ++t) {
        threads.emplace_back([&, t] {
            const int n = sizes[t % sizes.size()];
            auto fft = RealFft::create(n);
            auto a = noise(n, 3u);
            for (int repeat = 0; repeat < 3; ++repeat) {
                results[t] = a;
                fft->forward(results[t].data());
            }
        });
    }
    for (auto& thread : threads) {
        thread.join();
    }
    for (size_t t = 0; t < results.size(); ++t) {
        EXPECT_EQ(results[t], expected[t % sizes.size()]) << "thread " << t;
    }
}

} // namespace
} // namespace tolvane
