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
#include "decode/decoder.h"

#include "decode/bit_input.h"
#include "archive/member_header.h"
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

WORD DecodeChar() {
    RunState *s = State;
    if (s->BlockSymbolsLeft == 0) {
        s->BlockSymbolsLeft = GetBits(16);
        ReadAuxLengths(19, 5, 3);
        ReadCharLengths();
        ReadAuxLengths(s->PositionSymbols, s->PositionCountBits, kNoSpecialIndex);
    }
    --s->BlockSymbolsLeft;
    return LookupSymbol(s->CharTable, 12, kCharSymbols, s->CharLengths);
}

WORD DecodePosition() {
    RunState *s = State;
    // Below `PositionSymbols` (at most 17), so the extra bits number at most 15.
    WORD j = LookupSymbol(s->AuxTable, 8, s->PositionSymbols, s->AuxLengths);
    if (j <= 1) {
        return j;
    }
    return static_cast<WORD>((1u << (j - 1)) + GetBits(j - 1));
}

// Hands the full window to the sink; progress is shown only while a file is written.
static void WindowFull(DWORD done) {
    RunState *s = State;
    FlushWindow(kWindowBytes);
    if (s->OutputFile != INVALID_HANDLE_VALUE) {
        ReportProgress(done, s->UnpackedSize);
    }
    s->WindowFill = 0;
}

void DecodeMember() {
    RunState *s = State;
    s->UnpackedSize = MemberUnpackedSize();
    s->PackedLeft = MemberPackedSize();
    s->RunningCrc = 0;
    s->WindowSize = kWindowBytes;
    StartDecoder(MemberMethod());
    s->BytesProduced = 0;
    s->WindowFill = 0;

    while (s->BytesProduced < s->UnpackedSize) {
        WORD c = DecodeChar();
        if (c <= 255) {
            s->DecodeWindow[s->WindowFill++] = static_cast<BYTE>(c);
            if (s->WindowFill == static_cast<DWORD>(s->WindowSize)) {
                WindowFull(s->BytesProduced + 1);
            }
            ++s->BytesProduced;
            continue;
        }
        // A match counts in full at once and is not cut at the unpacked size. The
        // count stops at its maximum rather than wrapping, so that a damaged size near
        // 4 GiB cannot start the loop over.
        DWORD length = c - 253u;
        WORD d = DecodePosition();
        s->BytesProduced =
            length > 0xFFFFFFFFu - s->BytesProduced ? 0xFFFFFFFFu : s->BytesProduced + length;
        DWORD source = (s->WindowFill - d - 1) & 0xFFFF;
        for (DWORD k = 0; k < length; ++k) {
            s->DecodeWindow[s->WindowFill++] = s->DecodeWindow[(source + k) & 0xFFFF];
            if (s->WindowFill == static_cast<DWORD>(s->WindowSize)) {
                WindowFull(s->BytesProduced);
            }
        }
    }
    if (s->WindowFill != 0) {
        FlushWindow(s->WindowFill);
        if (s->OutputFile != INVALID_HANDLE_VALUE) {
            ReportProgress(s->BytesProduced, s->UnpackedSize); // done >= total: 100%
        }
    }
}
