#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace tolvane::play {

enum class Command { Help, Info, Decode, Play, Devices, Tags, Spectrum };

struct LoopRange {
    uint32_t startMs = 0;
    uint32_t endMs = 0;
    uint32_t count = 0;
};

// The ten-band sub-band equalizer, in whole dB.
struct SubbandEq {
    int32_t preampDb = 0;
    std::array<int32_t, 10> gainsDb{};
};

// Band-equalizer gains in thousandths of a dB, one per band.
struct BandGains {
    int32_t preampMilli = 0;
    std::vector<int32_t> gainsMilli;
};

// The echo processor's parameters as SetSfxParam takes them.
struct EchoSettings {
    int32_t mode = 0;
    int32_t delayMs = 0;
    int32_t dryDb = 0;
    int32_t wetDb = 0;
    int32_t outputDb = 0;
};

// Spectrum window types of the engine (1 rectangular … 14 flat top).
constexpr int32_t kWindowHann = 3;

// Everything a command line asks for. Options absent from the command line
// stay empty and leave the engine's own defaults alone.
struct PlayOptions {
    Command command = Command::Help;
    std::string file;
    std::string output; // decode: a path, or "-" for standard output

    std::optional<int32_t> device; // play and spectrum
    std::optional<uint32_t> seekMs;
    bool reverse = false;
    std::optional<LoopRange> loop;
    std::optional<std::array<uint32_t, 2>> volume; // percent, internal volume
    std::optional<uint32_t> fadeInMs;
    std::optional<uint32_t> fadeOutMs;
    std::optional<std::array<uint32_t, 2>> mix; // percent of left and right
    bool vocalCut = false;

    std::optional<SubbandEq> subbandEq;
    std::optional<std::vector<int32_t>> eqBands; // frequency points in Hz
    std::optional<BandGains> eqGains;
    std::optional<EchoSettings> echo;

    int32_t tagVersion = 0; // tags: 1 or 2

    int32_t fftPoints = 2048; // spectrum
    int32_t fftWindow = kWindowHann;
};

} // namespace tolvane::play
