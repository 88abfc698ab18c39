// The -lh5-, -lh6- and -lh7- encoder: compresses a buffer into the packed stream of
// one archive member.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <vector>

#include "lzh_format.h"

namespace lzhsfx {

constexpr int kMinLevel = 1;
constexpr int kMaxLevel = 9;
constexpr int kDefaultLevel = 6;

// Compresses `size` bytes with `method` at `level` (kMinLevel, fastest, to
// kMaxLevel, smallest; values outside are clamped), on up to `threads` threads (0:
// one per processor; input of more than 1 MiB gains from more than one). No copy
// reaches further back than the method's dictionary. The result depends on the
// method, level and data only. The stream ends with its last code and the zero bits
// that fill its last byte. Empty input gives an empty stream. The result may be
// larger than the input; the archive writer then stores the data instead.
// `finished`, when given, is called with the size of each part of the input once it is
// encoded, from whichever thread encoded it: the progress through a large input.
std::vector<uint8_t> Compress(Method method, const uint8_t *data, size_t size,
                              int level = kDefaultLevel, int threads = 1,
                              const std::function<void(size_t)> &finished = {});

// Compress for input too large to hold: `read(offset, out, n)` hands over the `size`
// bytes of input a window of a few megabytes at a time, and `write(bytes, n)` takes
// the packed stream as it is made, in order, byte for byte as Compress makes it.
void CompressStream(Method method, uint64_t size,
                    const std::function<void(uint64_t, uint8_t *, size_t)> &read,
                    const std::function<void(const uint8_t *, size_t)> &write,
                    int level = kDefaultLevel, int threads = 1,
                    const std::function<void(size_t)> &finished = {});

// Frees the encoders that Compress and CompressStream keep for the next input of the
// same method and level (one for each input that ran at once).
void ReleaseKeptEncoders();

} // namespace lzhsfx
