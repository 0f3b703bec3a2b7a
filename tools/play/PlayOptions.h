#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>

namespace tolvane::play {

enum class Command { Help, Info, Decode, Play, Devices };

struct LoopRange {
    uint32_t startMs = 0;
    uint32_t endMs = 0;
    uint32_t count = 0;
};

// Everything a command line asks for. Options absent from the command line
// stay empty and leave the engine's own defaults alone.
struct PlayOptions {
    Command command = Command::Help;
    std::string file;
    std::string output; // decode: a path, or "-" for standard output

    std::optional<int32_t> device; // play only
    std::optional<uint32_t> seekMs;
    bool reverse = false;
    std::optional<LoopRange> loop;
    std::optional<std::array<uint32_t, 2>> volume; // percent, internal volume
    std::optional<uint32_t> fadeInMs;
    std::optional<uint32_t> fadeOutMs;
    std::optional<std::array<uint32_t, 2>> mix; // percent of left and right
    bool vocalCut = false;
};

} // namespace tolvane::play
