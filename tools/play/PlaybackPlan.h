#pragma once

#include "tools/play/PlayOptions.h"

#include <atomic>
#include <cstdint>

namespace tolvane {
class Mp3Engine;
}

namespace tolvane::play {

// Turns the options of decode, play and spectrum into engine operations: the settings
// before the run, the start (Play or PlayLoop) and the fade-out at its end.
//
// The fade-out must end where the run's output ends, which only the decoded
// buffers tell: onBuffer runs on the engine's callback thread for each wave
// buffer and starts the fade once the rest of the run fits in it.
class PlaybackPlan {
  public:
    // `lengthMs` is the open stream's length.
    PlaybackPlan(const PlayOptions& options, uint32_t lengthMs);

    // Applies the effects, volume, mix, vocal cut, reverse, seek and fade-in.
    // False when an engine operation fails (its error text tells why).
    bool prepare(Mp3Engine& engine);
    // Starts the run. False with the engine's error text on failure.
    bool start(Mp3Engine& engine);

    // True when the run needs its wave buffers counted (for the fade-out).
    bool wantsBuffers() const { return options_.fadeOutMs.has_value(); }
    // Counts a wave buffer of `bytes` handed out at `sampleRate` Hz and starts
    // the fade-out when it is due.
    void onBuffer(Mp3Engine& engine, uint32_t bytes, uint32_t sampleRate);

    // Milliseconds of audio the run is to produce.
    uint32_t plannedMs() const { return plannedMs_; }

  private:
    void startFadeOut(Mp3Engine& engine, uint32_t ms);

    const PlayOptions options_;
    uint32_t plannedMs_ = 0;
    uint64_t samplesHanded_ = 0; // callback thread only
    std::atomic<bool> fadeStarted_{false};
};

} // namespace tolvane::play
