#include "effects/EchoProcessor.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <new>

#if defined(__x86_64__)
#include <immintrin.h>
#endif

namespace tolvane {

namespace {

// Gains are summed in double, since two 32-bit dB values may not fit an int32
// sum; the factor stays finite so that silence times a huge gain is silence.
double dbFactor(int32_t gainDb, int32_t outputGainDb) {
    const double factor = std::pow(10.0, (double(gainDb) + double(outputGainDb)) * 0.05);
    return std::min(factor, std::numeric_limits<double>::max());
}

// The mixing loops compute each sample as halved × dry + echo × wet, where
// echo sums weight × older halved sample over the taps in tap order, all in
// double and without fused multiply-adds; so they all give the same samples.
// They differ in how many frames they take at once: a frame's left and right
// sample are the two lanes of a vector and share one tap.

// One tap as the loops read it: the history entry and the weights of the
// frame's left and right sample. A tap that is 0 in one channel only adds ±0
// there, which leaves every output sample as it would be without it.
struct Tap {
    const int16_t* history;
    alignas(16) double weight[2];
};

// What mixing one block needs besides the samples: the taps in use, the
// halved block (history entry 0) and the dry and echo factors.
struct MixInput {
    const Tap* taps;
    int count;
    const int16_t* halved;
    double dry;
    double wet;
};

// Truncates toward zero and saturates rather than wrapping. A NaN (opposite
// overflowing terms) becomes silence.
int16_t toSample(double value) {
    if (std::isnan(value)) {
        return 0;
    }
    if (value >= 32767.0) {
        return 32767;
    }
    if (value <= -32768.0) {
        return -32768;
    }
    return int16_t(value);
}

void halvePortable(const int16_t* samples, int16_t* halved, size_t count) {
    for (size_t i = 0; i < count; ++i) {
        halved[i] = int16_t(samples[i] / 2);
    }
}

void mixPortable(const MixInput& in, int16_t* samples, size_t frames) {
    for (size_t i = 0; i < frames * 2; ++i) {
        double echo = 0.0;
        for (int t = 0; t < in.count; ++t) {
            echo += in.taps[t].weight[i % 2] * in.taps[t].history[i];
        }
        samples[i] = toSample(in.halved[i] * in.dry + echo * in.wet);
    }
}

#if defined(__x86_64__)

// Halves 8 samples at a time, rounding toward zero like the division: a
// negative sample gets 1 added before the arithmetic shift.
void halveSse2(const int16_t* samples, int16_t* halved, size_t count) {
    size_t i = 0;
    for (; i + 8 <= count; i += 8) {
        const __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(samples + i));
        const __m128i half = _mm_srai_epi16(_mm_add_epi16(x, _mm_srli_epi16(x, 15)), 1);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(halved + i), half);
    }
    halvePortable(samples + i, halved + i, count - i);
}

// In the SSE2 loop a register holds one frame, left in the low lane.
struct FourFrames {
    __m128d frame[4];
};

FourFrames widenFour(const int16_t* history) {
    const __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(history));
    const __m128i low = _mm_srai_epi32(_mm_unpacklo_epi16(x, x), 16);
    const __m128i high = _mm_srai_epi32(_mm_unpackhi_epi16(x, x), 16);
    return {{_mm_cvtepi32_pd(low), _mm_cvtepi32_pd(_mm_unpackhi_epi64(low, low)),
             _mm_cvtepi32_pd(high), _mm_cvtepi32_pd(_mm_unpackhi_epi64(high, high))}};
}

__m128d widenOne(const int16_t* history) {
    int32_t frame;
    std::memcpy(&frame, history, sizeof frame);
    const __m128i x = _mm_cvtsi32_si128(frame);
    return _mm_cvtepi32_pd(_mm_srai_epi32(_mm_unpacklo_epi16(x, x), 16));
}

// Dry plus echo, a NaN made 0, clipped to the sample range; truncation
// follows.
__m128d outputFrame(__m128d halved, __m128d echo, const MixInput& in) {
    __m128d out =
        _mm_add_pd(_mm_mul_pd(halved, _mm_set1_pd(in.dry)), _mm_mul_pd(echo, _mm_set1_pd(in.wet)));
    out = _mm_and_pd(out, _mm_cmpord_pd(out, out));
    return _mm_min_pd(_mm_max_pd(out, _mm_set1_pd(-32768.0)), _mm_set1_pd(32767.0));
}

__m128i truncateFrames(__m128d first, __m128d second) {
    return _mm_unpacklo_epi64(_mm_cvttpd_epi32(first), _mm_cvttpd_epi32(second));
}

// Frames [from, to). Four frames at a time, each in its own accumulator, so
// the additions of one tap overlap.
void mixSse2(const MixInput& in, int16_t* samples, size_t from, size_t to) {
    size_t k = from;
    for (; k + 4 <= to; k += 4) {
        const size_t at = 2 * k;
        __m128d e0 = _mm_setzero_pd(), e1 = e0, e2 = e0, e3 = e0;
        for (int t = 0; t < in.count; ++t) {
            const __m128d weight = _mm_load_pd(in.taps[t].weight);
            const FourFrames older = widenFour(in.taps[t].history + at);
            e0 = _mm_add_pd(e0, _mm_mul_pd(weight, older.frame[0]));
            e1 = _mm_add_pd(e1, _mm_mul_pd(weight, older.frame[1]));
            e2 = _mm_add_pd(e2, _mm_mul_pd(weight, older.frame[2]));
            e3 = _mm_add_pd(e3, _mm_mul_pd(weight, older.frame[3]));
        }
        const FourFrames x = widenFour(in.halved + at);
        const __m128i low =
            truncateFrames(outputFrame(x.frame[0], e0, in), outputFrame(x.frame[1], e1, in));
        const __m128i high =
            truncateFrames(outputFrame(x.frame[2], e2, in), outputFrame(x.frame[3], e3, in));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(samples + at), _mm_packs_epi32(low, high));
    }
    for (; k < to; ++k) {
        const size_t at = 2 * k;
        __m128d echo = _mm_setzero_pd();
        for (int t = 0; t < in.count; ++t) {
            const __m128d weight = _mm_load_pd(in.taps[t].weight);
            echo = _mm_add_pd(echo, _mm_mul_pd(weight, widenOne(in.taps[t].history + at)));
        }
        const __m128d out = outputFrame(widenOne(in.halved + at), echo, in);
        const int32_t frame =
            _mm_cvtsi128_si32(_mm_packs_epi32(_mm_cvttpd_epi32(out), _mm_setzero_si128()));
        std::memcpy(samples + at, &frame, sizeof frame);
    }
}

// In the AVX loop a register holds two frames (L, R, L, R). The target
// attribute enables AVX but not FMA, so no multiply-add is fused and the
// rounding stays that of the other loops.
__attribute__((target("avx"))) __m256d widenTwo(const int16_t* history) {
    const __m128i x = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(history));
    return _mm256_cvtepi32_pd(_mm_cvtepi16_epi32(x));
}

__attribute__((target("avx"))) __m128i outputTwoFrames(__m256d halved, __m256d echo,
                                                       const MixInput& in) {
    __m256d out = _mm256_add_pd(_mm256_mul_pd(halved, _mm256_set1_pd(in.dry)),
                                _mm256_mul_pd(echo, _mm256_set1_pd(in.wet)));
    out = _mm256_and_pd(out, _mm256_cmp_pd(out, out, _CMP_ORD_Q));
    out = _mm256_min_pd(_mm256_max_pd(out, _mm256_set1_pd(-32768.0)), _mm256_set1_pd(32767.0));
    return _mm256_cvttpd_epi32(out);
}

// Eight frames at a time; the SSE2 loop takes the rest.
__attribute__((target("avx"))) void mixAvx(const MixInput& in, int16_t* samples, size_t frames) {
    size_t k = 0;
    for (; k + 8 <= frames; k += 8) {
        const size_t at = 2 * k;
        __m256d e0 = _mm256_setzero_pd(), e1 = e0, e2 = e0, e3 = e0;
        for (int t = 0; t < in.count; ++t) {
            const __m256d weight =
                _mm256_broadcast_pd(reinterpret_cast<const __m128d*>(in.taps[t].weight));
            const int16_t* older = in.taps[t].history + at;
            e0 = _mm256_add_pd(e0, _mm256_mul_pd(weight, widenTwo(older)));
            e1 = _mm256_add_pd(e1, _mm256_mul_pd(weight, widenTwo(older + 4)));
            e2 = _mm256_add_pd(e2, _mm256_mul_pd(weight, widenTwo(older + 8)));
            e3 = _mm256_add_pd(e3, _mm256_mul_pd(weight, widenTwo(older + 12)));
        }
        const int16_t* x = in.halved + at;
        const __m128i first = _mm_packs_epi32(outputTwoFrames(widenTwo(x), e0, in),
                                              outputTwoFrames(widenTwo(x + 4), e1, in));
        const __m128i second = _mm_packs_epi32(outputTwoFrames(widenTwo(x + 8), e2, in),
                                               outputTwoFrames(widenTwo(x + 12), e3, in));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(samples + at), first);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(samples + at + 8), second);
    }
    mixSse2(in, samples, k, frames);
}

#endif

// The fastest loop this machine runs. Function-local, so processors built
// during static initialisation see the CPU probed first.
EchoProcessor::Kernel bestKernel() {
#if defined(__x86_64__)
    static const bool hasAvx = [] {
        __builtin_cpu_init();
        return __builtin_cpu_supports("avx") != 0;
    }();
    return hasAvx ? EchoProcessor::Kernel::Avx : EchoProcessor::Kernel::Sse2;
#else
    return EchoProcessor::Kernel::Portable;
#endif
}

} // namespace

EchoProcessor::EchoProcessor() : kernel_(bestKernel()) {
    loadModeTaps(0, leftTaps_, rightTaps_);
}

EchoProcessor::~EchoProcessor() = default;

int32_t EchoProcessor::SetSfxParam(int32_t fEnable, int32_t nMode, int32_t nDelayMs,
                                   int32_t nInputGain, int32_t nEchoGain, int32_t nOutputGain,
                                   const char*& error) {
    enabled_.store(false);
    {
        std::lock_guard lock(lock_);
        const int32_t delay = std::clamp(nDelayMs, 0, kMaxDelayMs);
        const int32_t mode = std::clamp(nMode, 0, kModeCount - 1);
        loadModeTaps(mode, leftTaps_, rightTaps_);
        mode_.store(mode);
        if (!fEnable) {
            freeHistory();
            return 1;
        }
        if (!allocateHistory()) {
            error = "SetSfxParam->Can't reallocate sfx buffers !";
            return 0;
        }
        inputGainDb_ = nInputGain;
        echoGainDb_ = nEchoGain;
        outputGainDb_ = nOutputGain;
        delayMs_ = delay;
        dryFactor_ = dbFactor(nInputGain, nOutputGain);
        echoFactor_ = dbFactor(nEchoGain, nOutputGain);
        offset_ = delay * 20 / 1000;
        zeroHistory();
    }
    enabled_.store(true);
    return 1;
}

int32_t EchoProcessor::GetSfxParam(int32_t* pnMode, int32_t* pnDelayMs, int32_t* pnInputGain,
                                   int32_t* pnEchoGain, int32_t* pnOutputGain,
                                   const char*& error) const {
    if (!pnMode || !pnDelayMs || !pnInputGain || !pnEchoGain || !pnOutputGain) {
        error = "GetSfxParam->Invalid parameters !";
        return 0;
    }
    std::lock_guard lock(lock_);
    *pnMode = mode_.load();
    *pnDelayMs = delayMs_;
    *pnInputGain = inputGainDb_;
    *pnEchoGain = echoGainDb_;
    *pnOutputGain = outputGainDb_;
    return 1;
}

int32_t EchoProcessor::SetSfxModeData(int32_t nMode, const int32_t* pnLeftData,
                                      const int32_t* pnRightData, int32_t nSize,
                                      const char*& error) {
    if (!pnLeftData || !pnRightData || nSize != kTapCount || nMode < 0 || nMode >= kModeCount) {
        error = "SetSfxModeData->Invalid parameters !";
        return 0;
    }
    storeModeData(nMode, pnLeftData, pnRightData);
    if (!enabled_.load() || nMode != mode_.load()) {
        return 1;
    }
    int32_t delay, inputGain, echoGain, outputGain;
    {
        std::lock_guard lock(lock_);
        delay = delayMs_;
        inputGain = inputGainDb_;
        echoGain = echoGainDb_;
        outputGain = outputGainDb_;
    }
    return SetSfxParam(1, nMode, delay, inputGain, echoGain, outputGain, error);
}

bool EchoProcessor::prepareForStream(size_t waveBufferBytes) {
    std::lock_guard lock(lock_);
    historyBytes_ = waveBufferBytes / 2 + 2;
    loadModeTaps(mode_.load(), leftTaps_, rightTaps_);
    if (enabled_.load() && !allocateHistory()) {
        enabled_.store(false);
        return false;
    }
    return true;
}

void EchoProcessor::clearHistory() {
    std::lock_guard lock(lock_);
    if (enabled_.load()) {
        zeroHistory();
    }
}

void EchoProcessor::process(int16_t* samples, size_t bytes) {
    if (!enabled_.load()) {
        return;
    }
    std::lock_guard lock(lock_);
    // A disable may have freed the history between the flag test and the lock.
    if (!history_) {
        return;
    }
    const size_t frames = bytes / 4;
    const size_t firstHalf = frames / 2;
    processHalf(samples, firstHalf);
    processHalf(samples + firstHalf * 2, frames - firstHalf);
}

// A history buffer holds half a wave buffer; a longer block than the stream
// was prepared for is taken in pieces rather than written past the buffers.
void EchoProcessor::processHalf(int16_t* samples, size_t frames) {
    while (frames > 0) {
        const size_t block = std::min(frames, entryFrames_);
        processBlock(samples, block);
        samples += block * 2;
        frames -= block;
    }
}

void EchoProcessor::processBlock(int16_t* samples, size_t frames) {
    newest_ = (newest_ + kHistoryDepth - 1) % kHistoryDepth;
    int16_t* halved = entry(0);
    Tap taps[kTapCount];
    int count = 0;
    for (int j = 0; j < kTapCount; ++j) {
        if (leftTaps_[j] != 0.0 || rightTaps_[j] != 0.0) {
            taps[count++] = Tap{entry(offset_ + j), {leftTaps_[j], rightTaps_[j]}};
        }
    }
    const MixInput in{taps, count, halved, dryFactor_, echoFactor_};
    switch (kernel_) {
#if defined(__x86_64__)
    case Kernel::Avx:
        halveSse2(samples, halved, frames * 2);
        mixAvx(in, samples, frames);
        return;
    case Kernel::Sse2:
        halveSse2(samples, halved, frames * 2);
        mixSse2(in, samples, 0, frames);
        return;
#endif
    default:
        halvePortable(samples, halved, frames * 2);
        mixPortable(in, samples, frames);
    }
}

bool EchoProcessor::useKernel(Kernel kernel) {
    if (int(kernel) > int(bestKernel())) {
        return false;
    }
    std::lock_guard lock(lock_);
    kernel_ = kernel;
    return true;
}

// Allocation happens only when the stream's history size differs from the one
// allocated; the block is zeroed so a run never hears stale memory.
bool EchoProcessor::allocateHistory() {
    if (history_ && allocatedBytes_ == historyBytes_) {
        return true;
    }
    freeHistory();
    const size_t frames = historyBytes_ / 4;
    if (frames == 0) {
        return true;
    }
    const size_t maxFrames = size_t(std::numeric_limits<ptrdiff_t>::max()) / 4 / kHistoryDepth;
    if (frames > maxFrames) {
        return false;
    }
    history_.reset(new (std::nothrow) int16_t[frames * 2 * kHistoryDepth]());
    if (!history_) {
        return false;
    }
    entryFrames_ = frames;
    allocatedBytes_ = historyBytes_;
    newest_ = 0;
    return true;
}

void EchoProcessor::freeHistory() {
    history_.reset();
    allocatedBytes_ = 0;
    entryFrames_ = 0;
    newest_ = 0;
}

void EchoProcessor::zeroHistory() {
    if (history_) {
        std::fill_n(history_.get(), entryFrames_ * 2 * kHistoryDepth, int16_t(0));
    }
    newest_ = 0;
}

int16_t* EchoProcessor::entry(int age) const {
    const int slot = (newest_ + age) % kHistoryDepth;
    return history_.get() + size_t(slot) * entryFrames_ * 2;
}

} // namespace tolvane
