// Level-2 member headers: reading one from the archive into `HeaderBuffer` and the
// current-member fields of the run state, and the fields read in place from it.
#pragma once

#include <windows.h>

enum HeaderResult {
    kHeaderEnd,      // the archive has ended; nothing allocated
    kHeaderValid,    // the archive is positioned at the member's packed data
    kHeaderNoMemory, // reported, `Failed` set
    kHeaderInvalid,  // reported, `Failed` set
};

// Offsets of the fixed part of a header.
enum {
    kHeaderMethod = 2, // "-lh?-"
    kHeaderPackedSize = 7,
    kHeaderUnpackedSize = 11,
    kHeaderTime = 15,
    kHeaderAttribute = 19,
    kHeaderDataCrc = 21,
    kHeaderOsId = 23,
    kHeaderFirstExtSize = 24,
    kHeaderFixedSize = 26,
};

HeaderResult ReadMemberHeader();

inline WORD ReadLe16(const BYTE *p) {
    return static_cast<WORD>(p[0] | (p[1] << 8));
}

inline DWORD ReadLe32(const BYTE *p) {
    return static_cast<DWORD>(p[0]) | (static_cast<DWORD>(p[1]) << 8) |
           (static_cast<DWORD>(p[2]) << 16) | (static_cast<DWORD>(p[3]) << 24);
}

inline void WriteLe32(BYTE *p, DWORD v) {
    p[0] = static_cast<BYTE>(v);
    p[1] = static_cast<BYTE>(v >> 8);
    p[2] = static_cast<BYTE>(v >> 16);
    p[3] = static_cast<BYTE>(v >> 24);
}

// The method character of the current header: one of "04567d".
char MemberMethod();
DWORD MemberPackedSize();
DWORD MemberUnpackedSize();
DWORD MemberTime();
WORD MemberDataCrc();
