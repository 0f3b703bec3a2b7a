#include "effects/EchoProcessor.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <mutex>

// The process-wide echo mode table: ten modes of 20 left and 20 right tap
// weights, tap j sounding (offset + j) half buffers after the sound.
namespace tolvane {

namespace {

using Taps = std::array<double, EchoProcessor::kTapCount>;

struct Mode {
    Taps left;
    Taps right;
};

using ModeTable = std::array<Mode, EchoProcessor::kModeCount>;

constexpr Taps kMode3Left = {0.5, 0.3, 0.2, 0.1, 0.05, 0,   0,    0,   0,    0,
                             0,   0,   0,   0,   0,    0.2, 0.15, 0.1, 0.07, 0.05};

constexpr ModeTable kBuiltInModes = {{
    {{0.5, 0.2, 0.1}, {0.5, 0.2, 0.1}},
    {{0.2, 0.3, 0.2, 0.1, 0.05}, {0.2, 0.3, 0.2, 0.1, 0.05}},
    {{0.5, 0.3, 0.1,  0.3,  0.2, 0.1, 0.2,  0.1, 0.3,  0.2,
      0.1, 0.1, 0.05, 0.03, 0.2, 0.1, 0.05, 0.1, 0.02, 0.01},
     {0.5, 0.3, 0.1,  0.3,  0.2, 0.1, 0.2,  0.1, 0.3,  0.2,
      0.1, 0.1, 0.05, 0.03, 0.2, 0.1, 0.05, 0.1, 0.02, 0.01}},
    {kMode3Left, {0, 0, 0.5, 0.3, 0.2, 0.1, 0.05, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0.2, 0.15, 0.02}},
    {kMode3Left, {0.5, 0.1, 0, 0, 0, 0, 0, 0, 0, 0.5, 0.2, 0.1, 0, 0, 0, 0, 0, 0.3, 0.2, 0.04}},
    {{0.5, 0.2, 0.1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0.3, 0.2, 0.1},
     {0.5, 0.2, 0.1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0.3, 0.2, 0.1}},
    {{0.3, 0.1,  0.2, 0.05, 0.1,  0.05, 0.05, 0.025, 0.1, 0.05,
      0.1, 0.05, 0.1, 0.01, 0.05, 0.01, 0.1,  0.01,  0.1, 0.01},
     {0.3, 0.1,  0.2, 0.05, 0.1,  0.05, 0.05, 0.025, 0.1, 0.05,
      0.1, 0.05, 0.1, 0.01, 0.05, 0.01, 0.1,  0.01,  0.1, 0.01}},
    {{0.5, 0.4, 0.2, 0.1, 0.025, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0.3, 0.2, 0.1, 0.05, 0.01},
     {0, 0, 0, 0.5, 0.2, 0.1, 0.05, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0.3, 0.2, 0.05, 0.01}},
    {{0.5, 0.3, 0.2, 0.1, 0.05, 0.025, 0.017, 0.005, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0.1, 0.05, 0.025},
     {0.5, 0.3, 0.2, 0.1, 0.05, 0.025, 0.017, 0.005, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0.1, 0.05, 0.025}},
    {{0.5,  0.2,   0.1, 0.3,  0.2,  0.1,   0.2, 0.1,  0.05,  0.1,
      0.05, 0.025, 0.1, 0.05, 0.05, 0.025, 0.1, 0.05, 0.025, 0.01},
     {0.5,  0.2,   0.1, 0.3,  0.2,  0.1,   0.2, 0.1,  0.05,  0.1,
      0.05, 0.025, 0.1, 0.05, 0.05, 0.025, 0.1, 0.05, 0.025, 0.01}},
}};

// Function-local statics, so engines built during static initialisation find
// the table ready.
std::mutex& tableLock() {
    static std::mutex lock;
    return lock;
}

ModeTable& modeTable() {
    static ModeTable table = kBuiltInModes;
    return table;
}

int32_t clampMode(int32_t mode) {
    return std::clamp(mode, 0, EchoProcessor::kModeCount - 1);
}

// The whole part of weight × 100. A weight stored from whole percent (29 →
// 0.29) comes back as that percent, not one less through rounding error.
int32_t wholePercent(double weight) {
    double percent = weight * 100.0;
    const double nearest = std::nearbyint(percent);
    if (std::fabs(percent - nearest) <= 1e-9 * std::max(1.0, std::fabs(percent))) {
        percent = nearest;
    }
    constexpr double kMin = std::numeric_limits<int32_t>::min();
    constexpr double kMax = std::numeric_limits<int32_t>::max();
    return int32_t(std::clamp(std::trunc(percent), kMin, kMax));
}

} // namespace

void EchoProcessor::loadModeTaps(int32_t mode, Taps& left, Taps& right) {
    std::lock_guard lock(tableLock());
    const Mode& source = modeTable()[size_t(clampMode(mode))];
    left = source.left;
    right = source.right;
}

void EchoProcessor::storeModeData(int32_t mode, const int32_t* left, const int32_t* right) {
    std::lock_guard lock(tableLock());
    Mode& target = modeTable()[size_t(clampMode(mode))];
    for (int j = 0; j < kTapCount; ++j) {
        target.left[size_t(j)] = left[j] * 0.01;
        target.right[size_t(j)] = right[j] * 0.01;
    }
}

int32_t EchoProcessor::GetSfxModeData(int32_t nMode, int32_t* pnLeftData, int32_t* pnRightData) {
    if (pnLeftData && pnRightData) {
        std::lock_guard lock(tableLock());
        const Mode& source = modeTable()[size_t(clampMode(nMode))];
        for (int j = 0; j < kTapCount; ++j) {
            pnLeftData[j] = wholePercent(source.left[size_t(j)]);
            pnRightData[j] = wholePercent(source.right[size_t(j)]);
        }
    }
    return kTapCount;
}

} // namespace tolvane
