#include "effects/FirFilter.h"

#include "effects/FirDesigner.h"

#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace tolvane {

static_assert(FirDesigner::kTaps == FirFilter::kTaps);

namespace {

constexpr size_t kComplexBytes = sizeof(fftwf_complex) * size_t(FirFilter::kSize);

// Rounded half away from zero and clipped to 16 bits; NaN (from absurd gains)
// becomes the lowest value rather than undefined behaviour. The same steps as
// the SSE2 loop below, so both give the same samples.
inline int16_t toSample(float v) {
    v = v > -32768.0f ? v : -32768.0f;
    v = v < 32767.0f ? v : 32767.0f;
    const int32_t whole = int32_t(v);
    return int16_t(whole + int32_t((v - float(whole)) * 2.0f));
}

void toFloat(const int16_t* __restrict in, float* __restrict out, int32_t count) {
    int32_t i = 0;
#if defined(__SSE2__)
    for (; i + 8 <= count; i += 8) {
        const __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in + i));
        _mm_storeu_ps(out + i, _mm_cvtepi32_ps(_mm_srai_epi32(_mm_unpacklo_epi16(x, x), 16)));
        _mm_storeu_ps(out + i + 4, _mm_cvtepi32_ps(_mm_srai_epi32(_mm_unpackhi_epi16(x, x), 16)));
    }
#endif
    for (; i < count; ++i) {
        out[i] = float(in[i]);
    }
}

// out[i] = a[i] + b[i] as 16-bit samples.
void toPcm(const float* __restrict a, const float* __restrict b, int16_t* __restrict out,
           int32_t count) {
    int32_t i = 0;
#if defined(__SSE2__)
    const __m128 low = _mm_set1_ps(-32768.0f);
    const __m128 high = _mm_set1_ps(32767.0f);
    const __m128 two = _mm_set1_ps(2.0f);
    for (; i + 8 <= count; i += 8) {
        __m128i words[2];
        for (int half = 0; half < 2; ++half) {
            __m128 v = _mm_add_ps(_mm_loadu_ps(a + i + 4 * half), _mm_loadu_ps(b + i + 4 * half));
            // maxps gives its second operand for NaN, as the scalar comparison does.
            v = _mm_min_ps(_mm_max_ps(v, low), high);
            const __m128i whole = _mm_cvttps_epi32(v);
            const __m128 fraction = _mm_sub_ps(v, _mm_cvtepi32_ps(whole));
            words[half] = _mm_add_epi32(whole, _mm_cvttps_epi32(_mm_mul_ps(fraction, two)));
        }
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out + i), _mm_packs_epi32(words[0], words[1]));
    }
#endif
    for (; i < count; ++i) {
        out[i] = toSample(a[i] + b[i]);
    }
}

// x[k] *= h[k] over `count` interleaved complex values.
void multiply(float* __restrict x, const float* __restrict h, int32_t count) {
    int32_t k = 0;
#if defined(__SSE2__)
    const __m128 negateReal = _mm_set_ps(0.0f, -0.0f, 0.0f, -0.0f);
    for (; k + 2 <= count; k += 2) {
        const __m128 xv = _mm_loadu_ps(x + 2 * k);
        const __m128 hv = _mm_loadu_ps(h + 2 * k);
        const __m128 hr = _mm_shuffle_ps(hv, hv, _MM_SHUFFLE(2, 2, 0, 0));
        const __m128 hi = _mm_shuffle_ps(hv, hv, _MM_SHUFFLE(3, 3, 1, 1));
        const __m128 swapped = _mm_shuffle_ps(xv, xv, _MM_SHUFFLE(2, 3, 0, 1));
        const __m128 cross = _mm_xor_ps(_mm_mul_ps(swapped, hi), negateReal);
        _mm_storeu_ps(x + 2 * k, _mm_add_ps(_mm_mul_ps(xv, hr), cross));
    }
#endif
    for (; k < count; ++k) {
        const float re = x[2 * k] * h[2 * k] - x[2 * k + 1] * h[2 * k + 1];
        const float im = x[2 * k + 1] * h[2 * k] + x[2 * k] * h[2 * k + 1];
        x[2 * k] = re;
        x[2 * k + 1] = im;
    }
}

} // namespace

std::unique_ptr<FirFilter> FirFilter::create() {
    std::unique_ptr<FirFilter> filter(new FirFilter);
    if (!filter->allocated()) {
        return nullptr;
    }
    // The block's tail stays zero: out-of-place complex transforms keep their input.
    std::memset(filter->block_.get(), 0, kComplexBytes);
    filter->clearNow();
    return filter;
}

FirFilter::FirFilter()
    : forwardPlan_(FftwPlans::get(FftwPlans::Kind::ComplexForward, kSize)),
      backwardPlan_(FftwPlans::get(FftwPlans::Kind::ComplexBackward, kSize)),
      tables_{Complex(fftwf_alloc_complex(kSize)), Complex(fftwf_alloc_complex(kSize)),
              Complex(fftwf_alloc_complex(kSize))},
      block_(fftwf_alloc_complex(kSize)),
      spectrum_(fftwf_alloc_complex(kSize)), outputs_{Complex(fftwf_alloc_complex(kSize)),
                                                      Complex(fftwf_alloc_complex(kSize))} {}

bool FirFilter::allocated() const {
    return forwardPlan_ && backwardPlan_ && tables_[0] && tables_[1] && tables_[2] && block_ &&
           spectrum_ && outputs_[0] && outputs_[1];
}

void FirFilter::publish(const float* a) {
    // The packing holds H_k = a[2k] − i·a[2k+1]; the table keeps the whole
    // Hermitian spectrum, scaled by 1/N so the inverse transform needs no scaling.
    fftwf_complex* table = tables_[back_].get();
    const float scale = 1.0f / kSize;
    const int half = kSize / 2;
    table[0][0] = a[0] * scale;
    table[0][1] = 0.0f;
    table[half][0] = a[1] * scale;
    table[half][1] = 0.0f;
    for (int k = 1; k < half; ++k) {
        table[k][0] = a[2 * k] * scale;
        table[k][1] = -a[2 * k + 1] * scale;
        table[kSize - k][0] = table[k][0];
        table[kSize - k][1] = -table[k][1];
    }
    publishSlot(true);
}

void FirFilter::publishEmpty() {
    publishSlot(false);
}

void FirFilter::publishSlot(bool designed) {
    designed_[back_] = designed;
    back_ = waiting_.exchange(back_ | kFresh, std::memory_order_acq_rel) & kSlotMask;
}

void FirFilter::takeWaitingSlot() {
    if (waiting_.load(std::memory_order_acquire) & kFresh) {
        front_ = waiting_.exchange(front_, std::memory_order_acq_rel) & kSlotMask;
    }
}

void FirFilter::requestClear() {
    clearRequested_.store(true, std::memory_order_release);
}

void FirFilter::clearNow() {
    fill_ = 0;
    std::memset(outputs_[0].get(), 0, kComplexBytes);
    std::memset(outputs_[1].get(), 0, kComplexBytes);
}

int32_t FirFilter::apply(int16_t* samples, int32_t frames) {
    if (!samples || frames <= 0) {
        return 0;
    }
    takeWaitingSlot();
    if (clearRequested_.exchange(false, std::memory_order_acq_rel)) {
        clearNow();
    }
    const int32_t total = frames;
    while (fill_ + frames >= kTaps) {
        const int32_t k = kTaps - fill_;
        exchangeSamples(samples, k);
        float* y = outputs_[newest_ ^ 1].get()[0];
        if (designed_[front_]) {
            convolveBlock(y);
        } else {
            delayBlock(y);
        }
        newest_ ^= 1;
        samples += 2 * k;
        frames -= k;
        fill_ = 0;
    }
    exchangeSamples(samples, frames);
    fill_ += frames;
    return total;
}

void FirFilter::exchangeSamples(int16_t* samples, int32_t frames) {
    // Each input sample goes into the block, and the output sample at the same
    // place replaces it.
    const int32_t count = 2 * frames;
    toFloat(samples, block_.get()[fill_], count);
    toPcm(outputs_[newest_ ^ 1].get()[kTaps + fill_], outputs_[newest_].get()[fill_], samples,
          count);
}

void FirFilter::convolveBlock(float* y) {
    fftwf_complex* spectrum = spectrum_.get();
    fftwf_execute_dft(forwardPlan_, block_.get(), spectrum);
    multiply(spectrum[0], tables_[front_].get()[0], kSize);
    fftwf_execute_dft(backwardPlan_, spectrum, reinterpret_cast<fftwf_complex*>(y));
}

void FirFilter::delayBlock(float* y) {
    // A unit impulse at the design's centre tap, without the transforms.
    std::memset(y, 0, kComplexBytes);
    std::memcpy(y + 2 * FirDesigner::kCentre, block_.get()[0], sizeof(float) * 2 * kTaps);
}

} // namespace tolvane
