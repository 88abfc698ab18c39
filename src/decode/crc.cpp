// CRC-16/ARC over a 256-entry table: one table step per byte, no final inversion.
#include "decode/crc.h"

#include "startup/run_state.h"

void BuildCrcTable(WORD polynomial) {
    for (int i = 0; i < 256; ++i) {
        WORD v = static_cast<WORD>(i);
        for (int bit = 0; bit < 8; ++bit) {
            v = (v & 1) ? static_cast<WORD>((v >> 1) ^ polynomial) : static_cast<WORD>(v >> 1);
        }
        State->CrcTable[i] = v;
    }
}

WORD UpdateCrc(const BYTE *bytes, LONG count) {
    WORD crc = State->RunningCrc;
    for (LONG i = 0; i < count; ++i) {
        crc = static_cast<WORD>(State->CrcTable[(crc ^ bytes[i]) & 0xFF] ^ (crc >> 8));
    }
    State->RunningCrc = crc;
    return crc;
}
