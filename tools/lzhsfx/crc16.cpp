// CRC-16/ARC with a table built at compile time, one table step per byte.
#include "crc16.h"

#include <array>

namespace lzhsfx {
namespace {

constexpr std::array<uint16_t, 256> MakeTable() {
    std::array<uint16_t, 256> table{};
    for (unsigned i = 0; i < 256; ++i) {
        unsigned v = i;
        for (int bit = 0; bit < 8; ++bit) {
            v = (v & 1) ? (v >> 1) ^ 0xA001u : v >> 1;
        }
        table[i] = static_cast<uint16_t>(v);
    }
    return table;
}

constexpr std::array<uint16_t, 256> kTable = MakeTable();

} // namespace

uint16_t Crc16(const uint8_t *data, size_t size, uint16_t crc) {
    for (size_t i = 0; i < size; ++i) {
        crc = static_cast<uint16_t>(kTable[(crc ^ data[i]) & 0xFF] ^ (crc >> 8));
    }
    return crc;
}

} // namespace lzhsfx
