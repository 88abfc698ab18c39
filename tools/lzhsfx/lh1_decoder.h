// The decoder of -lh1-, the method of LHarc 1.x and the default of early LHA versions,
// so that members stored with it can be packed again with a method the installer reads.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "lzh_writer.h"

namespace lzhsfx {

// Decodes `packed_size` bytes of -lh1- data into exactly `original_size` bytes: a match
// reaching past them is cut short, and bytes behind the last code are ignored. Throws
// LzhError when the data ends first. The caller checks the member's CRC.
std::vector<uint8_t> DecodeLh1(const uint8_t *packed, size_t packed_size, size_t original_size);

} // namespace lzhsfx
