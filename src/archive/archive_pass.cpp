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
#include "startup/silent.h"
#include "ui/messages.h"

// Status controls of the install dialog.
enum { kFileLabel = 101, kProgressText = 102 };

enum MemberOutcome { kNextMember, kEndWalk };

static void ReleaseHeader() {
    RunState *const s = State;
    if (s->HeaderBuffer != nullptr) {
        LocalFree(s->HeaderBuffer);
        s->HeaderBuffer = nullptr;
    }
}

// Whether the member path is exactly the one-byte name `special` ("!" or "$").
static bool IsSpecial(char special) {
    return State->MemberPath[0] == special && State->MemberPath[1] == 0;
}

BOOL SkipMemberData() {
    RunState *const s = State;
    // The target is checked before seeking, so that a packed size beyond the file
    // can never turn into a seek backwards.
    LONG at = _llseek(s->ArchiveFile, 0, FILE_CURRENT);
    if (at == HFILE_ERROR) {
        return ReportReadError();
    }
    DWORD packed = MemberPackedSize();
    if (static_cast<DWORD>(at) > s->OwnFileSize ||
        packed > s->OwnFileSize - static_cast<DWORD>(at)) {
        return ReportDataMissing();
    }
    if (_llseek(s->ArchiveFile, static_cast<LONG>(at + packed), FILE_BEGIN) == HFILE_ERROR) {
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
    RunState *const s = State;
    s->ArchiveFile = _lopen(s->OwnPath, OF_READ);
    if (s->ArchiveFile == HFILE_ERROR) {
        return ReportError(kOwnFileFailure, s->OwnPath);
    }
    LONG size = _llseek(s->ArchiveFile, 0, FILE_END);
    LONG at =
        size == HFILE_ERROR
            ? HFILE_ERROR
            : _llseek(s->ArchiveFile, static_cast<LONG>(s->Settings.ArchiveOffset), FILE_BEGIN);
    if (at == HFILE_ERROR) {
        return ReportReadError();
    }
    s->OwnFileSize = static_cast<DWORD>(size);
    if (static_cast<DWORD>(at) > s->OwnFileSize) {
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
    RunState *const s = State;
    ArchiveCrcXor ^= MemberDataCrc();
    if (IsSpecial('!')) {
        s->SpecialMode = 1;
    } else if (IsSpecial('$')) {
        s->SpecialMode = 2;
    } else {
        return SkipMemberData() ? kNextMember : kEndWalk;
    }
    s->OutputFile = INVALID_HANDLE_VALUE;
    DecodeCurrentMember();
    if (s->Failed) {
        s->SpecialMode = 0;
        return kEndWalk;
    }
    if (s->SpecialMode == 1) {
        // A declined notice fails the pass, but the walk goes on to the next special
        // member. A silent run takes the notice as accepted.
        if (!Silent && MessageBoxA(s->DialogWindow, s->ScratchText, s->Settings.WindowTitle,
                                   MB_YESNO | MB_ICONQUESTION | MB_TASKMODAL) == IDNO) {
            s->Failed = 1;
        }
    } else {
        ReadDirectives();
    }
    s->SpecialMode = 0;
    return kNextMember;
}

// Decides about an existing destination entry: 1 to overwrite, 0 to keep it, -1 when
// the user cancelled. The entry itself is left alone until the new file replaces it.
// A silent run answers the question with Yes: the rule alone keeps a file.
static int DecideOverwrite() {
    RunState *const s = State;
    DWORD existing = ExistingFileTime(s->DestinationPath);
    int answer;
    if (SkipNotNewer && existing >= MemberTime()) {
        answer = IDNO;
    } else if (OverwriteSilently || Silent) {
        answer = IDYES;
    } else {
        wsprintfA(s->ScratchText, "\"%s\" %s", s->DestinationPath, "上書きしますか？");
        answer = MessageBoxA(s->DialogWindow, s->ScratchText, s->Settings.WindowTitle,
                             MB_YESNOCANCEL | MB_ICONQUESTION | MB_TASKMODAL);
    }
    if (answer == IDCANCEL) {
        return -1;
    }
    return answer == IDNO ? 0 : 1;
}

// Whether an existing entry can be replaced, as creating a file over it would tell:
// a directory never; a read-only, hidden or system file only when its attributes are
// to be reset first; never a file that is open elsewhere.
static bool CanReplace(DWORD attributes) {
    bool reset = State->Settings.RestoreAttributes != 0;
    if ((attributes & FILE_ATTRIBUTE_DIRECTORY) ||
        (!reset && (attributes &
                    (FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM)))) {
        return false;
    }
    HANDLE probe = CreateFileA(State->DestinationPath, reset ? GENERIC_READ : GENERIC_WRITE, 0,
                               nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (probe == INVALID_HANDLE_VALUE) {
        return false;
    }
    CloseHandle(probe);
    return true;
}

// The destination path of the previous member of this pass, whose directories were
// made then; the next member makes only those it does not share.
static char MadeDirectories[kDestinationPathSize];

// Whether the temporary name `name` is the name `dest_name` of the destination
// itself, under any case; a loose match of other bytes only passes a name over.
static bool NamesDestination(const char *name, const char *dest_name) {
    int i = 0;
    while (name[i] != 0 && (name[i] | 0x20) == (dest_name[i] | 0x20)) {
        ++i;
    }
    return name[i] == 0 && dest_name[i] == 0;
}

// Gives the member's new file, or the old file it replaces, a temporary name
// "~LZSFXnn.TMP" (nn from 00 to 99; 8.3 on every volume) in the folder of
// `DestinationPath`, into `out` of `kOutputTempPathSize` bytes: with `create` the new
// file is created there as `OutputFile`, else the old file is moved there. Both
// refuse a name that exists, so no file of the user's is ever taken for one; such a
// name is passed over, and so is the destination's own. When either fails with the
// name free, the folder may have gone since an earlier member made it, so every
// directory along the path is made once more and the name tried again. FALSE when
// that fails too or all are taken.
static BOOL TakeNameBeside(char *out, bool create) {
    RunState *const s = State;
    const char *path = s->DestinationPath;
    // The folder part, its separator or drive colon included.
    int folder = static_cast<int>(FindFileNamePart(path) - path);
    lstrcpynA(out, path, folder + 1);
    char *name = out + folder;
    bool made_all = false;
    for (int n = 0; n < 100;) {
        lstrcpyA(name, "~LZSFX00.TMP");
        name[6] = static_cast<char>('0' + n / 10);
        name[7] = static_cast<char>('0' + n % 10);
        if (NamesDestination(name, path + folder)) {
            ++n;
        } else if (create ? (s->OutputFile = CreateFileA(out, GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                                         FILE_ATTRIBUTE_NORMAL, nullptr)) !=
                                INVALID_HANDLE_VALUE
                          : MoveFileA(path, out) != FALSE) {
            return TRUE;
        } else if (GetFileAttributesA(out) != INVALID_FILE_ATTRIBUTES) {
            ++n;
        } else if (made_all) {
            break;
        } else {
            MadeDirectories[0] = 0;
            MakeDirectories(path, MadeDirectories);
            made_all = true;
        }
    }
    return FALSE;
}

// Creates the temporary file the member is written to, as `OutputFile`.
static BOOL CreateOutput() {
    if (TakeNameBeside(OutputTempPath, true)) {
        return TRUE;
    }
    State->OutputFile = INVALID_HANDLE_VALUE;
    OutputTempPath[0] = 0;
    return FALSE;
}

// Creates the member's file under its own name when no entry has that name yet, as
// `OutputFile`: no file of the user's is at stake there, and a failure deletes it as
// it would the temporary file. FALSE when the name is taken or cannot be created.
static bool CreateInPlace(const char *path) {
    RunState *const s = State;
    s->OutputFile =
        CreateFileA(path, GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (s->OutputFile == INVALID_HANDLE_VALUE) {
        return false;
    }
    lstrcpyA(OutputTempPath, path);
    return true;
}

// Whether the folder a file of `path` goes into stands, when the file cannot be
// created there.
static bool FolderStands(const char *path) {
    char folder[kDestinationPathSize + 1];
    int length = static_cast<int>(FindFileNamePart(path) - path);
    lstrcpynA(folder, path, length + 1);
    lstrcpyA(folder + length, ".");
    DWORD attributes = GetFileAttributesA(folder);
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

static void DiscardOutput() {
    DeleteFileA(OutputTempPath);
    OutputTempPath[0] = 0;
}

// Puts the finished temporary file in the place of `DestinationPath`. Where no entry
// stood at the check before decoding (`absent`), the file simply takes the name; a
// move refused because one has appeared since goes the full way. An old file is
// first moved aside, so that it can be put back when the new one cannot take its
// place; it is deleted only once the new one stands there.
static BOOL PutOutputInPlace(bool absent) {
    char *path = State->DestinationPath;
    if (absent && MoveFileA(OutputTempPath, path)) {
        OutputTempPath[0] = 0;
        return TRUE;
    }
    char old[kOutputTempPathSize];
    bool replacing = GetFileAttributesA(path) != INVALID_FILE_ATTRIBUTES;
    if (replacing && !TakeNameBeside(old, false)) {
        return FALSE;
    }
    if (!MoveFileA(OutputTempPath, path)) {
        if (replacing) {
            MoveFileA(old, path);
        }
        return FALSE;
    }
    OutputTempPath[0] = 0;
    if (replacing) {
        if (State->Settings.RestoreAttributes != 0) {
            SetFileAttributesA(old, FILE_ATTRIBUTE_NORMAL);
        }
        DeleteFileA(old);
    }
    return TRUE;
}

static void StampTimes() {
    RunState *const s = State;
    // In the order SetFileTime takes them: creation, last access, last write.
    DWORD *const stamps[3] = {&s->CreationTime, &s->AccessTime, &s->ModificationTime};
    FILETIME times[3];
    for (int i = 0; i < 3; ++i) {
        if (LegacyShell) {
            ApplyTzOffset(stamps[i]);
        }
        UnixToFileTime(*stamps[i], &times[i]);
    }
    SetFileTime(s->OutputFile, &times[0], &times[1], &times[2]);
}

static MemberOutcome ExtractMember(BOOL long_names) {
    RunState *const s = State;
    if (IsSpecial('!') || IsSpecial('$')) {
        return SkipMemberData() ? kNextMember : kEndWalk;
    }
    char *path = s->DestinationPath;
    JoinDestinationPath(path, s->DestinationDir, s->MemberPath);
    ReplaceSeparators(path, '/');
    SanitisePath(path[0] != 0 && path[1] == ':' ? path + 2 : path, long_names);

    ShortenForDisplay(s->ScratchText, path, 32);
    SetDlgItemTextA(s->DialogWindow, kFileLabel, s->ScratchText);
    SetDlgItemTextA(s->DialogWindow, kProgressText, "解凍中 0%");
    MakeDirectories(path, MadeDirectories);
    if (LegacyShell) {
        DWORD stamp = MemberTime();
        ApplyTzOffset(&stamp);
        WriteLe32(s->HeaderBuffer + kHeaderTime, stamp);
    }

    bool directory = MemberMethod() == 'd';
    bool in_place = !directory && CreateInPlace(path);
    DWORD attributes = directory || in_place ? INVALID_FILE_ATTRIBUTES : GetFileAttributesA(path);
    if (attributes != INVALID_FILE_ATTRIBUTES) {
        int decision = DecideOverwrite();
        if (decision < 0) {
            s->Failed = 1;
            return kEndWalk;
        }
        if (decision == 0) {
            LogLine("kept", path);
            return SkipMemberData() ? kNextMember : kEndWalk;
        }
        if (!CanReplace(attributes)) {
            ReportOpenError(path);
            return kEndWalk;
        }
    }
    if (directory) {
        return kNextMember;
    }

    // Otherwise the member is written beside its destination and replaces an existing
    // file only once it is complete and correct, so that a failure never costs the old one.
    if (!in_place && !CreateOutput()) {
        ReportError(FolderStands(path) ? kOpenFailure : kFolderFailure, path);
        return kEndWalk;
    }
    DecodeCurrentMember();
    if (s->Failed) {
        CloseHandle(s->OutputFile);
        s->OutputFile = INVALID_HANDLE_VALUE;
        DiscardOutput();
        return kEndWalk;
    }
    StampTimes();
    BOOL closed = CloseHandle(s->OutputFile);
    s->OutputFile = INVALID_HANDLE_VALUE;
    if (!closed) {
        DiscardOutput();
        ReportError(kCloseFailure, path);
        return kEndWalk;
    }
    if (s->RunningCrc != MemberDataCrc()) {
        DiscardOutput();
        ReportError(kCrcFailure, path);
        return kEndWalk;
    }
    if (in_place) {
        OutputTempPath[0] = 0;
    } else if (!PutOutputInPlace(attributes == INVALID_FILE_ATTRIBUTES)) {
        DiscardOutput();
        ReportOpenError(path);
        return kEndWalk;
    }
    if (s->Settings.RestoreAttributes != 0) {
        SetFileAttributesA(path, s->Attribute);
    }
    LogLine("ok", path);
    return kNextMember;
}

static void CloseArchive() {
    RunState *const s = State;
    if (s->ArchiveFile != HFILE_ERROR) {
        _lclose(s->ArchiveFile);
        s->ArchiveFile = HFILE_ERROR;
    }
}

BOOL ArchivePass(HWND dialog, PassMode mode) {
    RunState *const s = State;
    s->DialogWindow = dialog;
    s->Failed = 0;
    if (!OpenArchive()) {
        CloseArchive(); // nothing was walked, so nothing follows either
        return FALSE;
    }
    BOOL long_names = mode == kExtractMode && DestinationComponentLength() == 255;
    if (s->Settings.Flags & kFlagArchiveChecksum) {
        BYTE stored[2] = {0, 0};
        _lread(s->ArchiveFile, stored, 2);
        s->StoredArchiveChecksum = ReadLe16(stored);
    }
    BuildCrcTable(0xA001);
    ArchiveCrcXor = 0;
    MadeDirectories[0] = 0;

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
    if (mode == kScanMode && !s->Failed && (s->Settings.Flags & kFlagArchiveChecksum) &&
        ArchiveCrcXor != s->StoredArchiveChecksum) {
        ReportError(kTamperedFailure, s->OwnPath);
    }
    if (mode == kExtractMode) {
        // The associations and groups follow every walk, a failed one too; the command
        // only a walk without failure, and in a silent run only when the settings ask.
        RunPostExtraction(s->DialogWindow);
        if (s->Settings.Command[0] != 0 && !s->Failed &&
            (!Silent || (s->Settings.Flags & kFlagSilentCommand))) {
            RunCommand(s->DialogWindow);
        }
    }
    ReleaseHeader();
    return s->Failed ? FALSE : TRUE;
}
