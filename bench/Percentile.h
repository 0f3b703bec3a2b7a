#pragma once

#include <algorithm>
#include <cstddef>
#include <utility>
#include <vector>

namespace tolvane::bench {

// The value below which `fraction` of `values` lie (nearest rank); 0 for none.
inline double percentile(std::vector<double> values, double fraction) {
    if (values.empty()) {
        return 0;
    }
    std::sort(values.begin(), values.end());
    const auto index = std::size_t(fraction * double(values.size() - 1) + 0.5);
    return values[std::min(index, values.size() - 1)];
}

// The middle value (of an even count, the upper of the two middle ones).
inline double median(std::vector<double> values) {
    return percentile(std::move(values), 0.5);
}

} // namespace tolvane::bench
