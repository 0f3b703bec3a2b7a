#include "tools/play/AnalysisDisplay.h"

#include "tools/play/StatusLine.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace tolvane::play {

namespace {

constexpr size_t kBarWidth = 50;

std::string bar(double fraction) {
    const size_t filled = size_t(std::clamp(fraction, 0.0, 1.0) * double(kBarWidth) + 0.5);
    return std::string(filled, '#') + std::string(kBarWidth - filled, '.');
}

std::string row(std::string_view label, const std::string& bar, const std::string& value) {
    char text[128];
    std::snprintf(text, sizeof text, "%-6.*s %s %4s\n", int(label.size()), label.data(),
                  bar.c_str(), value.c_str());
    return text;
}

// The engine reports 20 log10(|X| / sqrt(N) + 1); a full-scale constant
// (|X| = 32768 N) gives the largest value.
double topAmplitude(int32_t points) {
    return 20.0 * std::log10(32768.0 * std::sqrt(double(std::max(points, 1))) + 1.0);
}

} // namespace

std::string AnalysisDisplay::header() {
    std::string text = "# ms vu_left vu_right";
    for (size_t band = 0; band < BandLevels::kCount; ++band) {
        text += " " + std::string(BandLevels::name(band));
    }
    return text;
}

std::string AnalysisDisplay::line(const Frame& f) {
    std::string text = std::to_string(f.positionMs) + " " + std::to_string(f.levelLeft) + " " +
                       std::to_string(f.levelRight);
    for (const auto& level : f.bands) {
        text += " " + (level ? std::to_string(*level) : std::string("-"));
    }
    return text;
}

std::string AnalysisDisplay::bars(const Frame& f, int32_t points) {
    std::string text =
        StatusLine::formatTime(f.positionMs) + " / " + StatusLine::formatTime(f.lengthMs) + "\n";
    text += row("L", bar(f.levelLeft / 100.0), std::to_string(f.levelLeft));
    text += row("R", bar(f.levelRight / 100.0), std::to_string(f.levelRight));
    const double top = topAmplitude(points);
    for (size_t band = 0; band < BandLevels::kCount; ++band) {
        const auto& level = f.bands[band];
        const std::string label = std::string(BandLevels::name(band)) + "Hz";
        text += row(label, level ? bar(*level / top) : std::string(kBarWidth, ' '),
                    level ? std::to_string(*level) : "-");
    }
    return text;
}

} // namespace tolvane::play
