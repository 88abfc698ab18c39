// Packed input of one member.
//
// - The byte reader refills `InputBuffer` with at most 16384 bytes and never with
//   more than the member has left, so the archive's position after a member is the
//   end of what its last refill took, and no byte of one member is served to the next.
// - The bit reader keeps the next 16 bits in `BitBuffer` (bit 15 first) and the rest
//   of the last byte taken, left-aligned, in `SubBitBuffer`. Once `PackedLeft` is 0 it
//   shifts in zero bytes without touching the file: a truncated member decodes to
//   wrong bytes, which the data CRC reports.
#include "decode/bit_input.h"

#include "archive/errors.h"
#include "startup/run_state.h"

int ReadInputByte(HFILE archive, DWORD wanted) {
    RunState *s = State;
    if (s->InputIndex >= kInputBufferSize) { // all ones counts as empty too
        UINT n = wanted < kInputBufferSize ? wanted : DWORD{kInputBufferSize};
        UINT got = _lread(archive, s->InputBuffer, n);
        if (got == static_cast<UINT>(HFILE_ERROR) || got < n) {
            return -1;
        }
        s->InputIndex = 0;
    }
    return s->InputBuffer[s->InputIndex++];
}

void FillBits(int n) {
    RunState *s = State;
    // Each pass moves the rest of `SubBitBuffer` into `BitBuffer` and takes the next
    // byte; a shift of 8 moves nothing out of a byte, a shift of 16 empties the word.
    while (n > s->SubBitCount) {
        n -= s->SubBitCount;
        s->BitBuffer = static_cast<WORD>((s->BitBuffer << s->SubBitCount) +
                                         (s->SubBitBuffer >> (8 - s->SubBitCount)));
        if (s->PackedLeft != 0) {
            --s->PackedLeft;
            int b = ReadInputByte(s->ArchiveFile, s->PackedLeft + 1);
            if (b < 0) {
                ReportReadError();
                AbortRun(1);
            }
            s->SubBitBuffer = static_cast<BYTE>(b);
        } else {
            s->SubBitBuffer = 0;
        }
        s->SubBitCount = 8;
    }
    s->SubBitCount = static_cast<BYTE>(s->SubBitCount - n);
    s->BitBuffer = static_cast<WORD>((s->BitBuffer << n) + (s->SubBitBuffer >> (8 - n)));
    s->SubBitBuffer = static_cast<BYTE>(s->SubBitBuffer << n);
}

WORD GetBits(int n) {
    WORD value = static_cast<WORD>(State->BitBuffer >> (16 - n));
    FillBits(n);
    return value;
}
