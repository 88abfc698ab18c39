// CRC-16/ARC with tables built at compile time, eight bytes per step (slicing): table
// k gives the CRC of a byte followed by k zero bytes.
#include "crc16.h"

#include <array>

namespace lzhsfx {
namespace {

using Tables = std::array<std::array<uint16_t, 256>, 8>;

constexpr Tables MakeTables() {
    Tables tables{};
    for (unsigned i = 0; i < 256; ++i) {
        unsigned v = i;
        for (int bit = 0; bit < 8; ++bit) {
            v = (v & 1) ? (v >> 1) ^ 0xA001u : v >> 1;
        }
        tables[0][i] = static_cast<uint16_t>(v);
    }
    for (int k = 1; k < 8; ++k) {
        for (unsigned i = 0; i < 256; ++i) {
            const unsigned prev = tables[k - 1][i];
            tables[k][i] = static_cast<uint16_t>((prev >> 8) ^ tables[0][prev & 0xFF]);
        }
    }
    return tables;
}

constexpr Tables kTables = MakeTables();

} // namespace

uint16_t Crc16(const uint8_t *data, size_t size, uint16_t crc) {
    const auto &t = kTables;
    size_t i = 0;
    for (; i + 8 <= size; i += 8) {
        const unsigned x = crc ^ (data[i] | unsigned{data[i + 1]} << 8);
        crc = static_cast<uint16_t>(t[7][x & 0xFF] ^ t[6][x >> 8] ^ t[5][data[i + 2]] ^
                                    t[4][data[i + 3]] ^ t[3][data[i + 4]] ^ t[2][data[i + 5]] ^
                                    t[1][data[i + 6]] ^ t[0][data[i + 7]]);
    }
    for (; i < size; ++i) {
        crc = static_cast<uint16_t>(t[0][(crc ^ data[i]) & 0xFF] ^ (crc >> 8));
    }
    return crc;
}

} // namespace lzhsfx
