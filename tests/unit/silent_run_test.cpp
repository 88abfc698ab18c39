// Silent runs from start-up: no box and no dialog shown, the notice taken as
// accepted, the overwrite question answered by the rule, every failure ending the run
// with its own exit status after the clean-up its box would have led to, the log
// file, the command left to the settings, and Win32s. Normal runs beside them keep
// their boxes and statuses.
#include "archive_builder.h"
#include "bit_writer.h"
#include "test_support.h"

#include <filesystem>
#include <set>

#include "platform/host_dialogs_control.h"
#include "platform/host_shell_control.h"
#include "startup/silent.h"
#include "startup/startup.h"
#include "ui/install_dialog.h"

namespace {

HINSTANCE const kInstance = reinterpret_cast<HINSTANCE>(0x400000);
HWND const kProgman = reinterpret_cast<HWND>(0x7000);

const std::string &BigData() {
    static const std::string data(200000, 'b');
    return data;
}

// Pump hooks: act once while the extraction writes "big.bin".
void (*while_big)();
bool WritingBig() {
    std::string path = State == nullptr ? "" : State->DestinationPath;
    return State != nullptr && State->Extracting == 1 && path.size() >= 7 &&
           path.compare(path.size() - 7, 7, "big.bin") == 0;
}
void ActWhileBig() {
    if (while_big != nullptr && WritingBig()) {
        void (*act)() = while_big;
        while_big = nullptr;
        act();
    }
}
// The window of the run's dialog, however many were made.
HWND RunDialog() {
    return HostDialogBoxCalls().back().dialog;
}

class SilentRunTest : public StartUpTest {
  protected:
    void SetUp() override {
        StartUpTest::SetUp();
        HostSetPumpHook(ActWhileBig);
        while_big = nullptr;
        ProgmanCommandsReceived().clear();
        settings_ = SettingsBlock{};
        lstrcpyA(settings_.WindowTitle, "Setup");
        lstrcpyA(settings_.InstallDir, "C:\\Dest");
    }

    void Install(const std::string &archive) {
        WriteFile("C:\\SFX.EXE", InstallerBytes(settings_, archive));
    }
    // Three files, the second big enough to be written in several steps.
    void InstallThree() {
        Install(MemberBytes(Stored("a.txt", "alpha")) + MemberBytes(Stored("big.bin", BigData())) +
                MemberBytes(Stored("z.txt", "zulu")) + '\0');
    }

    int Run(const char *tail) {
        return RunAsProcess([tail] { return SfxMain(kInstance, tail); });
    }

    // The names in C:\Dest, so that a temporary file left behind shows.
    std::set<std::string> DestNames() {
        std::set<std::string> names;
        if (Exists("C:\\Dest")) {
            for (const auto &e : std::filesystem::directory_iterator(HostPath("C:\\Dest"))) {
                names.insert(e.path().filename().string());
            }
        }
        return names;
    }

    // No box at all, and the dialog, if one was made, never shown.
    void ExpectNothingShown() {
        EXPECT_TRUE(HostMessageBoxes().empty());
        for (const HostDialogBoxCall &call : HostDialogBoxCalls()) {
            EXPECT_FALSE(call.shown);
        }
    }

    // A silent run with the log `log` (of `tail_`) that meets the failure `status`,
    // whose log line is "error `text`" after the lines `before`.
    void ExpectFailure(int status, const std::string &text, const std::string &before = "",
                       const char *log = "C:\\setup.log") {
        EXPECT_EQ(Run(tail_), status);
        ExpectNothingShown();
        EXPECT_EQ(ReadFile(log),
                  before + "error " + text + "\r\nexit " + std::to_string(status) + "\r\n");
    }

    SettingsBlock settings_;
    const char *tail_ = "-s -lC:\\setup.log";
};

// ---- A good install -------------------------------------------------------------

TEST_F(SilentRunTest, AGoodInstallShowsNothingWritesEveryFileAndLogsThem) {
    TestMember sub = Stored("b.txt", "beta", kMemberTime, "sub\xFF");
    Install(MemberBytes(Stored("a.txt", "alpha")) + MemberBytes(Directory("empty\xFF")) +
            MemberBytes(sub) + '\0');
    EXPECT_EQ(Run("-s -lC:\\setup.log"), 0);
    ExpectNothingShown();
    // The dialog is made, hidden, for Program Manager's answers and the end of the
    // session; it ends while it initialises.
    ASSERT_EQ(HostDialogBoxCalls().size(), 1u);
    EXPECT_EQ(HostEndDialogs().size(), 1u);
    EXPECT_EQ(ReadFile("C:\\Dest\\a.txt"), "alpha");
    EXPECT_EQ(ReadFile("C:\\Dest\\sub\\b.txt"), "beta");
    EXPECT_TRUE(std::filesystem::is_directory(HostPath("C:\\Dest\\empty")));
    EXPECT_EQ(ReadFile("C:\\setup.log"),
              "ok C:\\Dest\\a.txt\r\nok C:\\Dest\\sub\\b.txt\r\nexit 0\r\n");
}

TEST_F(SilentRunTest, TheFolderAfterTheSwitchesIsTheDestination) {
    InstallThree();
    EXPECT_EQ(Run("-s \"C:\\My Apps\\X\" -s-"), 0); // the folder ends the walk
    ExpectNothingShown();
    EXPECT_EQ(ReadFile("C:\\My Apps\\X\\big.bin"), BigData());
    EXPECT_FALSE(Exists("C:\\Dest"));
}

TEST_F(SilentRunTest, WithoutALogNothingIsWrittenBesideTheFiles) {
    InstallThree();
    EXPECT_EQ(Run("-s -l"), 0); // "-l" alone names no log
    ExpectNothingShown();
    EXPECT_EQ(DestNames(), (std::set<std::string>{"a.txt", "big.bin", "z.txt"}));
    EXPECT_EQ(LogFile, nullptr);
}

TEST_F(SilentRunTest, AnExistingLogIsWrittenAfresh) {
    WriteFile("C:\\setup.log", std::string(5000, 'x'));
    Install(MemberBytes(Stored("a.txt", "alpha")) + '\0');
    EXPECT_EQ(Run("-s -lC:\\setup.log"), 0);
    EXPECT_EQ(ReadFile("C:\\setup.log"), "ok C:\\Dest\\a.txt\r\nexit 0\r\n");
}

TEST_F(SilentRunTest, TheNoticeIsTakenAsAcceptedWhereANormalRunAsks) {
    Install(MemberBytes(Stored("!", "Licence: yes or no?")) +
            MemberBytes(Stored("a.txt", "alpha")) + '\0');
    EXPECT_EQ(Run("-s"), 0);
    ExpectNothingShown();
    EXPECT_EQ(ReadFile("C:\\Dest\\a.txt"), "alpha");

    std::filesystem::remove_all(HostPath("C:\\Dest"));
    HostQueueAnswer(IDNO);
    EXPECT_EQ(Run(""), 0);
    ASSERT_EQ(HostMessageBoxes().size(), 1u);
    EXPECT_EQ(HostMessageBoxes()[0].text, "Licence: yes or no?");
    EXPECT_FALSE(Exists("C:\\Dest\\a.txt"));
}

TEST_F(SilentRunTest, AssociationsAndGroupsRunAsTheTickedBoxesSayWithoutAsking) {
    HostAddWindow(kProgman, "Progman", AcknowledgingProgmanProc, false);
    std::string directives = "$ClassTitle=Associate\r\n$AskRegist=1\r\n"
                             "$Class=.abc,ABC file,a.txt,ABCFile\r\n"
                             "$GroupTitle=Menu\r\n$Group=Tools,Alpha,a.txt\r\n";
    Install(MemberBytes(Stored("$", directives)) + MemberBytes(Stored("a.txt", "alpha")) + '\0');
    HostSetShortName("C:\\Dest\\a.txt", "C:\\Dest\\A.TXT");
    EXPECT_EQ(Run("-s"), 0);
    ExpectNothingShown();
    std::string value;
    EXPECT_TRUE(HostClassesRootValue(".abc", "", &value));
    EXPECT_EQ(value, "ABCFile");
    EXPECT_EQ(
        ProgmanCommandsReceived(),
        std::vector<std::string>{"[CreateGroup(\"Tools\",0)][AddItem(C:\\Dest\\A.TXT,Alpha)]"});
}

// ---- The command ----------------------------------------------------------------

TEST_F(SilentRunTest, TheCommandRunsOnlyWhenTheSettingsAskForItInSilentRuns) {
    lstrcpyA(settings_.Command, "a.txt /x");
    Install(MemberBytes(Stored("a.txt", "alpha")) + '\0');
    EXPECT_EQ(Run("-s"), 0);
    EXPECT_TRUE(HostShellExecutes().empty());

    settings_.Flags = kFlagSilentCommand;
    Install(MemberBytes(Stored("a.txt", "alpha")) + '\0');
    EXPECT_EQ(Run("-s"), 0);
    ASSERT_EQ(HostShellExecutes().size(), 1u);
    EXPECT_EQ(HostShellExecutes()[0].file, "a.txt");
    EXPECT_EQ(HostShellExecutes()[0].parameters, "/x");
    EXPECT_EQ(HostShellExecutes()[0].directory, "C:\\Dest");
    ExpectNothingShown();
}

TEST_F(SilentRunTest, ANormalRunStartsTheCommandWhateverTheSilentBit) {
    lstrcpyA(settings_.Command, "a.txt");
    Install(MemberBytes(Stored("a.txt", "alpha")) + '\0');
    PressOk(1);
    EXPECT_EQ(Run(""), 1);
    EXPECT_EQ(HostShellExecutes().size(), 1u);
}

TEST_F(SilentRunTest, AFailedSilentRunStartsNoCommand) {
    lstrcpyA(settings_.Command, "a.txt");
    settings_.Flags = kFlagSilentCommand;
    TestMember bad = Stored("b.txt", "beta");
    bad.data_crc = ReferenceCrc("beta") ^ 1;
    Install(MemberBytes(Stored("a.txt", "alpha")) + MemberBytes(bad) + '\0');
    EXPECT_EQ(Run("-s"), kCrcFailure);
    EXPECT_TRUE(HostShellExecutes().empty());
}

// ---- Existing files ---------------------------------------------------------------

TEST_F(SilentRunTest, TheRuleKeepsFilesAsNewAndTheQuestionIsAnsweredYes) {
    WriteFileWithTime("C:\\Dest\\a.txt", "same age", kMemberTime);
    WriteFileWithTime("C:\\Dest\\big.bin", "older", kMemberTime - 100);
    WriteFileWithTime("C:\\Dest\\z.txt", "newer", kMemberTime + 100);
    InstallThree();
    EXPECT_EQ(Run("-s -lC:\\setup.log"), 0);
    ExpectNothingShown();
    EXPECT_EQ(ReadFile("C:\\Dest\\a.txt"), "same age");
    EXPECT_EQ(ReadFile("C:\\Dest\\big.bin"), BigData());
    EXPECT_EQ(ReadFile("C:\\Dest\\z.txt"), "newer");
    EXPECT_EQ(ReadFile("C:\\setup.log"),
              "kept C:\\Dest\\a.txt\r\nok C:\\Dest\\big.bin\r\nkept C:\\Dest\\z.txt\r\nexit 0\r\n");
}

TEST_F(SilentRunTest, WithDashCEveryExistingFileIsReplaced) {
    WriteFileWithTime("C:\\Dest\\a.txt", "same age", kMemberTime);
    WriteFileWithTime("C:\\Dest\\z.txt", "newer", kMemberTime + 100);
    InstallThree();
    EXPECT_EQ(Run("-c -s"), 0);
    ExpectNothingShown();
    EXPECT_EQ(ReadFile("C:\\Dest\\a.txt"), "alpha");
    EXPECT_EQ(ReadFile("C:\\Dest\\z.txt"), "zulu");
    EXPECT_EQ(DestNames(), (std::set<std::string>{"a.txt", "big.bin", "z.txt"}));
}

// ---- Failures: the installer ------------------------------------------------------

TEST_F(SilentRunTest, TheRunStateUnallocatedEndsWith2AndALogLine) {
    Install(MemberBytes(Stored("a.txt", "alpha")) + '\0');
    HostFailAllocationAfter(3); // the token list and its two tokens
    ExpectFailure(kMemoryFailure, "ﾒﾓﾘが足りません");
    EXPECT_FALSE(Exists("C:\\Dest"));
}

TEST_F(SilentRunTest, AHeaderBufferUnallocatedEndsWith2) {
    Install(MemberBytes(Stored("a.txt", "alpha")) + '\0');
    HostFailAllocationAfter(4); // the tokens and the run state
    ExpectFailure(kMemoryFailure, "ﾒﾓﾘが足りません");
}

TEST_F(SilentRunTest, ADialogThatCannotBeMadeEndsWith2) {
    Install(MemberBytes(Stored("a.txt", "alpha")) + '\0');
    HostFailDialogBox();
    ExpectFailure(kMemoryFailure, "ﾒﾓﾘが足りません");
    EXPECT_FALSE(Exists("C:\\Dest"));
}

TEST_F(SilentRunTest, AnUnreadableInstallerEndsWith3) {
    HostSetModulePath("C:\\GONE.EXE");
    ExpectFailure(kOwnFileFailure, "\"C:\\GONE.EXE\" ｵｰﾌﾟﾝｴﾗｰ");
}

TEST_F(SilentRunTest, AReadErrorWhileWritingEndsWith4AndKeepsTheOldFile) {
    WriteFileWithTime("C:\\Dest\\big.bin", "old big", kMemberTime - 100);
    InstallThree();
    while_big = [] { HostFailReadsAfter(0); };
    ExpectFailure(kReadFailure, "\"C:\\SFX.EXE\" 読み込みｴﾗｰ", "ok C:\\Dest\\a.txt\r\n");
    EXPECT_EQ(ReadFile("C:\\Dest\\big.bin"), "old big");
    EXPECT_EQ(DestNames(), (std::set<std::string>{"a.txt", "big.bin"}));
}

TEST_F(SilentRunTest, AnArchiveCutShortEndsWith5) {
    settings_.ArchiveOffset = 1 << 20;
    Install("");
    ExpectFailure(kDataMissingFailure, "\"C:\\SFX.EXE\" ﾃﾞｰﾀが欠落しています");
}

TEST_F(SilentRunTest, AnInvalidHeaderEndsWith6) {
    TestMember m = Stored("a.txt", "alpha");
    m.bad_header_crc = true;
    Install(MemberBytes(m) + '\0');
    ExpectFailure(kHeaderFailure, "\"C:\\SFX.EXE\" ﾍｯﾀﾞｰの内容が不正");
    EXPECT_FALSE(Exists("C:\\Dest"));
}

TEST_F(SilentRunTest, AWrongArchiveChecksumEndsWith7) {
    settings_.Flags = kFlagArchiveChecksum;
    Install(std::string("\x12\x34", 2) + MemberBytes(Stored("a.txt", "alpha")) + '\0');
    ExpectFailure(kTamperedFailure, "\"C:\\SFX.EXE\" 改竄されています");
    EXPECT_FALSE(Exists("C:\\Dest"));
}

TEST_F(SilentRunTest, ABadTableEndsWith8AndLeavesNoFile) {
    Install(MemberBytes(Stored("a.txt", "alpha")) + MemberBytes(BadTableMember("b.txt")) + '\0');
    ExpectFailure(kTableFailure, "\"C:\\SFX.EXE\" Bad table", "ok C:\\Dest\\a.txt\r\n");
    EXPECT_EQ(DestNames(), std::set<std::string>{"a.txt"});
}

TEST_F(SilentRunTest, ACrcErrorEndsWith9AndKeepsTheOldFile) {
    WriteFileWithTime("C:\\Dest\\b.txt", "old beta", kMemberTime - 100);
    TestMember bad = Stored("b.txt", "new beta");
    bad.data_crc = ReferenceCrc("new beta") ^ 1;
    Install(MemberBytes(Stored("a.txt", "alpha")) + MemberBytes(bad) +
            MemberBytes(Stored("c.txt", "gamma")) + '\0');
    ExpectFailure(kCrcFailure, "\"C:\\Dest\\b.txt\" CRCｴﾗｰ", "ok C:\\Dest\\a.txt\r\n");
    EXPECT_EQ(ReadFile("C:\\Dest\\b.txt"), "old beta");
    EXPECT_EQ(DestNames(), (std::set<std::string>{"a.txt", "b.txt"}));
}

// ---- Failures: the destination ------------------------------------------------------

TEST_F(SilentRunTest, AFileThatCannotBeReplacedEndsWith10AndStaysAsItWas) {
    WriteFileWithTime("C:\\Dest\\a.txt", "read-only", kMemberTime - 100);
    SetFileAttributesA("C:\\Dest\\a.txt", FILE_ATTRIBUTE_READONLY);
    InstallThree();
    ExpectFailure(kOpenFailure, "\"C:\\Dest\\a.txt\" ｵｰﾌﾟﾝｴﾗｰ");
    EXPECT_EQ(ReadFile("C:\\Dest\\a.txt"), "read-only");
    EXPECT_EQ(DestNames(), std::set<std::string>{"a.txt"});
}

TEST_F(SilentRunTest, AFileInUseEndsWith10WhenItIsToBeReplaced) {
    WriteFileWithTime("C:\\Dest\\a.txt", "in use", kMemberTime);
    HANDLE lock = CreateFileA("C:\\Dest\\a.txt", GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(lock, INVALID_HANDLE_VALUE);
    InstallThree();
    tail_ = "-s -c -lC:\\setup.log";
    ExpectFailure(kOpenFailure, "\"C:\\Dest\\a.txt\" ｵｰﾌﾟﾝｴﾗｰ");
    CloseHandle(lock);
    EXPECT_EQ(ReadFile("C:\\Dest\\a.txt"), "in use");
}

TEST_F(SilentRunTest, AFullDiskEndsWith11AndKeepsTheOldFile) {
    WriteFileWithTime("C:\\Dest\\big.bin", "old big", kMemberTime - 100);
    InstallThree();
    HostLimitWritesOn('C', 100000); // the log on D: has room
    std::filesystem::create_directories(root_ + "/d");
    tail_ = "-s -lD:\\setup.log";
    ExpectFailure(kWriteFailure, "\"C:\\Dest\\big.bin\" 書き込みｴﾗｰ", "ok C:\\Dest\\a.txt\r\n",
                  "D:\\setup.log");
    EXPECT_EQ(ReadFile("C:\\Dest\\big.bin"), "old big");
    EXPECT_EQ(DestNames(), (std::set<std::string>{"a.txt", "big.bin"}));
}

TEST_F(SilentRunTest, ACloseErrorEndsWith12AndLeavesNoFile) {
    InstallThree();
    while_big = [] { HostFailNextClose(); };
    ExpectFailure(kCloseFailure, "\"C:\\Dest\\big.bin\" ｸﾛｰｽﾞｴﾗｰ", "ok C:\\Dest\\a.txt\r\n");
    EXPECT_EQ(DestNames(), std::set<std::string>{"a.txt"});
}

TEST_F(SilentRunTest, AnInstallFolderThatCannotBeMadeEndsWith13) {
    WriteFile("C:\\Dest", "a file where the folder goes");
    InstallThree();
    ExpectFailure(kFolderFailure, "\"C:\\Dest\\a.txt\" ｵｰﾌﾟﾝｴﾗｰ");
    EXPECT_EQ(ReadFile("C:\\Dest"), "a file where the folder goes");
}

TEST_F(SilentRunTest, ANetworkFolderEndsWith14WithNothingWritten) {
    InstallThree();
    tail_ = "-s -lC:\\setup.log \\\\server\\share";
    ExpectFailure(kNetworkFolderFailure, "ﾃﾞｨﾚｸﾄﾘ名が正しくありません");
    EXPECT_EQ(HostEndDialogs().size(), 1u);
}

// ---- Failures: from outside ---------------------------------------------------------

TEST_F(SilentRunTest, ClosingTheHiddenDialogEndsWith15AndDeletesThePartialFile) {
    WriteFileWithTime("C:\\Dest\\big.bin", "old big", kMemberTime - 100);
    InstallThree();
    // The default handling of WM_CLOSE, as another program may send it.
    while_big = [] { PostMessageA(RunDialog(), WM_COMMAND, IDCANCEL, 0); };
    ExpectFailure(kCancelFailure, "ｷｬﾝｾﾙされました", "ok C:\\Dest\\a.txt\r\n");
    EXPECT_EQ(ReadFile("C:\\Dest\\big.bin"), "old big");
    EXPECT_EQ(DestNames(), (std::set<std::string>{"a.txt", "big.bin"}));
}

TEST_F(SilentRunTest, TheEndOfTheSessionEndsWith16AndDeletesThePartialFile) {
    WriteFileWithTime("C:\\Dest\\big.bin", "old big", kMemberTime - 100);
    InstallThree();
    while_big = [] {
        SendMessageA(RunDialog(), WM_ENDSESSION, FALSE, 0); // another program said no
        SendMessageA(RunDialog(), WM_ENDSESSION, TRUE, 0);
    };
    ExpectFailure(kSessionEndFailure, "ﾛｸﾞｵﾌまたはｼｬｯﾄﾀﾞｳﾝ", "ok C:\\Dest\\a.txt\r\n");
    EXPECT_EQ(ReadFile("C:\\Dest\\big.bin"), "old big");
    EXPECT_EQ(DestNames(), (std::set<std::string>{"a.txt", "big.bin"}));
}

TEST_F(SilentRunTest, ALogThatCannotBeCreatedEndsWith17BeforeAnythingIsInstalled) {
    InstallThree();
    EXPECT_EQ(Run("-s -lC:\\NoSuchFolder\\setup.log"), kLogFailure);
    ExpectNothingShown();
    EXPECT_TRUE(HostDialogBoxCalls().empty());
    EXPECT_FALSE(Exists("C:\\Dest"));
}

// ---- Win32s -------------------------------------------------------------------------

TEST_F(SilentRunTest, Win32sInstallsSilentlyWithItsOwnShell) {
    HostSetPlatformId(VER_PLATFORM_WIN32s);
    std::string directives = "$ClassTitle=Associate\r\n$Class=.abc,ABC file,a.txt,ABCFile\r\n";
    Install(MemberBytes(Stored("$", directives)) + MemberBytes(Stored("a.txt", "alpha")) + '\0');
    EXPECT_EQ(Run("-s -lC:\\setup.log"), 0);
    ExpectNothingShown();
    EXPECT_EQ(LegacyShell, 1u);
    EXPECT_EQ(ReadFile("C:\\Dest\\a.txt"), "alpha");
    ASSERT_EQ(HostProfileWrites().size(), 1u);
    EXPECT_EQ(HostProfileWrites()[0].section, "Extensions");
    EXPECT_EQ(HostProfileWrites()[0].key, "abc");
    EXPECT_EQ(ReadFile("C:\\setup.log"), "ok C:\\Dest\\a.txt\r\nexit 0\r\n");
}

TEST_F(SilentRunTest, Win32sFailuresEndWithTheirStatusesToo) {
    HostSetPlatformId(VER_PLATFORM_WIN32s);
    WriteFileWithTime("C:\\Dest\\a.txt", "old alpha", kMemberTime - 100);
    TestMember bad = Stored("a.txt", "new alpha");
    bad.data_crc = ReferenceCrc("new alpha") ^ 1;
    Install(MemberBytes(bad) + '\0');
    ExpectFailure(kCrcFailure, "\"C:\\Dest\\a.txt\" CRCｴﾗｰ");
    EXPECT_EQ(ReadFile("C:\\Dest\\a.txt"), "old alpha");
}

// ---- Normal runs beside them ----------------------------------------------------------

TEST_F(SilentRunTest, ANormalRunKeepsItsBoxAndStatus1AndWritesNoLog) {
    TestMember bad = Stored("b.txt", "beta");
    bad.data_crc = ReferenceCrc("beta") ^ 1;
    Install(MemberBytes(Stored("a.txt", "alpha")) + MemberBytes(bad) + '\0');
    PressOk(1);
    EXPECT_EQ(Run("-lC:\\setup.log -n"), 1);
    ASSERT_EQ(HostMessageBoxes().size(), 1u);
    EXPECT_EQ(HostMessageBoxes()[0].text, "\"C:/Dest/b.txt\" CRCｴﾗｰ");
    EXPECT_TRUE(HostDialogBoxCalls()[0].shown);
    EXPECT_FALSE(Exists("C:\\setup.log"));
}

TEST_F(SilentRunTest, ANormalRunKeepsItsStatusesAfterAbortAndFailedScan) {
    InstallThree();
    PressOk(1);
    while_big = [] { HostLimitWrites(0); };
    EXPECT_EQ(Run(""), 1);
    ASSERT_EQ(HostMessageBoxes().size(), 1u);
    EXPECT_EQ(HostMessageBoxes()[0].text, "\"C:/Dest/big.bin\" 書き込みｴﾗｰ");

    free(State->HeaderBuffer);
    free(State);
    State = nullptr;
    HostReset(root_);
    HostDefineTemplate("SfxDialog", SfxControls());
    HostSetModulePath("C:\\GONE.EXE");
    EXPECT_EQ(Run("-s-"), 0);
    ASSERT_EQ(HostMessageBoxes().size(), 1u);
    EXPECT_EQ(HostMessageBoxes()[0].text, "\"C:\\GONE.EXE\" ｵｰﾌﾟﾝｴﾗｰ");
}

TEST_F(SilentRunTest, TheEndOfTheSessionDuringANormalExtractionEndsWith1WithoutTheFile) {
    InstallThree();
    PressOk(1);
    while_big = [] { SendMessageA(RunDialog(), WM_ENDSESSION, TRUE, 0); };
    EXPECT_EQ(Run(""), 1);
    EXPECT_TRUE(HostMessageBoxes().empty());
    EXPECT_EQ(DestNames(), std::set<std::string>{"a.txt"});
}

TEST_F(SilentRunTest, TheEndOfTheSessionBeforeOkLeavesTheDialogToTheSystem) {
    InstallThree();
    HostSetDialogDriver([](HWND dialog) {
        static int calls = 0;
        if (calls++ == 0) {
            SendMessageA(dialog, WM_ENDSESSION, TRUE, 0);
            SendMessageA(dialog, WM_COMMAND, IDCANCEL, 0);
        }
        return true;
    });
    EXPECT_EQ(Run(""), 0);
    EXPECT_FALSE(Exists("C:\\Dest"));
}

} // namespace
