#include "effects/Crc16.h"

#include <array>

namespace tolvane {

namespace {

constexpr std::array<uint16_t, 256> makeTable() {
    std::array<uint16_t, 256> table{};
    for (unsigned i = 0; i < 256; ++i) {
        unsigned crc = i;
        for (int bit = 0; bit < 8; ++bit) {
            crc = (crc & 1) ? (crc >> 1) ^ 0xA001u : crc >> 1;
        }
        table[i] = uint16_t(crc);
    }
    return table;
}

constexpr std::array<uint16_t, 256> kTable = makeTable();

} // namespace

uint16_t crc16Arc(const uint8_t* data, size_t size, uint16_t crc) {
    for (size_t i = 0; i < size; ++i) {
        crc = uint16_t((crc >> 8) ^ kTable[(crc ^ data[i]) & 0xFF]);
    }
    return crc;
}

} // namespace tolvane
