#pragma once

#include <mad.h>

#include <cmath>
#include <cstdint>

namespace tolvane {

// The gain of a volume or fade level from 0 to 100: 0 at 0, 1 from 100 on, and
// a tenfold rise over the range in between, as loudness is heard.
inline double levelGain(double level) {
    return level >= 100.0 ? 1.0 : 0.1 * std::pow(10.0, level * 0.01) - 0.1;
}

// Error-feedback state of one output channel: three fed-back quantisation
// errors and the 13-bit dither generator word. Zero at the start of a run.
struct DitherState {
    int32_t e0 = 0;
    int32_t e1 = 0;
    int32_t e2 = 0;
    int32_t g = 0;
};

// Converts one synthesized sample (28 fraction bits) to 16 bits with noise
// shaping and triangular dither. When the dithered value clips, the shaped
// sample is held to the same range before the error is fed back, so a loud
// passage does not push its overshoot into the samples after it. Arithmetic
// wraps in 32 bits.
inline int16_t convertSample(mad_fixed_t sample, DitherState& d) {
    constexpr int32_t kMin = -0x10000000;
    constexpr int32_t kMax = 0x0FFFFFFF;
    int32_t shaped = int32_t(uint32_t(sample) + uint32_t(d.e0) - uint32_t(d.e1) + uint32_t(d.e2));
    d.e2 = d.e1;
    d.e1 = d.e0 / 2;
    const int32_t next = int32_t((uint32_t(d.g) * 0x60Du + 0x135Fu) & 0x1FFFu);
    int32_t out = int32_t(uint32_t(shaped) + 0x1000u + uint32_t(next) - uint32_t(d.g));
    d.g = next;
    if (out > kMax) {
        out = kMax;
        if (shaped > kMax) {
            shaped = kMax;
        }
    } else if (out < kMin) {
        out = kMin;
        if (shaped < kMin) {
            shaped = kMin;
        }
    }
    const int32_t quantised = out & ~0x1FFF;
    d.e0 = int32_t(uint32_t(shaped) - uint32_t(quantised));
    return int16_t(quantised >> 13);
}

// Converts a synthesized frame of `length` samples per channel into
// interleaved 16-bit stereo at `out`; a single channel goes to both sides.
// Returns the bytes written (length × 4).
inline uint32_t convertFrame(const mad_pcm& pcm, DitherState (&dither)[2], int16_t* out) {
    const unsigned length = pcm.length;
    if (pcm.channels == 2) {
        const mad_fixed_t* left = pcm.samples[0];
        const mad_fixed_t* right = pcm.samples[1];
        for (unsigned i = 0; i < length; ++i) {
            out[2 * i] = convertSample(left[i], dither[0]);
            out[2 * i + 1] = convertSample(right[i], dither[1]);
        }
    } else {
        const mad_fixed_t* mono = pcm.samples[0];
        for (unsigned i = 0; i < length; ++i) {
            out[2 * i] = out[2 * i + 1] = convertSample(mono[i], dither[0]);
        }
    }
    return length * 4;
}

} // namespace tolvane
