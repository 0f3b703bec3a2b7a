#pragma once

#include <mad.h>

#include <cstddef>
#include <cstdint>

namespace tolvane {

// The per-sample loops of the light effects: the sub-band gains, the channel
// mix in the sub-band domain, the vocal cut and the volume gains. Each comes in
// plain C++ and, on x86-64, in SSE2 and AVX2 forms; every form gives the same
// samples for every input, the plain one being the reference. Stateless, so
// any thread may call them.
class SampleKernels {
  public:
    enum class Kernel { Portable, Sse2, Avx2 };
    using Row = mad_fixed_t[32];

    // The fastest kernel this machine runs.
    static Kernel best();
    // False when this machine cannot run `kernel`.
    static bool runs(Kernel kernel);

    // Each sample s of `count` rows of 32 sub-bands, and the sub-band's factor
    // f (28 fraction bits), are cut to 16 significant bits; s becomes
    // ((s + 0x800) >> 12) * ((f + 0x8000) >> 16), saturated to libmad's
    // fixed-point range.
    static void scaleSubbands(Kernel kernel, Row* rows, int count, const int32_t* factors);
    // Each left and right sample of `count` rows becomes, cut the same way,
    // r' * right' + l' * left', wrapping in 32 bits like fixed-point hardware.
    static void mixSubbands(Kernel kernel, Row* left, Row* right, int count, int32_t leftFactor,
                            int32_t rightFactor);
    // Each stereo frame (l, r) becomes (l - r, r - l), saturated to 16 bits
    // since wrapping around would click.
    static void cutVocals(Kernel kernel, int16_t* samples, size_t frames);
    // Each sample times its channel's gain, truncated toward zero. Gains are
    // volume levels, 0 to 1, so the product stays in the sample range.
    static void applyGains(Kernel kernel, int16_t* samples, size_t frames, const double gain[2]);
};

} // namespace tolvane
