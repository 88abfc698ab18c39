// CRC-16/ARC (no final inversion), eight bytes a step.
//
// - `CrcTable` is the byte table of the reflected polynomial: the register's low byte,
//   XORed with the next byte, indexes the CRC of that byte.
// - The update is linear, so eight bytes fold in at once: each byte indexes a table
//   that advances its CRC by the number of bytes that follow it in the step, and the
//   first two also take in the register. `CrcAhead` holds those seven tables (4 KiB
//   with `CrcTable`, uninitialised data that costs the program file nothing), derived
//   from `CrcTable` whenever it is built.
#include "decode/crc.h"

#include "startup/run_state.h"

// [256 k + i]: the CRC of byte i followed by k + 1 zero bytes.
static WORD CrcAhead[7 * 256];

void BuildCrcTable(WORD polynomial) {
    WORD *table = State->CrcTable;
    for (int i = 0; i < 256; ++i) {
        WORD v = static_cast<WORD>(i);
        for (int bit = 0; bit < 8; ++bit) {
            v = (v & 1) ? static_cast<WORD>((v >> 1) ^ polynomial) : static_cast<WORD>(v >> 1);
        }
        table[i] = v;
    }
    // Each table is the one before it advanced by a zero byte.
    for (int i = 0; i < 7 * 256; ++i) {
        WORD v = i < 256 ? table[i] : CrcAhead[i - 256];
        CrcAhead[i] = static_cast<WORD>(table[v & 0xFF] ^ (v >> 8));
    }
}

WORD UpdateCrc(const BYTE *bytes, LONG count) {
    const WORD *table = State->CrcTable;
    DWORD crc = State->RunningCrc;
    for (; count >= 8; count -= 8, bytes += 8) {
        crc ^= bytes[0] | (bytes[1] << 8);
        crc = CrcAhead[6 * 256 + (crc & 0xFF)] ^ CrcAhead[5 * 256 + (crc >> 8)] ^
              CrcAhead[4 * 256 + bytes[2]] ^ CrcAhead[3 * 256 + bytes[3]] ^
              CrcAhead[2 * 256 + bytes[4]] ^ CrcAhead[256 + bytes[5]] ^ CrcAhead[bytes[6]] ^
              table[bytes[7]];
    }
    for (; count > 0; --count) {
        crc = table[(crc ^ *bytes++) & 0xFF] ^ (crc >> 8);
    }
    State->RunningCrc = static_cast<WORD>(crc);
    return static_cast<WORD>(crc);
}
