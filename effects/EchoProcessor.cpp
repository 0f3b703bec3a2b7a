#include "effects/EchoProcessor.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <new>

namespace tolvane {

namespace {

// Gains are summed in double, since two 32-bit dB values may not fit an int32
// sum; the factor stays finite so that silence times a huge gain is silence.
double dbFactor(int32_t gainDb, int32_t outputGainDb) {
    const double factor = std::pow(10.0, (double(gainDb) + double(outputGainDb)) * 0.05);
    return std::min(factor, std::numeric_limits<double>::max());
}

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

struct ActiveTaps {
    const int16_t* history[EchoProcessor::kTapCount];
    double weight[EchoProcessor::kTapCount];
    int count = 0;
};

double echoSum(const ActiveTaps& taps, size_t sample) {
    double sum = 0.0;
    for (int t = 0; t < taps.count; ++t) {
        sum += taps.weight[t] * taps.history[t][sample];
    }
    return sum;
}

} // namespace

EchoProcessor::EchoProcessor() {
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
    for (size_t i = 0; i < frames * 2; ++i) {
        halved[i] = int16_t(samples[i] / 2);
    }

    ActiveTaps left, right;
    for (int j = 0; j < kTapCount; ++j) {
        const int16_t* older = entry(offset_ + j);
        if (leftTaps_[j] != 0.0) {
            left.history[left.count] = older;
            left.weight[left.count++] = leftTaps_[j];
        }
        if (rightTaps_[j] != 0.0) {
            right.history[right.count] = older + 1;
            right.weight[right.count++] = rightTaps_[j];
        }
    }

    for (size_t k = 0; k < frames; ++k) {
        const size_t l = 2 * k;
        const size_t r = l + 1;
        samples[l] = toSample(halved[l] * dryFactor_ + echoSum(left, l) * echoFactor_);
        samples[r] = toSample(halved[r] * dryFactor_ + echoSum(right, l) * echoFactor_);
    }
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
