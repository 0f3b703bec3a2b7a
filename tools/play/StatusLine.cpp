#include "tools/play/StatusLine.h"

#include <algorithm>
#include <cstdio>

namespace tolvane::play {

namespace {

constexpr uint32_t kMeterWidth = 10;

std::string meter(uint32_t level) {
    const uint32_t filled = std::min<uint32_t>(level, 100) * kMeterWidth / 100;
    return std::string(filled, '#') + std::string(kMeterWidth - filled, '-');
}

} // namespace

std::string StatusLine::formatTime(uint32_t ms) {
    const uint32_t tenths = (ms / 100) % 10;
    const uint32_t seconds = ms / 1000;
    char text[32];
    if (seconds >= 3600) {
        std::snprintf(text, sizeof text, "%u:%02u:%02u.%u", seconds / 3600, seconds / 60 % 60,
                      seconds % 60, tenths);
    } else {
        std::snprintf(text, sizeof text, "%u:%02u.%u", seconds / 60, seconds % 60, tenths);
    }
    return text;
}

std::string StatusLine::render(const State& s) {
    std::string line = s.paused    ? "paused "
                       : s.reverse ? "reverse"
                       : s.looping ? "looping"
                                   : "playing";
    line += "  " + formatTime(s.positionMs) + " / " + formatTime(s.lengthMs);
    line += "  " + std::to_string(s.bitrateKbps) + " kbit/s";
    if (s.levelLeft && s.levelRight) {
        line += "  L " + meter(*s.levelLeft) + " R " + meter(*s.levelRight);
    }
    return line;
}

} // namespace tolvane::play
