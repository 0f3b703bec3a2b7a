#include "effects/SubbandEqualizer.h"

#include "effects/SampleKernels.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace tolvane {

namespace {

// The largest factor the fixed-point format holds: 0x7FFFFFFF / 2^28.
constexpr double kMaxFactor = double(0x7FFFFFFF) / double(1 << 28);

constexpr std::array<uint8_t, SubbandEqualizer::kSubbands> kBandOfSubband = {
    0, 1, 2, 3, 4, 5, 5, 5, 6, 6, 6, 6, 6, 6, 7, 7, 7, 7, 7, 8, 8, 8, 8, 8, 9, 9, 9, 9, 9, 9, 9, 9};

int32_t saturate(int64_t value, int64_t low, int64_t high) {
    return int32_t(std::clamp(value, low, high));
}

int32_t toMilli(int32_t dB) {
    return saturate(int64_t(dB) * 1000, std::numeric_limits<int32_t>::min(),
                    std::numeric_limits<int32_t>::max());
}

int32_t fixedFactor(double dB) {
    const double factor = std::min(std::pow(10.0, dB * 0.05), kMaxFactor);
    return int32_t(factor * double(1 << 28) + 0.5);
}

} // namespace

SubbandEqualizer::SubbandEqualizer() {
    for (auto& f : factors_) {
        f.store(kUnity, std::memory_order_relaxed);
    }
}

int SubbandEqualizer::bandOfSubband(int subband) {
    return kBandOfSubband[size_t(subband)];
}

void SubbandEqualizer::setGains(int32_t preamp, const int32_t* gains, bool milli) {
    preampMilli_ = milli ? preamp : toMilli(preamp);
    if (gains) {
        for (int b = 0; b < kBands; ++b) {
            gainsMilli_[size_t(b)] = milli ? gains[b] : toMilli(gains[b]);
        }
    }
    // dB gains take whole dB; milli gains are cut to whole dB per band (integer
    // division) while the preamp keeps its fraction.
    const double preampDb = milli ? preampMilli_ / 1000.0 : double(preamp);
    for (int k = 0; k < kSubbands; ++k) {
        const int32_t bandMilli = gainsMilli_[kBandOfSubband[size_t(k)]];
        const double dB = preampDb + double(bandMilli / 1000);
        factors_[size_t(k)].store(fixedFactor(dB), std::memory_order_relaxed);
    }
}

int32_t SubbandEqualizer::getGains(int32_t* preamp, int32_t* gains, bool milli) const {
    if (!preamp) {
        return kBands;
    }
    *preamp = milli ? preampMilli_ : preampMilli_ / 1000;
    if (gains) {
        for (int b = 0; b < kBands; ++b) {
            gains[b] = milli ? gainsMilli_[size_t(b)] : gainsMilli_[size_t(b)] / 1000;
        }
    }
    return kBands;
}

void SubbandEqualizer::apply(mad_frame& frame) const {
    std::array<int32_t, kSubbands> factors;
    for (int k = 0; k < kSubbands; ++k) {
        factors[size_t(k)] = factors_[size_t(k)].load(std::memory_order_relaxed);
    }
    const int channels = MAD_NCHANNELS(&frame.header);
    const int rows = MAD_NSBSAMPLES(&frame.header);
    for (int ch = 0; ch < channels; ++ch) {
        SampleKernels::scaleSubbands(SampleKernels::best(), frame.sbsample[ch], rows,
                                     factors.data());
    }
}

} // namespace tolvane
