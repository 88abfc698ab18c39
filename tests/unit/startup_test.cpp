// Start-up: the command tail, the tokeniser, the switches, the settings record and
// the resolution of the option flags.
#include "test_support.h"

#include <string.h>

#include <vector>

#include "startup/silent.h"
#include "startup/startup.h"

namespace {

std::vector<std::string> Tokens(const char *tail) {
    char **list;
    int count = Tokenise(tail, &list);
    std::vector<std::string> out;
    for (int i = 0; i < count; ++i) {
        out.push_back(list[i]);
    }
    FreeTokens(list, count);
    return out;
}

// Reads the switches of `tail` as start-up does, with the settings `flags`.
void ResolveTail(const char *tail, BYTE flags) {
    char **list;
    int count = Tokenise(tail, &list);
    SkipNotNewer = 1;
    AutoStart = 0;
    DirFromCommandLine = 0;
    ReadSwitches(list, count);
    FreeTokens(list, count);
    State->Settings.Flags = flags;
    ResolveOptions();
}

std::string SettingsFile(const SettingsBlock &block, size_t keep = sizeof(SettingsBlock)) {
    std::string file(kSettingsOffset, 'M');
    file.append(reinterpret_cast<const char *>(&block), keep);
    return file;
}

using CommandTailTest = ::testing::Test;

TEST(CommandTailTest, DropsAQuotedProgramNameAndTheBlanksAfterIt) {
    EXPECT_STREQ(CommandTail("\"C:\\My Setup\\sfx.exe\"  \t-n C:\\x"), "-n C:\\x");
    EXPECT_STREQ(CommandTail("\"C:\\unclosed -n"), "");
}

TEST(CommandTailTest, DropsAnUnquotedProgramNameUpToTheFirstBlank) {
    EXPECT_STREQ(CommandTail("sfx.exe -n"), "-n");
    EXPECT_STREQ(CommandTail("sfx.exe"), "");
    EXPECT_STREQ(CommandTail(""), "");
}

using TokeniseTest = StubTest;

TEST_F(TokeniseTest, SplitsAtBlanksAndControlBytes) {
    EXPECT_EQ(Tokens("  -n\tC:\\Dest  x "), (std::vector<std::string>{"-n", "C:\\Dest", "x"}));
    EXPECT_TRUE(Tokens("").empty());
    EXPECT_TRUE(Tokens(" \t\r\n").empty());
}

TEST_F(TokeniseTest, QuotesOnlySwitchWhetherBlanksEndTheToken) {
    EXPECT_EQ(Tokens("ab\"c d\"e"), (std::vector<std::string>{"abc de"}));
    EXPECT_EQ(Tokens("\"C:\\Program Files\\App\" -n"),
              (std::vector<std::string>{"C:\\Program Files\\App", "-n"}));
    EXPECT_EQ(Tokens("\"\""), (std::vector<std::string>{""}));
}

TEST_F(TokeniseTest, ATabEndsATokenEvenInsideQuotes) {
    EXPECT_EQ(Tokens("\"a b\tc\""), (std::vector<std::string>{"a b", "c"}));
}

TEST_F(TokeniseTest, BytesAboveAsciiAreOrdinary) {
    EXPECT_EQ(Tokens("C:\\表示 ｱ"), (std::vector<std::string>{"C:\\表示", "ｱ"}));
}

TEST_F(TokeniseTest, KeepsTheFirst1024TokensOfALongerTail) {
    std::string tail;
    for (int i = 0; i < 1500; ++i) {
        tail += "t" + std::to_string(i) + " ";
    }
    std::vector<std::string> tokens = Tokens(tail.c_str());
    ASSERT_EQ(tokens.size(), 1024u);
    EXPECT_EQ(tokens.back(), "t1023");
}

TEST_F(TokeniseTest, AnUnallocatedListMeansNoTokens) {
    HostFailAllocationAfter(0);
    char **list;
    EXPECT_EQ(Tokenise("-n C:\\x", &list), 0);
    EXPECT_EQ(list, nullptr);
    FreeTokens(list, 0);
}

TEST_F(TokeniseTest, AnUnallocatedTokenEndsTokenisingWithTheEarlierTokensKept) {
    HostFailAllocationAfter(3); // the list and two tokens
    EXPECT_EQ(Tokens("a b c d"), (std::vector<std::string>{"a", "b"}));
}

using SwitchTest = StubTest;

TEST_F(SwitchTest, AFolderIsTakenOnlyFromThe2ndTokenOnwards) {
    ResolveTail("C:\\Dest", 0);
    EXPECT_EQ(DirFromCommandLine, 0u);
    ResolveTail("-n C:\\Dest", 0);
    EXPECT_EQ(DirFromCommandLine, 1u);
    EXPECT_STREQ(State->ScratchText, "C:\\Dest");
    ResolveTail("x D:\\Other", 0);
    EXPECT_EQ(DirFromCommandLine, 1u);
    EXPECT_STREQ(State->ScratchText, "D:\\Other");
}

TEST_F(SwitchTest, SwitchLettersIgnoreCaseAndTrailingBytes) {
    ResolveTail("-N", 0);
    EXPECT_EQ(AutoStart, 1u);
    ResolveTail("-nx", 0);
    EXPECT_EQ(AutoStart, 1u);
    ResolveTail("-n- -n", 0);
    EXPECT_EQ(AutoStart, 1u);
    ResolveTail("-n -n-", kFlagAutoStart);
    EXPECT_EQ(AutoStart, 0u);
}

TEST_F(SwitchTest, OtherSwitchesAreIgnoredAndAreNoFolder) {
    ResolveTail("-q -", 0);
    EXPECT_EQ(DirFromCommandLine, 0u);
    EXPECT_EQ(AutoStart, 0u);
    EXPECT_EQ(SkipNotNewer, 1u);
}

TEST_F(SwitchTest, TheFolderEndsTheWalk) {
    ResolveTail("-n C:\\Dest -n-", 0);
    EXPECT_EQ(AutoStart, 1u);
    EXPECT_STREQ(State->ScratchText, "C:\\Dest");
}

TEST_F(SwitchTest, AQuotedFolderWithABlankComesWithoutItsQuotes) {
    ResolveTail("-c \"C:\\My Apps\\Tool\"", 0);
    EXPECT_STREQ(State->ScratchText, "C:\\My Apps\\Tool");
    EXPECT_EQ(SkipNotNewer, 0u);
}

TEST_F(SwitchTest, TheSilentSwitchTakesTheFormOfTheOthers) {
    const struct {
        const char *tail;
        DWORD silent;
    } cases[] = {{"-s", 1},
                 {"-S", 1},
                 {"-sx", 1},
                 {"-s-", 0},
                 {"-s -s-", 0},
                 {"-s- -s", 1},
                 {"-s C:\\Dest -s-", 1},
                 {"x -s", 1},
                 {"C:\\Dest -s", 1},
                 {"-q", 0}};
    for (const auto &c : cases) {
        Silent = 0;
        ResolveTail(c.tail, 0);
        EXPECT_EQ(Silent, c.silent) << c.tail;
    }
    ResolveTail("-s C:\\Apps\\X", 0);
    EXPECT_EQ(DirFromCommandLine, 1u);
    EXPECT_STREQ(State->ScratchText, "C:\\Apps\\X");
}

TEST_F(SwitchTest, TheLogIsTheRestOfTheLastLSwitchAndIsNoFolder) {
    const struct {
        const char *tail;
        const char *log; // null: none
    } cases[] = {
        {"-s", nullptr},
        {"-lC:\\a.log", "C:\\a.log"},
        {"-LC:\\a.log -lC:\\b.log", "C:\\b.log"},
        {"-lC:\\a.log -l", ""},
        {"\"-lC:\\My Logs\\x.log\" -s", "C:\\My Logs\\x.log"},
        {"-l\"C:\\My Logs\\x.log\"", "C:\\My Logs\\x.log"},
        {"-s C:\\Dest -lC:\\a.log", nullptr}, // after the folder: not looked at
    };
    for (const auto &c : cases) {
        char **list;
        int count = Tokenise(c.tail, &list);
        LogPath = nullptr;
        DirFromCommandLine = 0;
        ReadSwitches(list, count);
        if (c.log == nullptr) {
            EXPECT_EQ(LogPath, nullptr) << c.tail;
        } else {
            EXPECT_STREQ(LogPath, c.log) << c.tail;
        }
        FreeTokens(list, count);
    }
    LogPath = nullptr;
}

TEST_F(SwitchTest, WithoutARunStateTheSwitchesAreStillRead) {
    RunState *kept = State;
    State = nullptr;
    char **list;
    int count = Tokenise("-s -n C:\\Dest", &list);
    ReadSwitches(list, count);
    FreeTokens(list, count);
    State = kept;
    EXPECT_EQ(Silent, 1u);
    EXPECT_EQ(AutoStart, 11u);
    EXPECT_EQ(DirFromCommandLine, 1u);
    EXPECT_STREQ(State->ScratchText, "");
}

struct OptionCase {
    const char *tail;
    BYTE flags;
    DWORD auto_start;
    DWORD skip_not_newer;
};

class ResolveOptionsTest : public StubTest, public ::testing::WithParamInterface<OptionCase> {};

TEST_P(ResolveOptionsTest, CombinesSwitchesWithTheSettingsBits) {
    const OptionCase &c = GetParam();
    ResolveTail(c.tail, c.flags);
    EXPECT_EQ(AutoStart, c.auto_start) << c.tail << " flags " << int(c.flags);
    EXPECT_EQ(SkipNotNewer, c.skip_not_newer) << c.tail << " flags " << int(c.flags);
    EXPECT_EQ(OverwriteSilently, (c.flags & kFlagOverwriteSilently) ? 1u : 0u);
    EXPECT_EQ(AskBeforeAssociate, 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Table, ResolveOptionsTest,
    ::testing::Values(OptionCase{"", 0x00, 0, 1}, OptionCase{"", 0x01, 1, 1},
                      OptionCase{"x -n", 0x00, 1, 1}, OptionCase{"x -n", 0x01, 1, 1},
                      OptionCase{"x -n-", 0x00, 0, 1}, OptionCase{"x -n-", 0x01, 0, 1},
                      OptionCase{"", 0x08, 0, 0}, OptionCase{"x -c", 0x00, 0, 0},
                      OptionCase{"x -c", 0x08, 0, 0}, OptionCase{"x -c-", 0x00, 0, 1},
                      OptionCase{"x -c-", 0x08, 0, 0}, OptionCase{"", 0x02, 0, 1},
                      OptionCase{"", 0x30, 0, 1}, OptionCase{"", 0xFF, 1, 0}));

using ReadSettingsTest = StubTest;

TEST_F(ReadSettingsTest, ReadsTheRecordAtOffset512) {
    SettingsBlock block = {};
    block.ArchiveOffset = 0x12345;
    strcpy(block.WindowTitle, "Setup");
    strcpy(block.InstallDir, "%ProgramFiles%\\App");
    strcpy(block.Command, "\"app.exe\" /x");
    block.Flags = 0x30;
    block.RestoreAttributes = '/';
    WriteFile("C:\\SFX.EXE", SettingsFile(block) + "archive");
    lstrcpyA(State->OwnPath, "C:\\SFX.EXE");
    ReadSettings();
    EXPECT_EQ(memcmp(&State->Settings, &block, sizeof block), 0);
}

TEST_F(ReadSettingsTest, AnEmptyWindowTitleBecomesTheDefaultTitle) {
    WriteFile("C:\\SFX.EXE", SettingsFile(SettingsBlock{}));
    lstrcpyA(State->OwnPath, "C:\\SFX.EXE");
    ReadSettings();
    EXPECT_STREQ(State->Settings.WindowTitle, "LZH 自己解凍書庫 V2.60.w32.0027");
}

TEST_F(ReadSettingsTest, AnUnreadableFileLeavesTheSettingsZeroWithTheDefaultTitle) {
    lstrcpyA(State->OwnPath, "C:\\MISSING.EXE");
    ReadSettings();
    EXPECT_EQ(DWORD{State->Settings.ArchiveOffset}, 0u);
    EXPECT_EQ(DWORD{State->Settings.Flags}, 0u);
    EXPECT_STREQ(State->Settings.WindowTitle, DefaultTitle);
}

TEST_F(ReadSettingsTest, AShortReadKeepsWhatWasRead) {
    SettingsBlock block = {};
    block.ArchiveOffset = 700;
    strcpy(block.WindowTitle, "Short");
    block.Flags = 0x01;
    WriteFile("C:\\SFX.EXE", SettingsFile(block, 60));
    lstrcpyA(State->OwnPath, "C:\\SFX.EXE");
    ReadSettings();
    EXPECT_EQ(DWORD{State->Settings.ArchiveOffset}, 700u);
    EXPECT_STREQ(State->Settings.WindowTitle, "Short");
    EXPECT_EQ(DWORD{State->Settings.Flags}, 0u);
}

TEST_F(ReadSettingsTest, UnterminatedTextFieldsEndInsideTheirWidths) {
    SettingsBlock block;
    memset(&block, 'A', sizeof block);
    block.ArchiveOffset = 0;
    WriteFile("C:\\SFX.EXE", SettingsFile(block));
    lstrcpyA(State->OwnPath, "C:\\SFX.EXE");
    ReadSettings();
    EXPECT_EQ(strlen(State->Settings.WindowTitle), 40u);
    EXPECT_EQ(strlen(State->Settings.InstallTitle), 40u);
    EXPECT_EQ(strlen(State->Settings.InstallDir), 255u);
    EXPECT_EQ(strlen(State->Settings.Command), 258u);
    EXPECT_EQ(DWORD{State->Settings.Flags}, DWORD{'A'});
}

TEST_F(ReadSettingsTest, TheCommandLineFolderReplacesTheSettingsFolder) {
    SettingsBlock block = {};
    strcpy(block.InstallDir, "C:\\FromSettings");
    WriteFile("C:\\SFX.EXE", SettingsFile(block));
    lstrcpyA(State->OwnPath, "C:\\SFX.EXE");
    DirFromCommandLine = 1;
    lstrcpyA(State->ScratchText, "D:\\FromCommandLine");
    ReadSettings();
    EXPECT_STREQ(State->Settings.InstallDir, "D:\\FromCommandLine");
}

TEST_F(ReadSettingsTest, ALongCommandLineFolderIsCutBeforeADoubleByteCharacter) {
    lstrcpyA(State->OwnPath, "C:\\MISSING.EXE");
    DirFromCommandLine = 1;
    std::string folder = "C:\\" + std::string(250, 'a') + "表示"; // 253 + 4 bytes
    lstrcpyA(State->ScratchText, folder.c_str());
    State->Settings.Command[0] = 'X';
    ReadSettings();
    EXPECT_EQ(std::string(State->Settings.InstallDir), "C:\\" + std::string(250, 'a') + "表");
    EXPECT_EQ(State->Settings.Command[0], 'X');
}

using SfxMainTest = StubTest;

TEST_F(SfxMainTest, ARunStateThatCannotBeAllocatedEndsWithStatus0AndABox) {
    free(State);
    State = nullptr;
    HostFailAllocationAfter(0);
    int status = RunAsProcess([] { return SfxMain(nullptr, "-n C:\\x"); });
    EXPECT_EQ(status, 0);
    ASSERT_EQ(HostMessageBoxes().size(), 1u);
    const HostMessageBox &box = HostMessageBoxes()[0];
    EXPECT_EQ(box.owner, nullptr);
    EXPECT_EQ(box.caption, "LZH 自己解凍書庫 V2.60.w32.0027");
    EXPECT_EQ(box.text, "ﾒﾓﾘが足りません");
    EXPECT_EQ(box.style, static_cast<UINT>(MB_TASKMODAL | MB_ICONERROR));
}

TEST_F(SfxMainTest, TheWin32sPlatformSelectsTheLegacyShell) {
    free(State);
    State = nullptr;
    HostSetPlatformId(VER_PLATFORM_WIN32s);
    RunAsProcess([] { return SfxMain(nullptr, ""); });
    EXPECT_EQ(LegacyShell, 1u);
    HostSetPlatformId(VER_PLATFORM_WIN32_NT);
    RunAsProcess([] { return SfxMain(nullptr, ""); });
    EXPECT_EQ(LegacyShell, 0u);
}

} // namespace

namespace {

std::vector<std::string> dll_calls;

BOOL WINAPI RecordSetDefaultDllDirectories(DWORD flags) {
    dll_calls.push_back("SetDefaultDllDirectories " + std::to_string(flags));
    return TRUE;
}

BOOL WINAPI RefuseSetDefaultDllDirectories(DWORD flags) {
    dll_calls.push_back("SetDefaultDllDirectories " + std::to_string(flags) + " refused");
    return FALSE;
}

BOOL WINAPI RecordSetDllDirectoryA(LPCSTR path) {
    dll_calls.push_back(std::string("SetDllDirectoryA \"") + path + "\"");
    return TRUE;
}

template <typename F> FARPROC AsProc(F f) {
    return reinterpret_cast<FARPROC>(reinterpret_cast<void (*)()>(f));
}

using HardenedLoadingTest = StubTest;

TEST_F(HardenedLoadingTest, StartUpLimitsDllLoadingToTheSystemDirectoryFirst) {
    free(State);
    State = nullptr;
    dll_calls.clear();
    HostSetKernelProc("SetDefaultDllDirectories", AsProc(RecordSetDefaultDllDirectories));
    HostSetKernelProc("SetDllDirectoryA", AsProc(RecordSetDllDirectoryA));
    HostFailAllocationAfter(0); // the run ends right after the platform check
    RunAsProcess([] { return SfxMain(nullptr, ""); });
    // The limit alone: an empty DLL directory would be inherited by the programs started.
    EXPECT_EQ(dll_calls, (std::vector<std::string>{"SetDefaultDllDirectories 2048"}));
}

TEST_F(HardenedLoadingTest, WithoutTheLimitTheCurrentDirectoryLeavesTheSearch) {
    for (bool present : {false, true}) {
        SCOPED_TRACE(present ? "refused" : "missing");
        free(State);
        State = nullptr;
        dll_calls.clear();
        HostSetKernelProc("SetDefaultDllDirectories",
                          present ? AsProc(RefuseSetDefaultDllDirectories) : nullptr);
        HostSetKernelProc("SetDllDirectoryA", AsProc(RecordSetDllDirectoryA));
        HostFailAllocationAfter(0);
        RunAsProcess([] { return SfxMain(nullptr, ""); });
        std::vector<std::string> expected;
        if (present) {
            expected.push_back("SetDefaultDllDirectories 2048 refused");
        }
        expected.push_back("SetDllDirectoryA \"\"");
        EXPECT_EQ(dll_calls, expected);
    }
}

TEST_F(HardenedLoadingTest, APlatformWithoutTheCallsStartsAsBefore) {
    free(State);
    State = nullptr;
    dll_calls.clear();
    HostFailAllocationAfter(0);
    EXPECT_EQ(RunAsProcess([] { return SfxMain(nullptr, ""); }), 0);
    EXPECT_TRUE(dll_calls.empty());
    EXPECT_EQ(HostMessageBoxes().size(), 1u);
}

} // namespace
