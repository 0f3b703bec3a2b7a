#pragma once

#include <algorithm>
#include <cstddef>
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

} // namespace tolvane::bench
