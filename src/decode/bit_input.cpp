// Packed input of one member.
//
// - The byte reader refills `InputBuffer` with at most 16384 bytes and never with
//   more than the member has left, so the archive's position after a member is the
//   end of what its last refill took, and no byte of one member is served to the next.
// - The bit reader takes the bytes already in `InputBuffer` early, but reads the
//   archive only when fewer than 16 bits are left, the moment a reader that holds 16
//   to 23 bits and takes a byte only below 16 would need it: the refills, their sizes
//   and a read error come exactly there. Once `PackedLeft` is 0 it shifts in zero
//   bytes without touching the file: a truncated member decodes to wrong bytes, which
//   the data CRC reports.
#include "decode/bit_input.h"

#include "archive/errors.h"
#include "startup/run_state.h"

STUB_PER_THREAD WideBits InputBits;

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

// Sets the span of `InputBuffer` that the member's `left` packed bytes can take
// without a read of the archive, from the byte reader's `index`.
static void SetSpan(WideBits &w, DWORD index, DWORD left) {
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

// An empty span: the refill starts from `InputIndex` and `PackedLeft` themselves.
void StartBits() {
    WideBits &w = InputBits;
    w.bits = 0;
    w.count = 0;
    w.zeros = 0;
    w.in = w.end = nullptr;
    w.index = State->InputIndex;
    w.rest = State->PackedLeft;
    w = RefillBits(w);
}

WideBits RefillBits(WideBits w) {
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
                AbortRun();
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
    return w;
}

// The whole bytes beyond 16 to 23 bits return to the input, the real ones to
// `InputBuffer` (those taken since the last refill, as the refill came only once no
// byte was ahead) and the zero bytes past the end to nowhere.
void StoreBits() {
    const WideBits &w = InputBits;
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

void FillBits(int n) {
    SkipBits(InputBits, n);
}

WORD GetBits(int n) {
    WORD value = static_cast<WORD>(TopBits(InputBits, n));
    FillBits(n);
    return value;
}
