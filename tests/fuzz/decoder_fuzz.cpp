// The decoder of every method on arbitrary packed data: -lh0- stored copy and the
// -lh4- to -lh7- block decoder. A run either ends normally, having delivered exactly
// what it counted into the output file with its CRC, or ends the process with status
// 1 and leaves no output file behind. Nothing is read or written outside the run
// state's buffers.
//
// Input: byte 0 picks the method (its value modulo 5 indexes "04567"; bit 3: write
// to a file, else to the in-memory sink chosen by bits 4 and 5 as `SpecialMode`;
// bit 7: announce 64 more packed bytes than there are), bytes 1 to 3 the unpacked
// size (little-endian, below 128 KiB), then the packed data.
#include <string.h>

#include "archive/member_header.h"
#include "archive_builder.h"
#include "decode/crc.h"
#include "decode/decoder.h"
#include "fuzz_support.h"

namespace {

const char kOutput[] = "C:\\OUT.BIN";

int Decode(void *) {
    if (MemberMethod() == '0') {
        CopyStored(static_cast<LONG>(MemberUnpackedSize()));
    } else {
        DecodeMember();
    }
    return 0;
}

std::string HostFileBytes(const char *windows_path) {
    std::string bytes;
    FILE *f = fopen(HostPath(windows_path).c_str(), "rb");
    if (f == nullptr) {
        return "<missing>";
    }
    char buffer[4096];
    size_t n;
    while ((n = fread(buffer, 1, sizeof buffer, f)) > 0) {
        bytes.append(buffer, n);
    }
    fclose(f);
    return bytes;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 4) {
        return 0;
    }
    char method = "04567"[data[0] % 5];
    bool to_file = (data[0] & 0x08) != 0;
    DWORD unpacked = (data[1] | (data[2] << 8) | (data[3] << 16)) & 0x1FFFF;
    std::string packed(reinterpret_cast<const char *>(data + 4), size - 4);
    DWORD announced = static_cast<DWORD>(packed.size()) + ((data[0] & 0x80) ? 64 : 0);

    FuzzBegin();
    FuzzWriteFile("C:\\A.LZH", packed);
    lstrcpyA(State->OwnPath, "C:\\A.LZH");
    State->ArchiveFile = _lopen(State->OwnPath, OF_READ);
    FUZZ_CHECK(State->ArchiveFile != HFILE_ERROR);
    BYTE *h = static_cast<BYTE *>(LocalAlloc(LPTR, kHeaderFixedSize));
    State->HeaderBuffer = h;
    memcpy(h + kHeaderMethod, "-lh?-", 5);
    h[kHeaderMethod + 3] = static_cast<BYTE>(method);
    WriteLe32(h + kHeaderPackedSize, announced);
    WriteLe32(h + kHeaderUnpackedSize, unpacked);
    BuildCrcTable(0xA001);
    State->InputIndex = 0xFFFFFFFF;
    if (to_file) {
        lstrcpyA(State->DestinationPath, kOutput);
        lstrcpyA(OutputTempPath, kOutput);
        State->OutputFile = CreateFileA(kOutput, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                        FILE_ATTRIBUTE_NORMAL, nullptr);
        FUZZ_CHECK(State->OutputFile != INVALID_HANDLE_VALUE);
    } else {
        State->SpecialMode = static_cast<BYTE>((data[0] >> 4) % 3);
    }

    int status = HostRunProcess(Decode, nullptr);
    if (status != 0) {
        // Only the read error and "Bad table" end a run here, after their box.
        FUZZ_CHECK(status == 1);
        FUZZ_CHECK(HostMessageBoxes().size() == 1);
        FUZZ_CHECK(State->ArchiveFile == HFILE_ERROR);
        FUZZ_CHECK(HostFileBytes(kOutput) == "<missing>");
    } else {
        FUZZ_CHECK(HostMessageBoxes().empty());
        if (to_file) {
            CloseHandle(State->OutputFile);
            State->OutputFile = INVALID_HANDLE_VALUE;
            std::string out = HostFileBytes(kOutput);
            // A stored member delivers its size; a decoded one every byte it counted,
            // the end of a last match past the size included.
            DWORD expected = method == '0' ? unpacked : State->BytesProduced;
            FUZZ_CHECK(out.size() == expected);
            FUZZ_CHECK(method == '0' || expected >= unpacked);
            FUZZ_CHECK(State->RunningCrc == ReferenceCrc(out));
            if (method == '0') {
                FUZZ_CHECK(out == packed.substr(0, unpacked));
            }
        } else if (State->SpecialMode == 1) {
            FUZZ_CHECK(memchr(State->ScratchText, 0, kScratchTextSize) != nullptr);
        } else if (State->SpecialMode == 2) {
            FUZZ_CHECK(memchr(State->DirectiveText, 0, kDirectiveTextSize) != nullptr);
        }
        _lclose(State->ArchiveFile);
        State->ArchiveFile = HFILE_ERROR;
    }
    FuzzEnd();
    return 0;
}
