#pragma once

#include <atomic>
#include <cstdint>
#include <vector>

namespace tolvane {

// Playing, pausing, loops and reverse play. The application thread sets up a
// run's loop before starting it; the flags both the operations and the run
// change are atomics. `loopFrames`, `loopCounter` and `loopSamples` belong to
// the run while it goes. The frame table changes only with no run going.
struct Transport {
    std::atomic<bool> playing{false};
    std::atomic<bool> paused{false};
    // The start handshake: 1 once a run has started, 0 when it could not.
    std::atomic<int32_t> startResult{1};

    std::atomic<bool> loopMode{false};
    std::atomic<bool> looping{false};
    std::atomic<bool> keepPlaying{false}; // the stream plays on after the loop
    uint32_t loopRepeats = 0;
    std::atomic<uint32_t> loopDone{0};
    uint32_t loopFrames = 0;
    uint32_t loopCounter = 0;
    uint32_t loopSamples = 0;

    // Reverse play: each frame's offset from the first audio frame.
    std::atomic<bool> reverse{false};
    std::vector<uint32_t> frameTable;
};

} // namespace tolvane
