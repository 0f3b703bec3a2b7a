#pragma once

#include "effects/FftwPlans.h"

#include <atomic>
#include <cstdint>
#include <memory>

namespace tolvane {

// The band equalizer's filter object: convolves 16-bit stereo PCM with a
// designed 8191-tap FIR by overlap-add of 16384-point transforms. Both
// channels go through one complex transform (left + i·right), which is exact
// because both channels use the same real filter. Output lags input by
// kLatencyFrames; until a design has been published the samples pass through
// with that same delay, so the caller's latency bookkeeping always holds.
//
// Threads: one designer at a time (the caller serialises publish and
// publishEmpty) hands in tables; only the decoding thread calls apply().
// Tables pass through a triple buffer: the designer fills the slot that is
// neither in use nor waiting and swaps it into the waiting place with one
// atomic exchange; apply() takes the waiting slot at its start. So a table is
// never written while apply() may read it. requestClear() may come from any
// thread and is carried out by the next apply().
class FirFilter {
  public:
    static constexpr int kExponent = 14;
    static constexpr int kSize = 1 << kExponent;                   // N
    static constexpr int kTaps = (1 << (kExponent - 1)) - 1;       // L = 8191
    static constexpr int kLatencyFrames = kTaps + (kTaps - 1) / 2; // 12286

    // Null when memory is missing.
    static std::unique_ptr<FirFilter> create();

    // Takes the spectrum of a design's taps (kSize floats in RealFft's packing).
    void publish(const float* packedSpectrum);
    // Drops the design: samples pass through delayed until the next publish.
    void publishEmpty();

    // Empties the block and the overlap-add output at the start of the next apply().
    void requestClear();

    // Filters `frames` interleaved stereo frames in place; returns `frames`.
    int32_t apply(int16_t* samples, int32_t frames);

  private:
    FirFilter();
    bool allocated() const;
    void publishSlot(bool designed);
    void takeWaitingSlot();
    void clearNow();
    void exchangeSamples(int16_t* samples, int32_t frames);
    void convolveBlock(float* y);
    void delayBlock(float* y);

    using Complex = std::unique_ptr<fftwf_complex, FftwFree>;
    static constexpr uint32_t kSlotMask = 3;
    static constexpr uint32_t kFresh = 4;

    fftwf_plan forwardPlan_ = nullptr;
    fftwf_plan backwardPlan_ = nullptr;
    // Designer side.
    Complex tables_[3];
    bool designed_[3] = {false, false, false};
    uint32_t back_ = 2;
    std::atomic<uint32_t> waiting_{1};
    // Decoding-thread side.
    uint32_t front_ = 0;
    std::atomic<bool> clearRequested_{false};
    int32_t fill_ = 0;
    Complex block_;    // input frames as left + i·right, zero past kTaps
    Complex spectrum_; // work area of the transforms
    // The convolutions of the last two blocks (left + i·right). Overlap-add
    // output frame j is the older one's frame kTaps + j plus the newer one's
    // frame j; the older buffer takes the next block's convolution.
    Complex outputs_[2];
    int newest_ = 0;
};

} // namespace tolvane
