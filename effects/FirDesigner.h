#pragma once

#include <vector>

namespace tolvane {

// Designs the band equalizer's linear-phase FIR filter: an ideal response of
// gain steps at the band edges, windowed by a Kaiser window for 96 dB of
// stop-band attenuation.
class FirDesigner {
  public:
    static constexpr int kTaps = 8191;
    static constexpr int kCentre = (kTaps - 1) / 2;
    static constexpr double kAttenuationDb = 96.0;

    // Fills taps[0 .. kTaps) for `edges` (M ascending band edges in Hz, giving
    // M + 1 bands) with band i scaled by gains[i] (M + 1 values), at sample
    // rate `fs`. False, leaving `taps` alone, when fs ≤ 0.
    static bool design(const std::vector<float>& edges, const float* gains, float fs, float* taps);

    // Kaiser's β for a stop-band attenuation of `attenuationDb`.
    static double kaiserBeta(double attenuationDb);
    // The zeroth-order modified Bessel function of the first kind (15 terms).
    static double besselI0(double x);
};

} // namespace tolvane
