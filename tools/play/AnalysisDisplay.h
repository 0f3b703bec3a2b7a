#pragma once

#include "tools/play/BandLevels.h"

#include <cstdint>
#include <string>

namespace tolvane::play {

// What the spectrum command shows at one moment, as plain lines for a pipe or
// a file, or as bars for a terminal.
class AnalysisDisplay {
  public:
    struct Frame {
        uint32_t positionMs = 0;
        uint32_t lengthMs = 0;
        uint32_t levelLeft = 0;  // 0..100
        uint32_t levelRight = 0; // 0..100
        BandLevels::Levels bands;
    };

    // The first plain line: "# ms vu_left vu_right 31 63 … 16k" (band names in Hz).
    static std::string header();
    // "MS L R B0 … B9": position, levels and the band levels in dB, "-" for an
    // empty band; single blanks between the fields, no line break.
    static std::string line(const Frame& frame);

    // The terminal picture: the time, a bar for each level meter and one for
    // each band, every line ending in a line break. A band's bar is full at the
    // highest amplitude a transform of `points` can report.
    static std::string bars(const Frame& frame, int32_t points);
    // The number of lines bars() writes.
    static constexpr size_t kBarLines = 3 + BandLevels::kCount;
};

} // namespace tolvane::play
