#include "tools/play/BandLevels.h"

#include <algorithm>
#include <cmath>

namespace tolvane::play {

namespace {

constexpr std::string_view kNames[BandLevels::kCount] = {"31", "63", "125", "250", "500",
                                                         "1k", "2k", "4k",  "8k",  "16k"};

double centre(size_t band) {
    return 1000.0 * std::pow(2.0, double(band) - 5.0);
}

} // namespace

std::string_view BandLevels::name(size_t band) {
    return band < kCount ? kNames[band] : std::string_view();
}

double BandLevels::lowerEdge(size_t band) {
    return centre(band) / std::sqrt(2.0);
}

double BandLevels::upperEdge(size_t band) {
    return centre(band) * std::sqrt(2.0);
}

BandLevels::Levels BandLevels::reduce(std::span<const int32_t> frequencies,
                                      std::span<const int32_t> left,
                                      std::span<const int32_t> right) {
    Levels levels;
    const size_t count = std::min({frequencies.size(), left.size(), right.size()});
    for (size_t band = 0; band < kCount; ++band) {
        const double lower = lowerEdge(band);
        const double upper = upperEdge(band);
        for (size_t i = 0; i < count; ++i) {
            const double f = frequencies[i];
            if (f >= lower && f < upper) {
                const int32_t loudest = std::max(left[i], right[i]);
                levels[band] = std::max(levels[band].value_or(loudest), loudest);
            }
        }
    }
    return levels;
}

} // namespace tolvane::play
