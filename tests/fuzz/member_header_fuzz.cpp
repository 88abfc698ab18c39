// The member header reader over a chain of headers: every header is either read
// whole, with its path terminated inside `MemberPath` and its checksum field inside
// the header, or reported once; nothing is read or written outside `HeaderBuffer`.
//
// Input: one byte of options (bit 0: repair the header checksums, bits 1 to 3: let
// that many allocations succeed before they fail, 0 for no failure), then the archive.
#include <string.h>

#include "archive/archive_pass.h"
#include "archive/member_header.h"
#include "decode/crc.h"
#include "fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 1) {
        return 0;
    }
    uint8_t options = data[0];
    std::string archive(reinterpret_cast<const char *>(data + 1), size - 1);
    if (options & 1) {
        FuzzRepairHeaders(archive, 0, false);
    }
    FuzzBegin();
    FuzzWriteFile("C:\\A.LZH", archive);
    lstrcpyA(State->OwnPath, "C:\\A.LZH");
    State->ArchiveFile = _lopen(State->OwnPath, OF_READ);
    FUZZ_CHECK(State->ArchiveFile != HFILE_ERROR);
    State->OwnFileSize = static_cast<DWORD>(archive.size());
    BuildCrcTable(0xA001);
    if ((options >> 1) & 7) {
        HostFailAllocationAfter((options >> 1) & 7);
    }

    for (int members = 0; members < 64; ++members) {
        LONG before = _llseek(State->ArchiveFile, 0, FILE_CURRENT);
        size_t boxes = HostMessageBoxes().size();
        HeaderResult result = ReadMemberHeader();
        if (result == kHeaderEnd) {
            FUZZ_CHECK(HostMessageBoxes().size() == boxes && !State->Failed);
            break;
        }
        if (result != kHeaderValid) {
            FUZZ_CHECK(HostMessageBoxes().size() == boxes + 1 && State->Failed);
            break;
        }
        const BYTE *h = State->HeaderBuffer;
        int header_size = ReadLe16(h);
        FUZZ_CHECK(header_size >= kHeaderFixedSize);
        FUZZ_CHECK(_llseek(State->ArchiveFile, 0, FILE_CURRENT) == before + header_size);
        FUZZ_CHECK(strchr("04567d", MemberMethod()) != nullptr && MemberMethod() != 0);
        FUZZ_CHECK(State->HeaderCrcField >= h && State->HeaderCrcField + 2 <= h + header_size);
        FUZZ_CHECK(memchr(State->MemberPath, 0, kPathSize) != nullptr);
        // Separators are all "/" now, the second byte of a double-byte character aside.
        for (const char *p = State->MemberPath; *p != 0; ++p) {
            BYTE b = static_cast<BYTE>(*p);
            if (IsDBCSLeadByte(b) && p[1] != 0) {
                ++p;
            } else {
                FUZZ_CHECK(b != '\\' && b != 0xFF);
            }
        }
        if (MemberMethod() != 'd' && !SkipMemberData()) {
            break;
        }
        LocalFree(State->HeaderBuffer);
        State->HeaderBuffer = nullptr;
    }
    _lclose(State->ArchiveFile);
    State->ArchiveFile = HFILE_ERROR;
    LocalFree(State->HeaderBuffer);
    State->HeaderBuffer = nullptr;
    FuzzEnd();
    return 0;
}
