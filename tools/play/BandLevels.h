#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

namespace tolvane::play {

// The coarse spectrum the spectrum command shows: ten octave bands centred on
// 31.25 Hz … 16 kHz (from 1 kHz up and down by octaves), each reaching half an
// octave to either side of its centre.
class BandLevels {
  public:
    static constexpr size_t kCount = 10;
    // A band's level in the engine's amplitude unit (dB, 0 for silence);
    // empty when no spectrum value falls into the band (a small transform).
    using Levels = std::array<std::optional<int32_t>, kCount>;

    // "31", "63", "125", "250", "500", "1k", "2k", "4k", "8k", "16k".
    static std::string_view name(size_t band);
    // The band's lower and upper edge in Hz; a frequency f belongs to it when
    // lower <= f < upper.
    static double lowerEdge(size_t band);
    static double upperEdge(size_t band);

    // The loudest value of either channel in each band. The three spans are the
    // engine's spectrum: a frequency and an amplitude per value.
    static Levels reduce(std::span<const int32_t> frequencies, std::span<const int32_t> left,
                         std::span<const int32_t> right);
};

} // namespace tolvane::play
