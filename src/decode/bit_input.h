// Packed input of the current member: a byte reader that refills `InputBuffer` in
// reads of at most 16384 bytes and never past the member's packed data, and a bit
// reader that serves the decoder most significant bit first, with zero bits once
// the packed data is used up.
//
// The bit reader keeps the stream in a register-wide word (`WideBits`) that takes
// whole words from `InputBuffer`. The symbol loop works on a copy of `InputBits` in
// registers; the block headers go through `GetBits`, `FillBits` and `LookupSymbol`
// on `InputBits` itself.
#pragma once

#include <windows.h>

#include <stddef.h>

#include "startup/run_state.h"

// The next packed byte (0 to 255), or -1 when reading the archive failed. `wanted`
// counts the member's unread packed bytes, the one asked for included; an empty
// buffer (`InputIndex` 16384 or more) is refilled with at most that many.
int ReadInputByte(HFILE archive, DWORD wanted);

// `bits` holds the next `count` bits of the stream, left-aligned in a register-wide
// word (32 bits in the program). Between steps `count` is at least 16, so every
// lookup and extra-bits field (at most 16 bits) is there.
typedef size_t BitWord;
enum { kWordBits = 8 * sizeof(BitWord) };

struct WideBits {
    BitWord bits;
    int count;
    // The bytes of `InputBuffer` the member still has, [in, end). `InputIndex` and
    // `PackedLeft` are what `index` and `rest` say once `in` has reached `end`.
    const BYTE *in;
    const BYTE *end;
    DWORD index;
    DWORD rest;
    int zeros; // zero bytes taken past the packed data, as far as they can be ahead
};

// The bit reader of the current member, set up by `StartBits`.
extern STUB_PER_THREAD WideBits InputBits;

// Starts the bit stream of the member whose `PackedLeft` bytes follow `InputIndex`.
void StartBits();

// `w` with `bits` topped up to all but at most 7 bits of the word, a byte at a time.
// Past the packed data the bytes are zeros; an empty `InputBuffer` is refilled only
// when fewer than 16 bits are left. A read error is reported and ends the run. Taken
// and given by value, so that the symbol loop's copy never leaves its registers.
WideBits RefillBits(WideBits w);

// Hands the state of `InputBits` back to the run state as a byte-wise reader would
// hold it after the same bits: the top 16 in `BitBuffer`, the rest of the last byte
// taken in `SubBitBuffer` / `SubBitCount`, and the bytes taken ahead returned to the
// input.
void StoreBits();

// The top `n` bits (1 to 16).
inline DWORD TopBits(const WideBits &w, int n) {
    return static_cast<DWORD>(w.bits >> (kWordBits - n));
}

// Consumes `n` bits (0 to 16) and tops the register up once fewer than 16 are left.
// With a word's worth of bytes in the span the top-up is one big-endian load,
// shifted into place below the bits held: it takes the whole bytes that fit, and the
// bits it puts below them, the start of the next byte, are the very bits that byte
// brings when it is taken.
inline void SkipBits(WideBits &w, int n) {
    w.bits <<= n;
    w.count -= n;
    if (w.count < 16) {
        if (w.end - w.in >= static_cast<ptrdiff_t>(sizeof(BitWord))) {
            BitWord word;
            __builtin_memcpy(&word, w.in, sizeof word);
            if constexpr (sizeof word == 8) {
                word = __builtin_bswap64(word);
            } else {
                word = __builtin_bswap32(word);
            }
            w.bits |= word >> w.count;
            w.in += (kWordBits - 1 - w.count) >> 3;
            w.count |= kWordBits - 8;
        } else {
            w = RefillBits(w);
        }
    }
}

// Consumes `n` bits (0 to 16) of `InputBits`.
void FillBits(int n);

// The top `n` bits (1 to 16) of `InputBits`, then consumes them.
WORD GetBits(int n);
