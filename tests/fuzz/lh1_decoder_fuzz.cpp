// The tool's -lh1- decoder on arbitrary packed data. A run either refuses the data with
// LzhError or yields exactly the announced size; the same bytes when more data follows
// the stream, and their beginning when less is announced. Nothing is read or written
// outside a buffer.
//
// Input: bytes 0 to 2 the unpacked size (little-endian, below 128 KiB), then the packed
// data.
#include <algorithm>
#include <vector>

#include "fuzz_support.h"
#include "lh1_decoder.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 3) {
        return 0;
    }
    const size_t unpacked = (data[0] | (data[1] << 8) | (data[2] << 16)) & 0x1FFFF;
    // In a buffer of its own size, so that a read past the data is caught.
    std::vector<uint8_t> packed(data + 3, data + size);
    std::vector<uint8_t> out;
    try {
        out = lzhsfx::DecodeLh1(packed.data(), packed.size(), unpacked);
    } catch (const lzhsfx::LzhError &) {
        return 0;
    }
    FUZZ_CHECK(out.size() == unpacked);

    const size_t half = unpacked / 2;
    const std::vector<uint8_t> first = lzhsfx::DecodeLh1(packed.data(), packed.size(), half);
    FUZZ_CHECK(std::equal(first.begin(), first.end(), out.begin()) && first.size() == half);

    packed.resize(packed.size() + 16, 0xA5);
    FUZZ_CHECK(lzhsfx::DecodeLh1(packed.data(), packed.size(), unpacked) == out);
    return 0;
}
