#pragma once

#include <mad.h>

#include <array>
#include <atomic>
#include <cstdint>

namespace tolvane {

// The sub-band equalizer: ten band gains and a preamp turned into 32 gain
// factors (fixed point, 28 fraction bits) applied to the sub-band samples of
// each decoded frame before synthesis. No latency, one multiply per sample.
//
// Threads: the application thread sets and reads gains and the switch; the
// decoding thread calls apply(). Each factor and the switch are atomic, so a
// frame sees every factor either before or after a change, never torn.
class SubbandEqualizer {
  public:
    static constexpr int kBands = 10;
    static constexpr int kSubbands = 32;
    static constexpr int32_t kUnity = 0x10000000;

    SubbandEqualizer();

    void setEnabled(bool on) { enabled_.store(on, std::memory_order_relaxed); }
    bool enabled() const { return enabled_.load(std::memory_order_relaxed); }

    // SetEqGains / SetEqGainsMilli for the sub-band kind: always ten gains, in
    // dB or thousandths of a dB. A null `gains` changes only the preamp.
    void setGains(int32_t preamp, const int32_t* gains, bool milli);
    // GetEqGains / GetEqGainsMilli: the count (10); with a non-null `preamp`
    // also the preamp and (when `gains` is given) the ten gains.
    int32_t getGains(int32_t* preamp, int32_t* gains, bool milli) const;

    int32_t factor(int subband) const { return factors_[subband].load(std::memory_order_relaxed); }
    // The band that sub-band k belongs to.
    static int bandOfSubband(int subband);

    // Scales the frame's sub-band samples in place, saturating to libmad's
    // fixed-point range.
    void apply(mad_frame& frame) const;

  private:
    std::atomic<bool> enabled_{false};
    std::array<int32_t, kBands> gainsMilli_{};
    int32_t preampMilli_ = 0;
    std::array<std::atomic<int32_t>, kSubbands> factors_;
};

} // namespace tolvane
