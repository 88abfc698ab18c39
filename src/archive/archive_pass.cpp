#include "archive/archive_pass.h"

#include "archive/errors.h"
#include "archive/member_header.h"
#include "decode/crc.h"
#include "decode/decoder.h"
#include "files/paths.h"
#include "files/sanitise.h"
#include "files/text.h"
#include "files/timestamps.h"
#include "shell/post_extraction.h"
#include "startup/directives.h"
#include "startup/run_state.h"
#include "ui/messages.h"

// Status controls of the install dialog.
enum { kFileLabel = 101, kProgressText = 102 };

enum MemberOutcome { kNextMember, kEndWalk };

static void ReleaseHeader() {
    if (State->HeaderBuffer != nullptr) {
        LocalFree(State->HeaderBuffer);
        State->HeaderBuffer = nullptr;
    }
}

static bool IsSpecial(const char *name) {
    return lstrcmpA(State->MemberPath, name) == 0;
}

BOOL SkipMemberData() {
    // The target is checked before seeking, so that a packed size beyond the file
    // can never turn into a seek backwards.
    LONG at = _llseek(State->ArchiveFile, 0, FILE_CURRENT);
    if (at == HFILE_ERROR) {
        return ReportReadError();
    }
    DWORD packed = MemberPackedSize();
    if (static_cast<DWORD>(at) > State->OwnFileSize ||
        packed > State->OwnFileSize - static_cast<DWORD>(at)) {
        return ReportDataMissing();
    }
    if (_llseek(State->ArchiveFile, static_cast<LONG>(at + packed), FILE_BEGIN) == HFILE_ERROR) {
        return ReportReadError();
    }
    return TRUE;
}

static void DecodeCurrentMember() {
    State->RunningCrc = 0;
    State->InputIndex = 0xFFFFFFFF;
    char method = MemberMethod();
    if (method == '0') {
        CopyStored(static_cast<LONG>(MemberUnpackedSize()));
    } else if (method != 'd') {
        DecodeMember();
    }
}

static BOOL OpenArchive() {
    State->ArchiveFile = _lopen(State->OwnPath, OF_READ);
    if (State->ArchiveFile == HFILE_ERROR) {
        return ReportOpenError(State->OwnPath);
    }
    LONG size = _llseek(State->ArchiveFile, 0, FILE_END);
    LONG at = size == HFILE_ERROR
                  ? HFILE_ERROR
                  : _llseek(State->ArchiveFile, static_cast<LONG>(State->Settings.ArchiveOffset),
                            FILE_BEGIN);
    if (at == HFILE_ERROR) {
        return ReportReadError();
    }
    State->OwnFileSize = static_cast<DWORD>(size);
    if (static_cast<DWORD>(at) > State->OwnFileSize) {
        return ReportDataMissing();
    }
    return TRUE;
}

// The maximum component length of the destination volume; 0 when it does not tell.
static DWORD DestinationComponentLength() {
    const char *dir = State->DestinationDir;
    char root[4] = {dir[0], dir[0] != 0 ? dir[1] : '\0', '\\', '\0'};
    DWORD max_component = 0;
    DWORD serial, flags;
    GetVolumeInformationA(root[0] != 0 && root[1] == ':' ? root : nullptr, nullptr, 0, &serial,
                          &max_component, &flags, nullptr, 0);
    return max_component;
}

static MemberOutcome ScanMember() {
    ArchiveCrcXor ^= MemberDataCrc();
    if (IsSpecial("!")) {
        State->SpecialMode = 1;
    } else if (IsSpecial("$")) {
        State->SpecialMode = 2;
    } else {
        return SkipMemberData() ? kNextMember : kEndWalk;
    }
    State->OutputFile = INVALID_HANDLE_VALUE;
    DecodeCurrentMember();
    if (State->Failed) {
        State->SpecialMode = 0;
        return kEndWalk;
    }
    if (State->SpecialMode == 1) {
        // A declined notice fails the pass, but the walk goes on to the next special member.
        if (MessageBoxA(State->DialogWindow, State->ScratchText, State->Settings.WindowTitle,
                        MB_YESNO | MB_ICONQUESTION | MB_TASKMODAL) == IDNO) {
            State->Failed = 1;
        }
    } else {
        ReadDirectives();
    }
    State->SpecialMode = 0;
    return kNextMember;
}

// Decides about an existing destination entry: 1 to overwrite, 0 to keep it, -1 when
// the user cancelled.
static int DecideOverwrite(DWORD attributes) {
    DWORD existing = ExistingFileTime(State->DestinationPath);
    int answer;
    if (SkipNotNewer && existing >= MemberTime()) {
        answer = IDNO;
    } else if (OverwriteSilently) {
        answer = IDYES;
    } else {
        wsprintfA(State->ScratchText, "\"%s\" %s", State->DestinationPath, "上書きしますか？");
        answer = MessageBoxA(State->DialogWindow, State->ScratchText, State->Settings.WindowTitle,
                             MB_YESNOCANCEL | MB_ICONQUESTION | MB_TASKMODAL);
    }
    if (answer == IDCANCEL) {
        return -1;
    }
    if (answer == IDNO) {
        return 0;
    }
    if (State->Settings.RestoreAttributes != 0 && !(attributes & FILE_ATTRIBUTE_DIRECTORY)) {
        SetFileAttributesA(State->DestinationPath, FILE_ATTRIBUTE_NORMAL);
    }
    return 1;
}

static void StampTimes() {
    if (LegacyShell) {
        ApplyTzOffset(&State->CreationTime);
        ApplyTzOffset(&State->ModificationTime);
        ApplyTzOffset(&State->AccessTime);
    }
    FILETIME creation, access, write;
    UnixToFileTime(State->CreationTime, &creation);
    UnixToFileTime(State->AccessTime, &access);
    UnixToFileTime(State->ModificationTime, &write);
    SetFileTime(State->OutputFile, &creation, &access, &write);
}

static MemberOutcome ExtractMember(BOOL long_names) {
    if (IsSpecial("!") || IsSpecial("$")) {
        return SkipMemberData() ? kNextMember : kEndWalk;
    }
    char *path = State->DestinationPath;
    JoinDestinationPath(path, State->DestinationDir, State->MemberPath);
    ReplaceSeparators(path, '/');
    SanitisePath(path[0] != 0 && path[1] == ':' ? path + 2 : path, long_names);

    ShortenForDisplay(State->ScratchText, path, 32);
    SetDlgItemTextA(State->DialogWindow, kFileLabel, State->ScratchText);
    SetDlgItemTextA(State->DialogWindow, kProgressText, "解凍中 0%");
    MakeDirectories(path);
    if (LegacyShell) {
        DWORD stamp = MemberTime();
        ApplyTzOffset(&stamp);
        WriteLe32(State->HeaderBuffer + kHeaderTime, stamp);
    }

    bool directory = MemberMethod() == 'd';
    DWORD attributes = directory ? INVALID_FILE_ATTRIBUTES : GetFileAttributesA(path);
    if (attributes != INVALID_FILE_ATTRIBUTES) {
        int decision = DecideOverwrite(attributes);
        if (decision < 0) {
            State->Failed = 1;
            return kEndWalk;
        }
        if (decision == 0) {
            return SkipMemberData() ? kNextMember : kEndWalk;
        }
    }
    if (directory) {
        return kNextMember;
    }

    State->OutputFile =
        CreateFileA(path, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (State->OutputFile == INVALID_HANDLE_VALUE) {
        ReportOpenError(path);
        return kEndWalk;
    }
    DecodeCurrentMember();
    if (State->Failed) {
        CloseHandle(State->OutputFile);
        State->OutputFile = INVALID_HANDLE_VALUE;
        DeleteFileA(path);
        return kEndWalk;
    }
    StampTimes();
    BOOL closed = CloseHandle(State->OutputFile);
    State->OutputFile = INVALID_HANDLE_VALUE;
    if (!closed) {
        DeleteFileA(path);
        ReportError("ｸﾛｰｽﾞｴﾗｰ", path);
        return kEndWalk;
    }
    if (State->RunningCrc != MemberDataCrc()) {
        DeleteFileA(path);
        ReportError("CRCｴﾗｰ", path);
        return kEndWalk;
    }
    if (State->Settings.RestoreAttributes != 0) {
        SetFileAttributesA(path, State->Attribute);
    }
    return kNextMember;
}

static void CloseArchive() {
    if (State->ArchiveFile != HFILE_ERROR) {
        _lclose(State->ArchiveFile);
        State->ArchiveFile = HFILE_ERROR;
    }
}

BOOL ArchivePass(HWND dialog, PassMode mode) {
    State->DialogWindow = dialog;
    State->Failed = 0;
    if (!OpenArchive()) {
        CloseArchive(); // nothing was walked, so nothing follows either
        return FALSE;
    }
    BOOL long_names = mode == kExtractMode && DestinationComponentLength() == 255;
    if (State->Settings.Flags & kFlagArchiveChecksum) {
        BYTE stored[2] = {0, 0};
        _lread(State->ArchiveFile, stored, 2);
        State->StoredArchiveChecksum = ReadLe16(stored);
    }
    BuildCrcTable(0xA001);
    ArchiveCrcXor = 0;

    for (;;) {
        ReleaseHeader();
        if (ReadMemberHeader() != kHeaderValid) {
            break;
        }
        MemberOutcome outcome = mode == kScanMode ? ScanMember() : ExtractMember(long_names);
        if (outcome == kEndWalk) {
            break;
        }
    }

    CloseArchive();
    if (mode == kScanMode && !State->Failed && (State->Settings.Flags & kFlagArchiveChecksum) &&
        ArchiveCrcXor != State->StoredArchiveChecksum) {
        ReportError("改竄されています", State->OwnPath);
    }
    if (mode == kExtractMode) {
        // The associations and groups follow every walk, a failed one too; the command
        // only a walk without failure.
        RunPostExtraction(State->DialogWindow);
        if (State->Settings.Command[0] != 0 && !State->Failed) {
            RunCommand(State->DialogWindow);
        }
    }
    ReleaseHeader();
    return State->Failed ? FALSE : TRUE;
}
