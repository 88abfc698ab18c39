// Length-limited Huffman codes for the encoder: optimal code lengths under a maximum
// length (package-merge) and the canonical codes the decoders rebuild from them.
#pragma once

#include <cstdint>

namespace lzhsfx {

// Computes code lengths for `count` symbols from their frequencies, none longer than
// `max_length`, minimising the sum of frequency times length. Symbols of frequency 0
// get length 0. With two or more used symbols the lengths form a complete prefix
// code; a single used symbol gets length 1 (the block writer gives it the
// single-symbol form instead). `count` is at most 512 and `max_length` at most 16.
void BuildCodeLengths(const uint32_t *freq, int count, int max_length, uint8_t *lengths);

// Assigns the canonical codes of `lengths`: in order of increasing length and, within
// one length, of increasing symbol number. Codes are right-aligned in `codes`.
void BuildCanonicalCodes(const uint8_t *lengths, int count, uint16_t *codes);

} // namespace lzhsfx
