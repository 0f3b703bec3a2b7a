#pragma once

#include "effects/BandEqualizer.h"
#include "effects/EchoProcessor.h"
#include "effects/SubbandEqualizer.h"

#include <atomic>
#include <cstdint>
#include <vector>

namespace tolvane {

// The effects a run applies: the channel mix and the sub-band equalizer in the
// frame domain before synthesis, the vocal cut, the echo and the band
// equalizer on each buffer. The switches are atomics; each processor guards
// its own state.
struct EffectChain {
    std::atomic<bool> vocalCut{false};
    std::atomic<bool> channelMix{false};
    std::atomic<int32_t> mixFactor[2] = {0, 0}; // 28 fraction bits
    SubbandEqualizer subband;
    BandEqualizer band;
    uint32_t equalizerLatency = 0; // bytes the band equalizer delays the sound by
    EchoProcessor echo;
    // Holds a buffer while the band equalizer's tail plays from the same memory.
    std::vector<uint8_t> gapless;
};

} // namespace tolvane
