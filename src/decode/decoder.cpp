// The static-Huffman LZ decoder of -lh4- to -lh7- members.
//
// - A block starts with its symbol count and three codes (block_header.cpp); the
//   count is 16 bits, so 0 stands for 65536 symbols.
// - A character/length symbol below 256 is a literal byte; 256 to 509 are matches of
//   3 to 256 bytes, each followed by a position code: distance code d copies from
//   d + 1 bytes back, one byte at a time, so a short distance repeats its pattern.
// - Every method decodes into the one 64 KiB window, at least as large as each
//   method's dictionary. A full window goes to the output sink at once; the rest
//   follows after the last symbol.
//
// Why the symbol loop is fast:
// - It keeps the stream in a register-wide word (`WideBits`) that takes whole words
//   from `InputBuffer`, instead of the plain reader's byte at a time through calls.
//   The block headers still go through the plain reader (`GetBits`, `LookupSymbol`):
//   the loop hands its state back before each header and takes it up after.
// - A table access decodes a symbol and gives its code length; only codes longer
//   than the table walk the tree.
// - A match that neither wraps nor fills the window copies through pointers, a word
//   a step when its distance allows.
#include "decode/decoder.h"

#include <stddef.h>

#include "archive/errors.h"
#include "archive/member_header.h"
#include "decode/bit_input.h"
#include "decode/huffman.h"
#include "startup/run_state.h"

void StartDecoder(char method) {
    RunState *s = State;
    // -lh4- and -lh5- send 14 position symbols in a 4-bit count; -lh6- and -lh7-
    // send 17 in a 5-bit count (a stream of 16 gives the 17th the length 0).
    if ((method & 0x0F) >= 6) {
        s->PositionSymbols = 17;
        s->PositionCountBits = 5;
    } else {
        s->PositionSymbols = 14;
        s->PositionCountBits = 4;
    }
    s->BitBuffer = 0;
    s->SubBitBuffer = 0;
    s->SubBitCount = 0;
    FillBits(16);
    s->BlockSymbolsLeft = 0;
}

// Reads a block's three codes through the plain reader.
static void ReadBlockHeader() {
    RunState *s = State;
    s->BlockSymbolsLeft = GetBits(16);
    ReadAuxLengths(19, 5, 3);
    ReadCharLengths();
    ReadAuxLengths(s->PositionSymbols, s->PositionCountBits, kNoSpecialIndex);
}

// ---- The wide bit reader of the symbol loop ------------------------------------------
//
// `bits` holds the next `count` bits of the stream, left-aligned in a register-wide
// word (32 bits in the program). Between steps `count` is at least 16, so the top 16
// bits are what `BitBuffer` holds for the plain reader, and every lookup and
// extra-bits field (at most 16 bits) is there. The plain reader holds 16 to 23 bits
// and takes a byte only when it falls below 16; this reader takes the bytes already
// in `InputBuffer` early, but reads the archive only at that same moment, so the
// refills, their sizes and a read error come exactly where the plain reader has them.

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

// The top `n` bits (1 to 16).
static inline DWORD TopBits(const WideBits &w, int n) {
    return static_cast<DWORD>(w.bits >> (kWordBits - n));
}

// Sets the span of `InputBuffer` that the member's `left` packed bytes can take
// without a read of the archive, from the plain reader's `index`. Out of line: its
// two callers are off the symbol path.
__attribute__((noinline)) static void SetSpan(WideBits &w, DWORD index, DWORD left) {
    DWORD span = 0;
    w.in = State->InputBuffer + kInputBufferSize; // empty: no span
    if (index < kInputBufferSize) {
        span = kInputBufferSize - index < left ? kInputBufferSize - index : left;
        w.in = State->InputBuffer + index;
    }
    w.end = w.in + span;
    w.index = index + span;
    w.rest = left - span;
}

// Takes up the plain reader's state.
static void LoadBits(WideBits &w) {
    RunState *s = State;
    w.bits = (static_cast<BitWord>(s->BitBuffer) << (kWordBits - 16)) |
             (static_cast<BitWord>(s->SubBitBuffer) << (kWordBits - 24));
    w.count = 16 + s->SubBitCount;
    w.zeros = 0;
    SetSpan(w, s->InputIndex, s->PackedLeft);
}

// Hands the state back as the plain reader would hold it after the same bits: the
// whole bytes beyond its 16 to 23 bits return to the input, the real ones to
// `InputBuffer` (those taken since the last refill, as the refill came only once
// no byte was ahead) and the zero bytes past the end to nowhere.
static void StoreBits(const WideBits &w) {
    RunState *s = State;
    int ahead = (w.count - 16) >> 3;
    int sub = w.count - 16 - 8 * ahead;
    s->BitBuffer = static_cast<WORD>(TopBits(w, 16));
    s->SubBitBuffer = static_cast<BYTE>(TopBits(w, 24) & (0xFF00u >> sub));
    s->SubBitCount = static_cast<BYTE>(sub);
    DWORD real = static_cast<DWORD>(ahead > w.zeros ? ahead - w.zeros : 0);
    DWORD unread = static_cast<DWORD>(w.end - w.in) + real;
    s->InputIndex = w.index - unread;
    s->PackedLeft = w.rest + unread;
}

// Tops `bits` up to all but at most 7 bits of the word, a byte at a time. Past the
// packed data the bytes are zeros; an empty `InputBuffer` is refilled only when
// fewer than 16 bits are left.
static void RefillBits(WideBits &w) {
    RunState *s = State;
    DWORD unread = static_cast<DWORD>(w.end - w.in);
    DWORD index = w.index - unread;
    DWORD left = w.rest + unread;
    while (w.count <= kWordBits - 8) {
        BitWord byte = 0;
        if (left == 0) {
            if (w.zeros < (kWordBits - 16) / 8) {
                ++w.zeros;
            }
        } else if (index < kInputBufferSize) {
            byte = s->InputBuffer[index++];
            --left;
        } else if (w.count < 16) {
            --left;
            s->InputIndex = index;
            int b = ReadInputByte(s->ArchiveFile, left + 1);
            if (b < 0) {
                s->PackedLeft = left;
                ReportReadError();
                AbortRun(1);
            }
            byte = static_cast<BitWord>(b);
            index = s->InputIndex;
        } else {
            break;
        }
        w.bits |= byte << (kWordBits - 8 - w.count);
        w.count += 8;
    }
    SetSpan(w, index, left);
}

// Consumes `n` bits (0 to 16) and tops the register up once fewer than 16 are left.
// With a word's worth of bytes in the span the top-up is one big-endian load,
// shifted into place below the bits held: it takes the whole bytes that fit, and the
// bits it puts below them, the start of the next byte, are the very bits that byte
// brings when it is taken.
static inline void SkipBits(WideBits &w, int n) {
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
            RefillBits(w);
        }
    }
}

// `LookupSymbol` over the wide reader.
static inline DWORD DecodeSymbol(WideBits &w, const WORD *table, int table_bits, DWORD count,
                                 const BYTE *lengths) {
    DWORD entry = table[TopBits(w, table_bits)];
    DWORD symbol = entry & kEntrySymbolMask;
    int length = static_cast<int>(entry >> kEntryLengthShift);
    if (symbol >= count) {
        symbol = FindSymbol(table, table_bits, static_cast<WORD>(count),
                            static_cast<WORD>(TopBits(w, 16)));
        length = lengths[symbol];
    }
    SkipBits(w, length);
    return symbol;
}

// The next character/length symbol (0 to 509) of the current block.
static inline DWORD DecodeChar(WideBits &w) {
    RunState *s = State;
    return DecodeSymbol(w, s->CharTable, 12, kCharSymbols, s->CharLengths);
}

// The next distance code: a position symbol j of 2 or more stands for 2^(j - 1) plus
// the next j - 1 bits (at most 15, as j is below 17).
static inline DWORD DecodePosition(WideBits &w) {
    RunState *s = State;
    DWORD j = DecodeSymbol(w, s->AuxTable, 8, s->PositionSymbols, s->AuxLengths);
    if (j <= 1) {
        return j;
    }
    int extra = static_cast<int>(j) - 1;
    DWORD d = (1u << extra) + TopBits(w, extra);
    SkipBits(w, extra);
    return d;
}

// ---- The symbol loop ---------------------------------------------------------------

// Hands the full window to the sink; progress is shown only while a file is written.
static void WindowFull(DWORD done) {
    RunState *s = State;
    FlushWindow(kWindowBytes);
    if (s->OutputFile != INVALID_HANDLE_VALUE) {
        ReportProgress(done, s->UnpackedSize);
    }
}

void DecodeMember() {
    RunState *s = State;
    s->UnpackedSize = MemberUnpackedSize();
    s->PackedLeft = MemberPackedSize();
    s->RunningCrc = 0;
    s->WindowSize = kWindowBytes;
    StartDecoder(MemberMethod());

    BYTE *window = s->DecodeWindow;
    const DWORD total = s->UnpackedSize;
    // `BytesProduced` is `total` - `remaining` until the symbol that reaches the
    // unpacked size; the loop counts down, which leaves one count to keep.
    DWORD remaining = total;
    DWORD produced = total;
    DWORD fill = 0; // `WindowFill`
    DWORD block_left = 0;
    WideBits w;
    LoadBits(w);
    RefillBits(w);
    while (remaining != 0) {
        if (block_left == 0) {
            StoreBits(w);
            ReadBlockHeader();
            block_left = s->BlockSymbolsLeft != 0 ? s->BlockSymbolsLeft : 65536;
            LoadBits(w);
            RefillBits(w);
        }
        --block_left;
        DWORD c = DecodeChar(w);
        if (c <= 255) {
            window[fill++] = static_cast<BYTE>(c);
            --remaining;
            if (fill == kWindowBytes) {
                WindowFull(total - remaining);
                fill = 0;
            }
            continue;
        }

        DWORD length = c - 253u;
        DWORD d = DecodePosition(w);
        DWORD source = (fill - d - 1) & 0xFFFF;
        if (fill + length + sizeof(BitWord) <= kWindowBytes &&
            source + length + sizeof(BitWord) <= kWindowBytes && length < remaining) {
            // Neither end wraps, the window does not fill, and the member goes on.
            remaining -= length;
            BYTE *to = window + fill;
            const BYTE *from = window + source;
            fill += length;
            if (d < sizeof(BitWord) - 1) {
                // The source overlaps the copy within a word: byte by byte, so the
                // pattern repeats.
                do {
                    *to++ = *from++;
                } while (--length != 0);
                continue;
            }
            // A word a step copies as one byte at a time would when the source lies at
            // least a word back, or anywhere ahead (the distance wrapped). The last
            // step may write up to a word past the match; the bytes there, which a
            // later far match may still read, are put back from before the copy.
            BYTE *stop = to + length;
            BitWord after;
            __builtin_memcpy(&after, stop, sizeof after);
            do {
                BitWord word;
                __builtin_memcpy(&word, from, sizeof word);
                __builtin_memcpy(to, &word, sizeof word);
                to += sizeof word;
                from += sizeof word;
            } while (to < stop);
            __builtin_memcpy(stop, &after, sizeof after);
            continue;
        }
        // A match counts in full at once and is not cut at the unpacked size. The
        // count stops at its maximum rather than wrapping, so that a damaged size near
        // 4 GiB cannot start the loop over.
        DWORD done = total - remaining;
        done = length > 0xFFFFFFFFu - done ? 0xFFFFFFFFu : done + length;
        if (length < remaining) {
            remaining -= length;
        } else {
            remaining = 0;
            produced = done;
        }
        for (DWORD k = 0; k < length; ++k) {
            window[fill++] = window[(source + k) & 0xFFFF];
            if (fill == kWindowBytes) {
                WindowFull(done);
                fill = 0;
            }
        }
    }
    StoreBits(w);
    s->BlockSymbolsLeft = static_cast<WORD>(block_left);
    s->BytesProduced = produced;
    s->WindowFill = fill;
    if (fill != 0) {
        FlushWindow(fill);
        if (s->OutputFile != INVALID_HANDLE_VALUE) {
            ReportProgress(produced, total); // done >= total: 100%
        }
    }
}
