// CRC-16/ARC, the checksum of LZH headers and member data: reflected polynomial
// 0xA001, start value 0, no final inversion.
#pragma once

#include <cstddef>
#include <cstdint>

namespace lzhsfx {

// Folds `size` bytes into `crc` and returns the new value. Start with 0; feeding a
// buffer in pieces gives the same result as feeding it whole.
uint16_t Crc16(const uint8_t *data, size_t size, uint16_t crc = 0);

} // namespace lzhsfx
