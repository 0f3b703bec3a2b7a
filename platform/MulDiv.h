#pragma once

#include <cstdint>

namespace tolvane::platform {

// number × numerator ÷ denominator with a 64-bit intermediate, rounded half away
// from zero. Returns −1 when the denominator is 0 or the result does not fit in
// 32 bits, as the desktop function does; the engine's frame and time
// conversions depend on exactly this rounding.
int32_t MulDiv(int32_t number, int32_t numerator, int32_t denominator);

} // namespace tolvane::platform
