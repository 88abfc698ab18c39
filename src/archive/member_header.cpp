#include "archive/member_header.h"

#include "archive/errors.h"
#include "decode/crc.h"
#include "files/paths.h"
#include "files/timestamps.h"
#include "startup/run_state.h"
#include "ui/messages.h"

// Extended-header types.
enum {
    kExtCommon = 0x00,
    kExtFileName = 0x01,
    kExtDirName = 0x02,
    kExtAttribute = 0x40,
    kExtWindowsTimes = 0x41,
};

char MemberMethod() {
    return static_cast<char>(State->HeaderBuffer[kHeaderMethod + 3]);
}
DWORD MemberPackedSize() {
    return ReadLe32(State->HeaderBuffer + kHeaderPackedSize);
}
DWORD MemberUnpackedSize() {
    return ReadLe32(State->HeaderBuffer + kHeaderUnpackedSize);
}
DWORD MemberTime() {
    return ReadLe32(State->HeaderBuffer + kHeaderTime);
}
WORD MemberDataCrc() {
    return ReadLe16(State->HeaderBuffer + kHeaderDataCrc);
}

static bool MethodIsKnown(const BYTE *h) {
    if (h[2] != '-' || h[3] != 'l' || h[4] != 'h' || h[6] != '-') {
        return false;
    }
    for (const char *m = "04567d"; *m != 0; ++m) {
        if (h[5] == static_cast<BYTE>(*m)) {
            return true;
        }
    }
    return false;
}

// Takes one extended record: its type, `length` data bytes, then the next size.
// Returns false for a record that cannot be what its type says.
static bool ParseRecord(BYTE type, BYTE *data, WORD length, bool windows_records) {
    RunState *const s = State;
    switch (type) {
    case kExtCommon:
        if (length < 2) {
            return false; // no room for the header CRC
        }
        s->HeaderCrcField = data;
        s->StoredHeaderCrc = ReadLe16(data);
        break;
    case kExtFileName:
        s->FileNameData = data;
        s->FileNameLength = length;
        break;
    case kExtDirName:
        s->DirNameData = data;
        s->DirNameLength = length;
        break;
    case kExtAttribute:
        if (windows_records && length >= 2) {
            s->Attribute = ReadLe16(data);
        }
        break;
    case kExtWindowsTimes:
        if (windows_records && length >= 24) {
            FILETIME t[3];
            for (int i = 0; i < 3; ++i) {
                t[i].dwLowDateTime = ReadLe32(data + 8 * i);
                t[i].dwHighDateTime = ReadLe32(data + 8 * i + 4);
            }
            FileTimeToUnix(&t[0], &s->CreationTime);
            FileTimeToUnix(&t[1], &s->ModificationTime);
            FileTimeToUnix(&t[2], &s->AccessTime);
        }
        break;
    default:
        break;
    }
    return true;
}

// Copies a name up to its length or an inner NUL; false when the path would not fit.
static bool AppendName(int *at, const BYTE *name, WORD length) {
    for (WORD i = 0; i < length && name[i] != 0; ++i) {
        if (*at >= kPathSize - 1) {
            return false;
        }
        State->MemberPath[(*at)++] = static_cast<char>(name[i]);
    }
    return true;
}

// Walks the extended records, keeping every record and its size field inside the
// header of `size` bytes.
static bool ParseExtendedHeaders(BYTE *h, int size) {
    bool windows_records = h[kHeaderOsId] == 'M' || h[kHeaderOsId] == 'W' || h[kHeaderOsId] == 'w';
    int at = kHeaderFirstExtSize;
    for (;;) {
        if (at + 2 > size) {
            return false;
        }
        WORD record_size = ReadLe16(h + at);
        if (record_size == 0) {
            return true;
        }
        if (record_size < 3 || at + 2 + record_size > size) {
            return false;
        }
        BYTE *record = h + at + 2;
        if (!ParseRecord(record[0], record + 1, static_cast<WORD>(record_size - 3),
                         windows_records)) {
            return false;
        }
        at += record_size;
    }
}

HeaderResult ReadMemberHeader() {
    RunState *const s = State;
    BYTE size_bytes[2];
    if (_lread(s->ArchiveFile, size_bytes, 2) != 2) {
        return kHeaderEnd;
    }
    short size = static_cast<short>(ReadLe16(size_bytes));
    if (size == 0) {
        return kHeaderEnd;
    }
    BYTE *h = size > 0 ? static_cast<BYTE *>(LocalAlloc(LPTR, static_cast<size_t>(size))) : nullptr;
    if (h == nullptr) {
        ErrorBox(kMemoryFailure, nullptr);
        s->Failed = 1;
        return kHeaderNoMemory;
    }
    s->HeaderBuffer = h;
    if (size < kHeaderFixedSize) {
        ReportInvalidHeader(); // too short for the fixed part and the first record size
        return kHeaderInvalid;
    }
    h[0] = size_bytes[0];
    h[1] = size_bytes[1];
    UINT rest = static_cast<UINT>(size - 2);
    if (_lread(s->ArchiveFile, h + 2, rest) != rest || !MethodIsKnown(h)) {
        ReportInvalidHeader();
        return kHeaderInvalid;
    }

    s->HeaderCrcField = nullptr;
    s->DirNameData = nullptr;
    s->DirNameLength = 0;
    s->FileNameData = nullptr;
    s->FileNameLength = 0;
    s->Attribute = h[kHeaderAttribute];
    s->CreationTime = s->AccessTime = s->ModificationTime = MemberTime();
    if (!ParseExtendedHeaders(h, size) || s->HeaderCrcField == nullptr) {
        ReportInvalidHeader();
        return kHeaderInvalid;
    }

    // The header CRC covers the header as stored with its own two bytes zeroed.
    s->HeaderCrcField[0] = 0;
    s->HeaderCrcField[1] = 0;
    s->RunningCrc = 0;
    if (UpdateCrc(h, size) != s->StoredHeaderCrc) {
        ReportInvalidHeader();
        return kHeaderInvalid;
    }

    int at = 0;
    if (!AppendName(&at, s->DirNameData, s->DirNameLength) ||
        !AppendName(&at, s->FileNameData, s->FileNameLength)) {
        ReportInvalidHeader();
        return kHeaderInvalid;
    }
    s->MemberPath[at] = 0;
    ReplaceSeparators(s->MemberPath, '/');
    return kHeaderValid;
}
