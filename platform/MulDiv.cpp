#include "platform/MulDiv.h"

#include <limits>

namespace tolvane::platform {

int32_t MulDiv(int32_t number, int32_t numerator, int32_t denominator) {
    if (denominator == 0) {
        return -1;
    }
    const int64_t product = int64_t{number} * numerator;
    const bool negative = (product < 0) != (denominator < 0);
    // Magnitudes fit: |product| ≤ 2^62 and |denominator| ≤ 2^31.
    const uint64_t magnitude = product < 0 ? uint64_t(-product) : uint64_t(product);
    const uint64_t divisor =
        denominator < 0 ? uint64_t(-int64_t{denominator}) : uint64_t(denominator);
    const uint64_t quotient = (magnitude + divisor / 2) / divisor;
    const int64_t result = negative ? -int64_t(quotient) : int64_t(quotient);
    if (result > std::numeric_limits<int32_t>::max() ||
        result < std::numeric_limits<int32_t>::min()) {
        return -1;
    }
    return int32_t(result);
}

} // namespace tolvane::platform
