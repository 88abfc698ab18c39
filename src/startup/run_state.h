// The one record that holds the whole state of a run, the settings record inside
// it, and the option flags kept beside it.
//
// Start-up allocates the record zero-filled and every subsystem works on its fields
// in place through `State`; nothing is copied into per-subsystem state.
#pragma once

#include <stddef.h>
#include <windows.h>

// The program has one thread. The lzhsfx tool runs the header reader and the decoder
// on several, each over a run state of its own, and defines this as thread_local.
#ifndef STUB_PER_THREAD
#define STUB_PER_THREAD
#endif

// Sizes of the fixed text buffers, terminator included.
enum {
    kWindowTitleSize = 41,
    kInstallTitleSize = 41,
    kInstallDirSize = 256,
    kCommandSize = 259,
    kPathSize = 260,
    kDestinationPathSize = 516,
    kDestinationDirSize = 256,
    kScratchTextSize = 1024,
    kDirectiveTextSize = 4096,
    kCommandTextSize = 1024,
    kCaptionSize = 80,
    kShortFieldSize = 20,
    kClassKeySize = 128,
    kWindowBytes = 65536,
    kInputBufferSize = 16384,
    kCharSymbols = 510,
    kTreeNodes = 2 * kCharSymbols - 1,
    kSettingsOffset = 512,
};

// `Flags` bits of the settings record.
enum {
    kFlagAutoStart = 0x01,
    kFlagOverwriteSilently = 0x02,
    kFlagArchiveChecksum = 0x04,
    kFlagAskBeforeOverwriteOff = 0x08, // turns `SkipNotNewer` off
    kFlagSilentCommand = 0x40,         // a silent run starts the command too
};

#pragma pack(push, 1)
// The settings record as stored at offset 512 of the program's own file.
struct SettingsBlock {
    DWORD ArchiveOffset; // little-endian, like the host of every build
    char WindowTitle[kWindowTitleSize];
    char InstallTitle[kInstallTitleSize];
    char InstallDir[kInstallDirSize];
    char Command[kCommandSize];
    BYTE Flags;
    BYTE RestoreAttributes;
};
#pragma pack(pop)

static_assert(sizeof(SettingsBlock) == 603, "settings record size");
static_assert(offsetof(SettingsBlock, WindowTitle) == 4, "settings layout");
static_assert(offsetof(SettingsBlock, InstallTitle) == 45, "settings layout");
static_assert(offsetof(SettingsBlock, InstallDir) == 86, "settings layout");
static_assert(offsetof(SettingsBlock, Command) == 342, "settings layout");
static_assert(offsetof(SettingsBlock, Flags) == 601, "settings layout");
static_assert(offsetof(SettingsBlock, RestoreAttributes) == 602, "settings layout");

struct RunState {
    DWORD InputIndex; // next byte of InputBuffer; 16384 or more: empty
    LONG WindowSize;
    DWORD UnpackedSize;
    DWORD PackedLeft;
    DWORD BytesProduced;
    DWORD WindowFill;
    DWORD Failed;
    DWORD OwnFileSize;
    DWORD CancelRequested;
    DWORD Extracting;
    DWORD GroupChecked;       // check box 105
    DWORD AssociationChecked; // check box 106
    HWND DialogWindow;
    HFILE ArchiveFile;
    HANDLE OutputFile; // INVALID_HANDLE_VALUE selects the in-memory sink
    BYTE *HeaderCrcField;
    BYTE *DirNameData;
    BYTE *FileNameData;
    WORD CrcTable[256];
    WORD StoredHeaderCrc;
    WORD Attribute;
    WORD DirNameLength;
    WORD FileNameLength;
    WORD RunningCrc;
    WORD BlockSymbolsLeft;
    WORD TreeLeft[kTreeNodes];
    WORD TreeRight[kTreeNodes];
    WORD CharTable[4096];
    WORD AuxTable[256];
    WORD PositionSymbols;
    WORD PositionCountBits;
    WORD StoredArchiveChecksum;
    WORD BitBuffer;
    BYTE SubBitBuffer;
    BYTE SubBitCount;
    BYTE SpecialMode; // 0 ordinary member, 1 notice, 2 directives
    SettingsBlock Settings;
    BYTE *HeaderBuffer;
    DWORD CreationTime;
    DWORD AccessTime;
    DWORD ModificationTime;
    BYTE DecodeWindow[kWindowBytes];
    char MemberPath[kPathSize];
    BYTE CharLengths[kCharSymbols];
    BYTE AuxLengths[128];
    char OwnPath[kPathSize];
    char DestinationPath[kDestinationPathSize];
    char DestinationDir[kDestinationDirSize];
    BYTE InputBuffer[kInputBufferSize];
    char ScratchText[kScratchTextSize];
    char DirectiveText[kDirectiveTextSize];
    char ProgramPath[kPathSize];
    char IconPath[kPathSize];
    char ItemTitle[kCaptionSize];
    char CommandText[kCommandTextSize];
    char Extension[kShortFieldSize];
    char TypeName[kShortFieldSize];
    char ClassKey[kClassKeySize];
    char AssociationCaption[kCaptionSize];
    char GroupCaption[kCaptionSize];
    char GroupName[kCaptionSize];
};

#ifdef _WIN32
// The real program is 32-bit: its record has the declared layout to the byte.
static_assert(sizeof(RunState) == 105012, "run state size");
static_assert(offsetof(RunState, DialogWindow) == 48, "run state layout");
static_assert(offsetof(RunState, CrcTable) == 72, "run state layout");
static_assert(offsetof(RunState, TreeLeft) == 596, "run state layout");
static_assert(offsetof(RunState, CharTable) == 4672, "run state layout");
static_assert(offsetof(RunState, Settings) == 13387, "run state layout");
static_assert(offsetof(RunState, HeaderBuffer) == 13992, "run state layout");
static_assert(offsetof(RunState, DecodeWindow) == 14008, "run state layout");
static_assert(offsetof(RunState, InputBuffer) == 81474, "run state layout");
static_assert(offsetof(RunState, DirectiveText) == 98882, "run state layout");
static_assert(offsetof(RunState, GroupName) == 104930, "run state layout");
#endif

extern STUB_PER_THREAD RunState *State;

// Option flags, 0 or 1 once start-up has resolved them.
extern DWORD AutoStart;
extern DWORD OverwriteSilently;
extern DWORD SkipNotNewer;
extern DWORD LegacyShell;
extern DWORD AskBeforeAssociate;
extern DWORD DirFromCommandLine;
extern WORD ArchiveCrcXor;
extern LONG DdeState;
extern HWND ProgmanWindow;
extern HINSTANCE ModuleInstance;
extern HICON DialogIcon;

// The file the member being extracted is written to until it is complete and
// correct: a temporary file in the destination folder that then takes the place of
// `DestinationPath`, or `DestinationPath` itself when that name was free; empty when
// there is none. Room for the folder of `DestinationPath` and an 8.3 name.
enum { kOutputTempPathSize = kDestinationPathSize + 16 };
extern STUB_PER_THREAD char OutputTempPath[kOutputTempPathSize];

// Ends the run from inside decoding: closes the output file being written and
// deletes it (`OutputTempPath`), closes the archive, and ends the process with
// status 1, or a silent run's with its failure's kind.
[[noreturn]] void AbortRun();
