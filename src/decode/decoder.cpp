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
// - It keeps the bit reader (`WideBits`) in registers, a copy of `InputBits` that
//   goes back there only for the block headers and at the end of the member.
// - A table access decodes a symbol and gives its code length; only codes longer
//   than the table walk the tree.
// - A match that neither wraps nor fills the window copies through pointers, a word
//   a step when its distance allows.
#include "decode/decoder.h"

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
    StartBits();
    s->BlockSymbolsLeft = 0;
}

// Reads a block's three codes at `InputBits`.
static void ReadBlockHeader() {
    RunState *s = State;
    s->BlockSymbolsLeft = GetBits(16);
    ReadAuxLengths(19, 5, 3);
    ReadCharLengths();
    ReadAuxLengths(s->PositionSymbols, s->PositionCountBits, kNoSpecialIndex);
}

// The next character/length symbol (0 to 509) of the current block.
static inline DWORD DecodeChar(WideBits &w, RunState *s) {
    return DecodeSymbol(w, s->CharTable, 12, kCharSymbols, s->CharLengths);
}

// The next distance code: a position symbol j of 2 or more stands for 2^(j - 1) plus
// the next j - 1 bits (at most 15, as j is below 17).
static inline DWORD DecodePosition(WideBits &w, RunState *s) {
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
    WideBits w = InputBits;
    while (remaining != 0) {
        if (block_left == 0) {
            InputBits = w;
            ReadBlockHeader();
            w = InputBits;
            block_left = s->BlockSymbolsLeft != 0 ? s->BlockSymbolsLeft : 65536;
        }
        --block_left;
        DWORD c = DecodeChar(w, s);
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
        DWORD d = DecodePosition(w, s);
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
    InputBits = w;
    StoreBits();
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
