#pragma once

#include <cstddef>
#include <cstdint>

namespace tolvane {

// CRC-16 with the reflected polynomial 0xA001 and initial value 0 (the ARC
// variant), as encoders store it in the LAME tag. Pass a previous result as
// `crc` to continue over more bytes.
uint16_t crc16Arc(const uint8_t* data, size_t size, uint16_t crc = 0);

} // namespace tolvane
