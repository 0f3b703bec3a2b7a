#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace tolvane::play {

// The live line `play` keeps on a terminal: state, position and length,
// bit rate, and level meters when the engine has level data.
class StatusLine {
  public:
    struct State {
        bool paused = false;
        bool reverse = false;
        bool looping = false;
        uint32_t positionMs = 0;
        uint32_t lengthMs = 0;
        uint32_t bitrateKbps = 0;
        std::optional<uint32_t> levelLeft;  // 0..100
        std::optional<uint32_t> levelRight; // 0..100
    };

    // "m:ss.t", or "h:mm:ss.t" from an hour on.
    static std::string formatTime(uint32_t ms);
    // The line's text, without control characters.
    static std::string render(const State& state);
};

} // namespace tolvane::play
