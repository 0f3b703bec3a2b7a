#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>

namespace tolvane {

// The player volume and the fades the decoding thread performs frame by frame.
// `lock` guards every field but `internalVolume`: the operations hold it to set
// a volume or a fade, the decoding thread for each frame's fade step and while
// it copies the gains for a buffer.
struct GainState {
    // The gain applied to the samples: the volume's times the fade's. Under `lock`.
    void setEffectiveGains() {
        effectiveGain[0] = volumeGain[0] * fadeGain[0];
        effectiveGain[1] = volumeGain[1] * fadeGain[1];
    }

    std::mutex lock;
    bool fadeOutRunning = false;
    bool fadeInRunning = false;
    uint32_t fadeOutFrames = 0;
    uint32_t fadeInFrames = 0;
    double fadeOutStep = 0.0;
    double fadeInStep = 0.0;
    uint32_t fadeCounter = 0;
    double fadeLevel = 100.0;
    double volumeGain[2] = {1.0, 1.0};
    double fadeGain[2] = {1.0, 1.0};
    double effectiveGain[2] = {1.0, 1.0};
    uint32_t volume[2] = {100, 100}; // percent
    std::atomic<bool> internalVolume{false};
};

} // namespace tolvane
