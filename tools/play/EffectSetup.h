#pragma once

#include "tools/play/PlayOptions.h"

namespace tolvane {
class Mp3Engine;
}

namespace tolvane::play {

// Hands the effect options to the engine: the sub-band equalizer, the band
// equalizer's layout and gains, and the echo.
//
// It runs once the stream is open. For a stream opened without a device
// (decode) the engine returns from the band-equalizer operations only when the
// filter they asked for is designed, so decode's output is equalized from its
// first sample; on a device the sound is equalized once the first design is
// done, a moment after the start.
class EffectSetup {
  public:
    // False when an engine operation fails (its error text tells why).
    static bool apply(const PlayOptions& options, Mp3Engine& engine);
};

} // namespace tolvane::play
