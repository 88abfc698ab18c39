// The program's decoder against the plain one on arbitrary packed data: both run the
// same member (or the member twice, the second time over the state the first left)
// on a fresh machine, and any difference in the bytes delivered, the CRC, the reads
// of the archive, the progress shown, the boxes or the end of the run is a crash.
//
// Input: byte 0 picks the method (bits 0 to 2, modulo 5, index "04567"), the sink
// (bits 3 and 4: 0 a file, else `SpecialMode` 1, 2 or 0 in memory) and a fault (bits
// 5 to 7: 5 a read failure, 6 a short write, 7 Cancel; else none); bytes 1 to 3 the
// unpacked size (little-endian, at most 256 KiB); byte 4 the fault's place (bits 0
// to 6) and, in bit 7, a second run of the member; byte 5 how many 16-byte steps the
// packed size announces past the data; then the packed data.
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include <filesystem>

#include "fuzz_support.h"
// The plain decoder and the harness, compiled into this target.
#include "oracle_decoder.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 6) {
        return 0;
    }
    DiffMember m;
    m.method = "04567"[(data[0] & 7) % 5];
    m.unpacked_size = (data[1] | (data[2] << 8) | (data[3] << 16)) & 0x3FFFF;
    m.packed.assign(reinterpret_cast<const char *>(data + 6), size - 6);
    m.packed_size = static_cast<DWORD>(m.packed.size()) + 16u * data[5];

    DiffCase c;
    c.members.push_back(m);
    if (data[4] & 0x80) {
        c.members.push_back(m);
    }
    c.sink = (data[0] >> 3) & 3;
    int place = data[4] & 0x7F;
    switch (data[0] >> 5) {
    case 5:
        c.read_budget = 64LL * place * place;
        break;
    case 6:
        c.write_budget = 1024LL * place * place;
        break;
    case 7:
        c.cancel_at_pump = 1 + place % 5;
        break;
    default:
        break;
    }

    DiffOutcome fast = RunDiffCase(c, false, FuzzRoot());
    DiffOutcome plain = RunDiffCase(c, true, FuzzRoot());
    std::string difference = FirstDifference(fast, plain);
    if (!difference.empty()) {
        fprintf(stderr, "the decoders differ: %s\n", difference.c_str());
    }
    FUZZ_CHECK(difference.empty());
    return 0;
}
