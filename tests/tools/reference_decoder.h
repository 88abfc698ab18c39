// A strict decoder of -lh5-, -lh6- and -lh7- streams for the tool's tests, written
// from the format as the stub reads it, and stricter than the stub wherever our
// encoder promises more: every code complete, no block count of 0, no copy from
// beyond the method's nominal dictionary or before the start, no match running past
// the end, no position symbol other decoders do not know, and no bytes left over.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

struct DecodeReport {
    std::string error; // empty when the stream is well formed
    std::vector<uint8_t> output;
    size_t max_distance = 0; // the farthest copy, in bytes back
    size_t bits_used = 0;    // of the packed data, up to the last symbol
    int blocks = 0;
    size_t last_block_symbols = 0;
    size_t last_block_code_bits = 0; // of the last block's codes, extra bits not counted
    // Codes sent in their single-symbol form.
    int single_length_codes = 0;
    int single_char_codes = 0;
    int single_position_codes = 0;
};

// Decodes `packed` of method character `method` ('5', '6' or '7') into `unpacked_size`
// bytes.
DecodeReport ReferenceDecode(char method, const std::vector<uint8_t> &packed, size_t unpacked_size);
