#include "effects/SampleKernels.h"

#include <algorithm>
#include <array>

#if defined(__x86_64__)
#include <immintrin.h>
#endif

namespace tolvane {

namespace {

using Row = SampleKernels::Row;
using Kernel = SampleKernels::Kernel;

constexpr int kSubbands = 32;

// A factor with 28 fraction bits cut to 16 significant bits, rounded: within
// -32768..32768.
int32_t cutFactor(int32_t factor) {
    return int32_t((int64_t(factor) + 0x8000) >> 16);
}

// A sub-band sample cut to 16 significant bits, rounded: within -2^19..2^19.
int32_t cutSample(mad_fixed_t x) {
    return int32_t((int64_t(x) + 0x800) >> 12);
}

int16_t saturate16(int32_t value) {
    return int16_t(std::clamp<int32_t>(value, INT16_MIN, INT16_MAX));
}

// The product can pass the 32-bit range for gains near the maximum on loud
// frames, so it is formed in 64 bits and saturated.
void scalePortable(Row* rows, int count, const int32_t* factors) {
    std::array<int64_t, kSubbands> gain;
    for (int k = 0; k < kSubbands; ++k) {
        gain[size_t(k)] = cutFactor(factors[k]);
    }
    for (int row = 0; row < count; ++row) {
        mad_fixed_t* s = rows[row];
        for (int k = 0; k < kSubbands; ++k) {
            const int64_t product = int64_t(cutSample(s[k])) * gain[size_t(k)];
            s[k] = int32_t(std::clamp<int64_t>(product, MAD_F_MIN, MAD_F_MAX));
        }
    }
}

// Wraps in 32 bits rather than overflowing.
int32_t wrappedProduct(int32_t a, int32_t b) {
    return int32_t(uint32_t(a) * uint32_t(b));
}

void mixPortable(Row* left, Row* right, int count, int32_t leftFactor, int32_t rightFactor) {
    const int32_t l = cutFactor(leftFactor);
    const int32_t r = cutFactor(rightFactor);
    for (int row = 0; row < count; ++row) {
        for (int k = 0; k < kSubbands; ++k) {
            const int32_t v = int32_t(uint32_t(wrappedProduct(cutSample(right[row][k]), r)) +
                                      uint32_t(wrappedProduct(cutSample(left[row][k]), l)));
            left[row][k] = right[row][k] = v;
        }
    }
}

void cutVocalsPortable(int16_t* samples, size_t frames) {
    for (size_t i = 0; i < frames; ++i) {
        const int32_t l = samples[2 * i];
        const int32_t r = samples[2 * i + 1];
        samples[2 * i] = saturate16(l - r);
        samples[2 * i + 1] = saturate16(r - l);
    }
}

void gainsPortable(int16_t* samples, size_t frames, const double gain[2]) {
    for (size_t i = 0; i < frames; ++i) {
        samples[2 * i] = int16_t(samples[2 * i] * gain[0]);
        samples[2 * i + 1] = int16_t(samples[2 * i + 1] * gain[1]);
    }
}

#if defined(__x86_64__)

// cutSample without the 32-bit overflow of x + 0x800: floor(x / 2^11), plus
// one, halved (floor) equals floor((x + 2^11) / 2^12), and no step leaves the
// 32-bit range.
__m128i cutSamples(__m128i x) {
    return _mm_srai_epi32(_mm_add_epi32(_mm_srai_epi32(x, 11), _mm_set1_epi32(1)), 1);
}

// Low 32 bits of each lane's product, which do not depend on signedness;
// `b` holds the same value in every lane.
__m128i wrappedProducts(__m128i a, __m128i b) {
    const __m128i even = _mm_mul_epu32(a, b);
    const __m128i odd = _mm_mul_epu32(_mm_srli_epi64(a, 32), b);
    return _mm_unpacklo_epi32(_mm_shuffle_epi32(even, 0x08), _mm_shuffle_epi32(odd, 0x08));
}

// A cut sample (at most 2^19 in size) times a cut factor (at most 2^15) is
// exact in double, and so are the clip and the truncation that follow: the
// 64-bit product and its saturation, two lanes at a time.
__m128i scaleTwo(__m128i cut, __m128d gain) {
    const __m128d product = _mm_mul_pd(_mm_cvtepi32_pd(cut), gain);
    const __m128d clipped = _mm_min_pd(_mm_max_pd(product, _mm_set1_pd(double(MAD_F_MIN))),
                                       _mm_set1_pd(double(MAD_F_MAX)));
    return _mm_cvttpd_epi32(clipped);
}

void scaleSse2(Row* rows, int count, const int32_t* factors) {
    alignas(16) std::array<double, kSubbands> gain;
    for (int k = 0; k < kSubbands; ++k) {
        gain[size_t(k)] = double(cutFactor(factors[k]));
    }
    for (int row = 0; row < count; ++row) {
        mad_fixed_t* s = rows[row];
        for (int k = 0; k < kSubbands; k += 4) {
            auto* at = reinterpret_cast<__m128i*>(s + k);
            const __m128i cut = cutSamples(_mm_loadu_si128(at));
            const __m128i low = scaleTwo(cut, _mm_load_pd(&gain[size_t(k)]));
            const __m128i high =
                scaleTwo(_mm_unpackhi_epi64(cut, cut), _mm_load_pd(&gain[size_t(k) + 2]));
            _mm_storeu_si128(at, _mm_unpacklo_epi64(low, high));
        }
    }
}

void mixSse2(Row* left, Row* right, int count, int32_t leftFactor, int32_t rightFactor) {
    const __m128i l = _mm_set1_epi32(cutFactor(leftFactor));
    const __m128i r = _mm_set1_epi32(cutFactor(rightFactor));
    for (int row = 0; row < count; ++row) {
        for (int k = 0; k < kSubbands; k += 4) {
            auto* atLeft = reinterpret_cast<__m128i*>(left[row] + k);
            auto* atRight = reinterpret_cast<__m128i*>(right[row] + k);
            const __m128i v =
                _mm_add_epi32(wrappedProducts(cutSamples(_mm_loadu_si128(atRight)), r),
                              wrappedProducts(cutSamples(_mm_loadu_si128(atLeft)), l));
            _mm_storeu_si128(atLeft, v);
            _mm_storeu_si128(atRight, v);
        }
    }
}

// Swapping the two 16-bit halves of each 32-bit lane turns (l, r) into (r, l).
__m128i swapChannels(__m128i x) {
    return _mm_or_si128(_mm_slli_epi32(x, 16), _mm_srli_epi32(x, 16));
}

void cutVocalsSse2(int16_t* samples, size_t frames) {
    size_t i = 0;
    for (; i + 4 <= frames; i += 4) {
        auto* at = reinterpret_cast<__m128i*>(samples + 2 * i);
        const __m128i x = _mm_loadu_si128(at);
        _mm_storeu_si128(at, _mm_subs_epi16(x, swapChannels(x)));
    }
    cutVocalsPortable(samples + 2 * i, frames - i);
}

// Two samples, one frame, times (left gain, right gain), truncated; in range,
// so the saturating pack that follows changes nothing.
__m128i gainTwo(__m128i samples, __m128d gain) {
    return _mm_cvttpd_epi32(_mm_mul_pd(_mm_cvtepi32_pd(samples), gain));
}

void gainsSse2(int16_t* samples, size_t frames, const double gain[2]) {
    const __m128d g = _mm_loadu_pd(gain);
    size_t i = 0;
    for (; i + 4 <= frames; i += 4) {
        auto* at = reinterpret_cast<__m128i*>(samples + 2 * i);
        const __m128i x = _mm_loadu_si128(at);
        const __m128i low = _mm_srai_epi32(_mm_unpacklo_epi16(x, x), 16);
        const __m128i high = _mm_srai_epi32(_mm_unpackhi_epi16(x, x), 16);
        const __m128i first =
            _mm_unpacklo_epi64(gainTwo(low, g), gainTwo(_mm_unpackhi_epi64(low, low), g));
        const __m128i second =
            _mm_unpacklo_epi64(gainTwo(high, g), gainTwo(_mm_unpackhi_epi64(high, high), g));
        _mm_storeu_si128(at, _mm_packs_epi32(first, second));
    }
    gainsPortable(samples + 2 * i, frames - i, gain);
}

__attribute__((target("avx2"))) __m256i cutSamples8(__m256i x) {
    return _mm256_srai_epi32(_mm256_add_epi32(_mm256_srai_epi32(x, 11), _mm256_set1_epi32(1)), 1);
}

// Clips 64-bit lanes to libmad's fixed-point range.
__attribute__((target("avx2"))) __m256i saturate64(__m256i p) {
    const __m256i high = _mm256_set1_epi64x(MAD_F_MAX);
    const __m256i low = _mm256_set1_epi64x(MAD_F_MIN);
    p = _mm256_blendv_epi8(p, high, _mm256_cmpgt_epi64(p, high));
    return _mm256_blendv_epi8(p, low, _mm256_cmpgt_epi64(low, p));
}

// Eight samples at a time: the even lanes' and the odd lanes' 64-bit products
// are saturated apart and woven back together.
__attribute__((target("avx2"))) void scaleAvx2(Row* rows, int count, const int32_t* factors) {
    alignas(32) std::array<int32_t, kSubbands> cut;
    for (int k = 0; k < kSubbands; ++k) {
        cut[size_t(k)] = cutFactor(factors[k]);
    }
    __m256i even[4];
    __m256i odd[4];
    for (int j = 0; j < 4; ++j) {
        even[j] = _mm256_load_si256(reinterpret_cast<const __m256i*>(&cut[size_t(j) * 8]));
        odd[j] = _mm256_srli_epi64(even[j], 32);
    }
    for (int row = 0; row < count; ++row) {
        for (int j = 0; j < 4; ++j) {
            auto* at = reinterpret_cast<__m256i*>(rows[row] + j * 8);
            const __m256i x = cutSamples8(_mm256_loadu_si256(at));
            const __m256i low = saturate64(_mm256_mul_epi32(x, even[j]));
            const __m256i high = saturate64(_mm256_mul_epi32(_mm256_srli_epi64(x, 32), odd[j]));
            _mm256_storeu_si256(at, _mm256_blend_epi32(low, _mm256_slli_epi64(high, 32), 0xAA));
        }
    }
}

__attribute__((target("avx2"))) void mixAvx2(Row* left, Row* right, int count, int32_t leftFactor,
                                             int32_t rightFactor) {
    const __m256i l = _mm256_set1_epi32(cutFactor(leftFactor));
    const __m256i r = _mm256_set1_epi32(cutFactor(rightFactor));
    for (int row = 0; row < count; ++row) {
        for (int k = 0; k < kSubbands; k += 8) {
            auto* atLeft = reinterpret_cast<__m256i*>(left[row] + k);
            auto* atRight = reinterpret_cast<__m256i*>(right[row] + k);
            const __m256i v =
                _mm256_add_epi32(_mm256_mullo_epi32(cutSamples8(_mm256_loadu_si256(atRight)), r),
                                 _mm256_mullo_epi32(cutSamples8(_mm256_loadu_si256(atLeft)), l));
            _mm256_storeu_si256(atLeft, v);
            _mm256_storeu_si256(atRight, v);
        }
    }
}

__attribute__((target("avx2"))) void cutVocalsAvx2(int16_t* samples, size_t frames) {
    size_t i = 0;
    for (; i + 8 <= frames; i += 8) {
        auto* at = reinterpret_cast<__m256i*>(samples + 2 * i);
        const __m256i x = _mm256_loadu_si256(at);
        const __m256i swapped = _mm256_or_si256(_mm256_slli_epi32(x, 16), _mm256_srli_epi32(x, 16));
        _mm256_storeu_si256(at, _mm256_subs_epi16(x, swapped));
    }
    cutVocalsSse2(samples + 2 * i, frames - i);
}

// Two frames times (left, right, left, right) gains.
__attribute__((target("avx2"))) __m128i gainFour(__m128i samples, __m256d gain) {
    return _mm256_cvttpd_epi32(_mm256_mul_pd(_mm256_cvtepi32_pd(samples), gain));
}

__attribute__((target("avx2"))) void gainsAvx2(int16_t* samples, size_t frames,
                                               const double gain[2]) {
    const __m256d g = _mm256_setr_pd(gain[0], gain[1], gain[0], gain[1]);
    size_t i = 0;
    for (; i + 4 <= frames; i += 4) {
        auto* at = reinterpret_cast<__m128i*>(samples + 2 * i);
        const __m128i x = _mm_loadu_si128(at);
        const __m128i first = gainFour(_mm_cvtepi16_epi32(x), g);
        const __m128i second = gainFour(_mm_cvtepi16_epi32(_mm_unpackhi_epi64(x, x)), g);
        _mm_storeu_si128(at, _mm_packs_epi32(first, second));
    }
    gainsPortable(samples + 2 * i, frames - i, gain);
}

// Function-local, so callers during static initialisation see the CPU
// probed first.
bool hasAvx2() {
    static const bool has = [] {
        __builtin_cpu_init();
        return __builtin_cpu_supports("avx2") != 0;
    }();
    return has;
}

#endif

} // namespace

SampleKernels::Kernel SampleKernels::best() {
#if defined(__x86_64__)
    return hasAvx2() ? Kernel::Avx2 : Kernel::Sse2;
#else
    return Kernel::Portable;
#endif
}

bool SampleKernels::runs(Kernel kernel) {
    return int(kernel) <= int(best());
}

void SampleKernels::scaleSubbands(Kernel kernel, Row* rows, int count, const int32_t* factors) {
    switch (kernel) {
#if defined(__x86_64__)
    case Kernel::Avx2:
        scaleAvx2(rows, count, factors);
        return;
    case Kernel::Sse2:
        scaleSse2(rows, count, factors);
        return;
#endif
    default:
        scalePortable(rows, count, factors);
    }
}

void SampleKernels::mixSubbands(Kernel kernel, Row* left, Row* right, int count, int32_t leftFactor,
                                int32_t rightFactor) {
    switch (kernel) {
#if defined(__x86_64__)
    case Kernel::Avx2:
        mixAvx2(left, right, count, leftFactor, rightFactor);
        return;
    case Kernel::Sse2:
        mixSse2(left, right, count, leftFactor, rightFactor);
        return;
#endif
    default:
        mixPortable(left, right, count, leftFactor, rightFactor);
    }
}

void SampleKernels::cutVocals(Kernel kernel, int16_t* samples, size_t frames) {
    switch (kernel) {
#if defined(__x86_64__)
    case Kernel::Avx2:
        cutVocalsAvx2(samples, frames);
        return;
    case Kernel::Sse2:
        cutVocalsSse2(samples, frames);
        return;
#endif
    default:
        cutVocalsPortable(samples, frames);
    }
}

void SampleKernels::applyGains(Kernel kernel, int16_t* samples, size_t frames,
                               const double gain[2]) {
    switch (kernel) {
#if defined(__x86_64__)
    case Kernel::Avx2:
        gainsAvx2(samples, frames, gain);
        return;
    case Kernel::Sse2:
        gainsSse2(samples, frames, gain);
        return;
#endif
    default:
        gainsPortable(samples, frames, gain);
    }
}

} // namespace tolvane
