// The install dialog: its initialisation from the settings and the directives, the
// AutoStart timer, OK with its folder checks and the extraction it runs, Cancel
// before and during the extraction, browsing, the check boxes, the minimised
// window, and the dialog as start-up opens it.
#include "archive_builder.h"
#include "test_support.h"

#include "platform/host_dialogs_control.h"
#include "platform/host_shell_control.h"
#include "startup/directives.h"
#include "startup/startup.h"
#include "ui/install_dialog.h"
#include "ui/messages.h"

namespace {

HWND const kDialog = reinterpret_cast<HWND>(0x1234);
HINSTANCE const kInstance = reinterpret_cast<HINSTANCE>(0x400000);
const int kMapModeAnisotropic = 8;

// Big enough for the decoder to pump the dialog's messages before it is done.
const std::string &BigData() {
    static const std::string data(200000, 'b');
    return data;
}

class InstallDialogTest : public StubTest {
  protected:
    void SetUp() override {
        StubTest::SetUp();
        ModuleInstance = kInstance;
        DialogIcon = nullptr;
        lstrcpyA(State->OwnPath, "C:\\SFX.EXE");
        lstrcpyA(State->Settings.WindowTitle, "Setup");
        lstrcpyA(State->Settings.InstallDir, "C:\\Dest");
        State->Settings.ArchiveOffset = 2048;
        HostAddDialog(kDialog, InstallDialogProc, SfxControls(), RECT{100, 50, 400, 250});
    }

    void TearDown() override {
        ModuleInstance = nullptr;
        DialogIcon = nullptr;
        StubTest::TearDown();
    }

    INT_PTR Send(UINT message, WPARAM wparam = 0, LPARAM lparam = 0) {
        return InstallDialogProc(kDialog, message, wparam, lparam);
    }
    INT_PTR Init() {
        return Send(WM_INITDIALOG);
    }
    INT_PTR Command(WORD id) {
        return Send(WM_COMMAND, id);
    }

    HostControl &Control(int id) {
        HostControl *c = HostFindControl(kDialog, id);
        EXPECT_NE(c, nullptr) << id;
        static HostControl none;
        return c == nullptr ? none : *c;
    }
    void Type(const char *folder) {
        SetDlgItemTextA(kDialog, kFolderEdit, folder);
    }

    void Install(const std::string &archive) {
        WriteFile("C:\\SFX.EXE", InstallerBytes(State->Settings, archive));
    }
    // Two small files.
    void InstallSmall() {
        Install(MemberBytes(Stored("a.txt", "alpha")) + MemberBytes(Stored("b.txt", "beta")) +
                '\0');
    }

    std::vector<std::string> BoxTexts() {
        std::vector<std::string> texts;
        for (const HostMessageBox &b : HostMessageBoxes()) {
            texts.push_back(b.text);
        }
        return texts;
    }
    // How many members the extract pass started, by the file labels it showed.
    int FileLabelsShown() {
        int n = 0;
        for (const HostItemText &t : HostItemTexts()) {
            n += t.dialog == kDialog && t.id == kFileLabel;
        }
        return n;
    }
    std::vector<INT_PTR> EndResults() {
        std::vector<INT_PTR> results;
        for (const HostEndDialog &e : HostEndDialogs()) {
            EXPECT_EQ(e.dialog, kDialog);
            results.push_back(e.result);
        }
        return results;
    }
    std::vector<HostWindowMessage> PostedTo(HWND window) {
        std::vector<HostWindowMessage> posted;
        for (const HostWindowMessage &m : HostMessages()) {
            if (m.posted && m.window == window) {
                posted.push_back(m);
            }
        }
        return posted;
    }
    void ExpectEveryControlEnabled() {
        for (int id : std::initializer_list<int>{IDOK, IDCANCEL, kBrowseButton, kFolderEdit,
                                                 kGroupCheck, kAssociationCheck}) {
            EXPECT_TRUE(Control(id).enabled) << id;
        }
    }
};

// ---- Initialisation ------------------------------------------------------------

TEST_F(InstallDialogTest, InitialisationShowsTheTitleAndTheProposedFolder) {
    DdeState = -1;
    State->Extracting = 1;
    State->CancelRequested = 1;
    EXPECT_EQ(Init(), 1);
    EXPECT_EQ(HostWindowCaption(kDialog), "Setup");
    EXPECT_EQ(Control(kFolderEdit).text, "C:\\Dest");
    EXPECT_EQ(Control(kFolderEdit).text_limit, 255u);
    EXPECT_EQ(Control(kFolderLabel).text, "ｲﾝｽﾄｰﾙするﾌｫﾙﾀﾞ(&D):");
    EXPECT_EQ(DdeState, 0);
    EXPECT_EQ(State->Extracting, 0u);
    EXPECT_EQ(State->CancelRequested, 0u);
}

TEST_F(InstallDialogTest, AnInstallTitleReplacesTheFolderLabel) {
    lstrcpyA(State->Settings.InstallTitle, "展開先:");
    Init();
    EXPECT_EQ(Control(kFolderLabel).text, "展開先:");
}

TEST_F(InstallDialogTest, CheckBoxesAreCheckedAndEnabledOnlyWhenTheirDirectiveWasGiven) {
    lstrcpyA(State->DirectiveText, "$GroupTitle=ﾌﾟﾛｸﾞﾗﾑﾏﾈｰｼﾞｬに登録\r\n");
    ReadDirectives();
    Init();
    EXPECT_EQ(Control(kGroupCheck).text, "ﾌﾟﾛｸﾞﾗﾑﾏﾈｰｼﾞｬに登録");
    EXPECT_EQ(Control(kGroupCheck).check, static_cast<UINT>(BST_CHECKED));
    EXPECT_TRUE(Control(kGroupCheck).enabled);
    // "$ClassTitle=" was absent: the template's caption, empty and disabled.
    EXPECT_EQ(Control(kAssociationCheck).text, "関連付け(&A)");
    EXPECT_EQ(Control(kAssociationCheck).check, static_cast<UINT>(BST_UNCHECKED));
    EXPECT_FALSE(Control(kAssociationCheck).enabled);
}

TEST_F(InstallDialogTest, BothCheckBoxesFollowTheirOwnDirectives) {
    lstrcpyA(State->DirectiveText, "$ClassTitle=拡張子を登録\r\n");
    ReadDirectives();
    Init();
    EXPECT_EQ(Control(kAssociationCheck).text, "拡張子を登録");
    EXPECT_EQ(Control(kAssociationCheck).check, static_cast<UINT>(BST_CHECKED));
    EXPECT_TRUE(Control(kAssociationCheck).enabled);
    EXPECT_EQ(Control(kGroupCheck).text, "ｽﾀｰﾄﾒﾆｭｰに登録(&S)");
    EXPECT_EQ(Control(kGroupCheck).check, static_cast<UINT>(BST_UNCHECKED));
    EXPECT_FALSE(Control(kGroupCheck).enabled);
}

TEST_F(InstallDialogTest, TheDialogIsCentredOnTheScreenWithoutRepainting) {
    HostSetScreenSize(1024, 768);
    Init();
    RECT r = HostWindowRect(kDialog);
    EXPECT_EQ(r.left, (1024 - 300) / 2);
    EXPECT_EQ(r.top, (768 - 200) / 2);
    EXPECT_EQ(r.right - r.left, 300);
    EXPECT_EQ(r.bottom - r.top, 200);
    EXPECT_FALSE(HostMoveRepainted(kDialog));
}

TEST_F(InstallDialogTest, CentringADialogLargerThanTheScreenRoundsTowardZero) {
    HostSetScreenSize(301, 199); // 1 wider and 1 lower than the 300 x 200 window
    Init();
    EXPECT_EQ(HostWindowRect(kDialog).left, 0);
    EXPECT_EQ(HostWindowRect(kDialog).top, 0); // -1 / 2
    HostAddDialog(kDialog, InstallDialogProc, SfxControls(), RECT{0, 0, 500, 400});
    HostSetScreenSize(201, 101);
    Init();
    EXPECT_EQ(HostWindowRect(kDialog).left, -149); // -299 / 2
    EXPECT_EQ(HostWindowRect(kDialog).top, -149);
}

TEST_F(InstallDialogTest, TheIconIsLoadedFromResource101AndHandedOutForDragging) {
    Init();
    ASSERT_EQ(HostIconLoads().size(), 1u);
    EXPECT_EQ(HostIconLoads()[0].instance, kInstance);
    EXPECT_EQ(HostIconLoads()[0].name, 101u);
    EXPECT_EQ(DialogIcon, HostIconLoads()[0].icon);
    EXPECT_EQ(Send(WM_QUERYDRAGICON), reinterpret_cast<INT_PTR>(DialogIcon));
}

// ---- AutoStart ------------------------------------------------------------------

TEST_F(InstallDialogTest, WithoutAutoStartNoTimerRuns) {
    Init();
    EXPECT_TRUE(HostTimers().empty());
}

TEST_F(InstallDialogTest, AutoStartPostsOkAfter700MsAndTheExtractionRuns) {
    InstallSmall();
    AutoStart = 1;
    Init();
    ASSERT_EQ(HostTimers().size(), 1u);
    EXPECT_EQ(HostTimers()[0].window, kDialog);
    EXPECT_EQ(HostTimers()[0].id, 1u);
    EXPECT_EQ(HostTimers()[0].milliseconds, 700u);
    EXPECT_FALSE(HostTimers()[0].has_proc);

    EXPECT_EQ(Send(WM_TIMER, 1), 0);
    EXPECT_TRUE(HostTimers().empty());
    std::vector<HostWindowMessage> posted = PostedTo(kDialog);
    ASSERT_EQ(posted.size(), 1u);
    EXPECT_EQ(posted[0].message, static_cast<UINT>(WM_COMMAND));
    EXPECT_EQ(posted[0].wparam, static_cast<WPARAM>(IDOK));
    EXPECT_EQ(posted[0].lparam, 0);
    EXPECT_TRUE(EndResults().empty()); // only posted so far

    PumpMessages(kDialog);
    EXPECT_EQ(EndResults(), std::vector<INT_PTR>{1});
    EXPECT_EQ(ReadFile("C:\\Dest\\a.txt"), "alpha");
    EXPECT_EQ(ReadFile("C:\\Dest\\b.txt"), "beta");
}

// ---- OK -------------------------------------------------------------------------

TEST_F(InstallDialogTest, OkExtractsIntoTheFolderWithItsQuotesRemoved) {
    InstallSmall();
    Init();
    Type("\"C:\\My Dest\"");
    EXPECT_EQ(Command(IDOK), 1);
    EXPECT_STREQ(State->DestinationDir, "C:\\My Dest");
    EXPECT_EQ(ReadFile("C:\\My Dest\\a.txt"), "alpha");
    EXPECT_EQ(EndResults(), std::vector<INT_PTR>{1});
    EXPECT_TRUE(HostMessageBoxes().empty());
}

TEST_F(InstallDialogTest, OkDisablesTheControlsAndMakesCancelTheFocusedDefault) {
    InstallSmall();
    Init();
    Command(IDOK);
    for (int id : std::initializer_list<int>{IDOK, kBrowseButton, kFolderEdit, kGroupCheck,
                                             kAssociationCheck}) {
        EXPECT_FALSE(Control(id).enabled) << id;
    }
    EXPECT_TRUE(Control(IDCANCEL).enabled);
    EXPECT_EQ(HostFocus(), GetDlgItem(kDialog, IDCANCEL));
    EXPECT_EQ(Control(IDCANCEL).style & BS_TYPEMASK, static_cast<DWORD>(BS_DEFPUSHBUTTON));
    EXPECT_TRUE(Control(IDCANCEL).redrawn);
    EXPECT_EQ(State->Extracting, 1u);
    EXPECT_EQ(State->DialogWindow, kDialog);
}

TEST_F(InstallDialogTest, AFolderBeginningWithTwoBackslashesIsRefusedUntilCorrected) {
    InstallSmall();
    State->GroupChecked = State->AssociationChecked = 1;
    Init();
    Type("\\\\server\\share");
    EXPECT_EQ(Command(IDOK), 0);
    ASSERT_EQ(HostMessageBoxes().size(), 1u);
    const HostMessageBox &box = HostMessageBoxes()[0];
    EXPECT_EQ(box.text, "ﾃﾞｨﾚｸﾄﾘ名が正しくありません");
    EXPECT_EQ(box.caption, "Setup");
    EXPECT_EQ(box.owner, kDialog);
    EXPECT_EQ(box.style, static_cast<UINT>(MB_TASKMODAL | MB_ICONWARNING));
    ExpectEveryControlEnabled();
    EXPECT_EQ(State->Extracting, 0u);
    EXPECT_TRUE(EndResults().empty());
    EXPECT_EQ(FileLabelsShown(), 0);

    // Quotes come off before the check, so a quoted network path is refused too.
    Type("\"\\\\server\\share\"");
    EXPECT_EQ(Command(IDOK), 0);
    EXPECT_EQ(HostMessageBoxes().size(), 2u);

    Type("C:\\Fixed");
    EXPECT_EQ(Command(IDOK), 1);
    EXPECT_EQ(ReadFile("C:\\Fixed\\b.txt"), "beta");
    EXPECT_EQ(EndResults(), std::vector<INT_PTR>{1});
    EXPECT_EQ(HostMessageBoxes().size(), 2u);
}

TEST_F(InstallDialogTest, ASingleLeadingBackslashIsAccepted) {
    InstallSmall();
    Init();
    Type("\\Rooted");
    EXPECT_EQ(Command(IDOK), 1);
    EXPECT_TRUE(HostMessageBoxes().empty());
    EXPECT_EQ(ReadFile("C:\\Rooted\\a.txt"), "alpha");
}

TEST_F(InstallDialogTest, AnEmptyFolderIsAcceptedAndMeansTheCurrentDirectory) {
    InstallSmall();
    Init();
    Type("");
    EXPECT_EQ(Command(IDOK), 1);
    EXPECT_TRUE(HostMessageBoxes().empty());
    EXPECT_STREQ(State->DestinationDir, "");
    EXPECT_EQ(ReadFile("C:\\a.txt"), "alpha");
}

TEST_F(InstallDialogTest, OkReadsAtMost255BytesOfTheFolder) {
    Install("");
    Init();
    std::string folder = "C:\\" + std::string(300, 'x');
    Type(folder.c_str()); // set by the program, so the edit's limit does not apply
    EXPECT_EQ(Command(IDOK), 1);
    EXPECT_EQ(std::string(State->DestinationDir), folder.substr(0, 255));
}

TEST_F(InstallDialogTest, OkEndsTheDialogWith1EvenAfterAReportedError) {
    TestMember bad = Stored("bad.txt", "data");
    bad.data_crc = 0x1111;
    Install(MemberBytes(bad) + '\0');
    Init();
    EXPECT_EQ(Command(IDOK), 1);
    EXPECT_EQ(HostMessageBoxes().size(), 1u);
    EXPECT_EQ(EndResults(), std::vector<INT_PTR>{1});
}

TEST_F(InstallDialogTest, StripQuotesClosesUpTheOtherBytes) {
    char text[kDestinationDirSize] = "\"C:\\ソフト\\\"a\"\"b\"";
    StripQuotes(text, kDestinationDirSize);
    EXPECT_STREQ(text, "C:\\ソフト\\ab");
}

TEST_F(InstallDialogTest, StripQuotesNeverWritesPastItsBuffer) {
    char text[8] = {'"', 'a', 'b', 'c', 'd', 'e', 'f', 'g'}; // no terminator
    StripQuotes(text, 8);
    EXPECT_STREQ(text, "abcdef");
}

TEST_F(InstallDialogTest, StripQuotesLeavesTheTextWhenItsBufferCannotBeAllocated) {
    char text[kDestinationDirSize] = "\"C:\\A\"";
    HostFailAllocationAfter(0);
    StripQuotes(text, kDestinationDirSize);
    EXPECT_STREQ(text, "\"C:\\A\"");
}

// ---- Cancel ---------------------------------------------------------------------

TEST_F(InstallDialogTest, CancelBeforeOkEndsTheDialogWith0) {
    Init();
    EXPECT_EQ(Command(IDCANCEL), 1);
    EXPECT_EQ(EndResults(), std::vector<INT_PTR>{0});
    EXPECT_EQ(State->CancelRequested, 0u);
}

// Presses a button once, while the extraction writes "big.bin".
int pump_presses;
WORD pump_button;
UINT pump_message;
void PressWhileExtracting() {
    std::string path = State->DestinationPath;
    bool writing_big = path.size() >= 7 && path.compare(path.size() - 7, 7, "big.bin") == 0;
    if (State->Extracting == 1 && writing_big && pump_presses-- > 0) {
        PostMessageA(kDialog, pump_message, pump_button, 0);
    }
}
void PressDuringExtraction(UINT message, WORD button) {
    pump_presses = 1;
    pump_message = message;
    pump_button = button;
    HostSetPumpHook(PressWhileExtracting);
}

TEST_F(InstallDialogTest, CancelDuringExtractionEndsTheProcessWith1AndDeletesThePartialFile) {
    Install(MemberBytes(Stored("a.txt", "alpha")) + MemberBytes(Stored("big.bin", BigData())) +
            MemberBytes(Stored("z.txt", "zulu")) + '\0');
    Init();
    PressDuringExtraction(WM_COMMAND, IDCANCEL);
    int status = RunAsProcess([this] { return static_cast<int>(Command(IDOK)); });
    EXPECT_EQ(status, 1);
    EXPECT_EQ(State->CancelRequested, 1u);
    EXPECT_TRUE(EndResults().empty()); // the dialog never ended: the process did
    EXPECT_EQ(ReadFile("C:\\Dest\\a.txt"), "alpha");
    EXPECT_FALSE(Exists("C:\\Dest\\big.bin"));
    EXPECT_FALSE(Exists("C:\\Dest\\z.txt"));
    EXPECT_EQ(State->OutputFile, INVALID_HANDLE_VALUE);
}

TEST_F(InstallDialogTest, ASecondOkWhileExtractingStartsNoSecondExtraction) {
    Install(MemberBytes(Stored("big.bin", BigData())) + MemberBytes(Stored("z.txt", "zulu")) +
            '\0');
    Init();
    PressDuringExtraction(WM_COMMAND, IDOK);
    EXPECT_EQ(RunAsProcess([this] { return static_cast<int>(Command(IDOK)); }), 1);
    EXPECT_EQ(FileLabelsShown(), 2);
    EXPECT_EQ(EndResults(), std::vector<INT_PTR>{1});
    EXPECT_TRUE(ReadFile("C:\\Dest\\big.bin") == BigData());
}

TEST_F(InstallDialogTest, TheTimerExpiringAfterAManualOkStartsNoSecondExtraction) {
    Install(MemberBytes(Stored("big.bin", BigData())) + MemberBytes(Stored("z.txt", "zulu")) +
            '\0');
    AutoStart = 1;
    Init();
    PressDuringExtraction(WM_TIMER, kAutoStartTimer); // its OK is posted and pumped too
    EXPECT_EQ(RunAsProcess([this] { return static_cast<int>(Command(IDOK)); }), 1);
    EXPECT_EQ(PostedTo(kDialog).size(), 2u); // the timer message and the OK it posted
    EXPECT_EQ(FileLabelsShown(), 2);
    EXPECT_EQ(EndResults(), std::vector<INT_PTR>{1});
}

// ---- Browse and check boxes ---------------------------------------------------------

TEST_F(InstallDialogTest, BrowsingToAFolderWithABlankPutsItInQuotes) {
    InstallSmall();
    Init();
    HostQueueOpenFileAnswer("C:\\My Apps\\Tool\\work.txt");
    EXPECT_EQ(Command(kBrowseButton), 0);
    EXPECT_EQ(Control(kFolderEdit).text, "\"C:\\My Apps\\Tool\\\"");
    Command(IDOK);
    EXPECT_STREQ(State->DestinationDir, "C:\\My Apps\\Tool\\");
    EXPECT_EQ(ReadFile("C:\\My Apps\\Tool\\a.txt"), "alpha");
}

TEST_F(InstallDialogTest, BrowsingToAFolderWithoutABlankPutsItUnquoted) {
    Init();
    HostQueueOpenFileAnswer("D:\\Apps\\work.txt");
    Command(kBrowseButton);
    EXPECT_EQ(Control(kFolderEdit).text, "D:\\Apps\\");
}

TEST_F(InstallDialogTest, CancelledBrowsingLeavesTheFolderEdit) {
    Init();
    Type("C:\\Typed");
    HostQueueOpenFileCancel();
    Command(kBrowseButton);
    EXPECT_EQ(HostOpenFileRequests().size(), 1u);
    EXPECT_EQ(Control(kFolderEdit).text, "C:\\Typed");
}

TEST_F(InstallDialogTest, CheckBoxesToggleTheirOwnStateOnly) {
    State->GroupChecked = 1;
    State->AssociationChecked = 1;
    Init();
    EXPECT_EQ(Command(kGroupCheck), 0);
    EXPECT_EQ(State->GroupChecked, 0u);
    EXPECT_EQ(Control(kGroupCheck).check, static_cast<UINT>(BST_UNCHECKED));
    EXPECT_EQ(State->AssociationChecked, 1u);
    Command(kGroupCheck);
    EXPECT_EQ(State->GroupChecked, 1u);
    EXPECT_EQ(Control(kGroupCheck).check, static_cast<UINT>(BST_CHECKED));
    Command(kAssociationCheck);
    EXPECT_EQ(State->AssociationChecked, 0u);
    EXPECT_EQ(Control(kAssociationCheck).check, static_cast<UINT>(BST_UNCHECKED));
    EXPECT_EQ(State->GroupChecked, 1u);
}

TEST_F(InstallDialogTest, AStateOtherThan0Or1TogglesTo0) {
    Init();
    State->GroupChecked = 2;
    Command(kGroupCheck);
    EXPECT_EQ(State->GroupChecked, 0u);
    EXPECT_EQ(Control(kGroupCheck).check, static_cast<UINT>(BST_UNCHECKED));
}

// ---- Minimised window, close and destruction ---------------------------------------

TEST_F(InstallDialogTest, TheMinimisedDialogDrawsItsIconInTextModeAndRestoresTheMode) {
    Init();
    HostSetInitialMapMode(kMapModeAnisotropic);
    HostSetIconic(kDialog, true);
    EXPECT_EQ(Send(WM_ERASEBKGND), 1);
    EXPECT_EQ(Send(WM_PAINT), 0);
    ASSERT_EQ(HostPaints().size(), 1u);
    HDC dc = HostPaints()[0].dc;
    EXPECT_TRUE(HostPaints()[0].ended);
    EXPECT_EQ(HostPaints()[0].map_mode_at_end, kMapModeAnisotropic);
    ASSERT_EQ(HostIconDraws().size(), 1u);
    const HostIconDraw &draw = HostIconDraws()[0];
    EXPECT_EQ(draw.dc, dc);
    EXPECT_EQ(draw.x, 0);
    EXPECT_EQ(draw.y, 0);
    EXPECT_EQ(draw.icon, DialogIcon);
    EXPECT_TRUE(draw.icon_live);
    EXPECT_TRUE(draw.dc_painting);
    EXPECT_EQ(draw.map_mode, MM_TEXT);
    // The background is erased first, through the dialog itself.
    ASSERT_FALSE(HostMessages().empty());
    const HostWindowMessage &erase = HostMessages().back();
    EXPECT_EQ(erase.window, kDialog);
    EXPECT_EQ(erase.message, static_cast<UINT>(WM_ICONERASEBKGND));
    EXPECT_EQ(erase.wparam, reinterpret_cast<WPARAM>(dc));
    EXPECT_FALSE(erase.posted);
}

TEST_F(InstallDialogTest, TheOpenDialogLeavesPaintingAndErasingToTheSystem) {
    Init();
    EXPECT_EQ(Send(WM_ERASEBKGND), 0);
    EXPECT_EQ(Send(WM_PAINT), 0);
    EXPECT_TRUE(HostPaints().empty());
    EXPECT_TRUE(HostIconDraws().empty());
}

TEST_F(InstallDialogTest, AfterACloseDuringExtractionTheMinimisedDialogStillDrawsALiveIcon) {
    Init();
    State->Extracting = 1;
    EXPECT_EQ(Send(WM_CLOSE), 0);
    Command(IDCANCEL); // what the default handling of the close sends
    EXPECT_EQ(State->CancelRequested, 1u);
    EXPECT_TRUE(EndResults().empty());
    HostSetIconic(kDialog, true);
    Send(WM_PAINT);
    ASSERT_EQ(HostIconDraws().size(), 1u);
    EXPECT_TRUE(HostIconDraws()[0].icon_live);
    EXPECT_EQ(Send(WM_QUERYDRAGICON), reinterpret_cast<INT_PTR>(HostIconLoads()[0].icon));
}

TEST_F(InstallDialogTest, DestroyingTheDialogReleasesTheIconOnce) {
    Init();
    EXPECT_EQ(HostLiveIcons(), 1u);
    Send(WM_CLOSE);
    EXPECT_EQ(HostLiveIcons(), 1u);
    Send(WM_DESTROY);
    EXPECT_EQ(HostLiveIcons(), 0u);
    EXPECT_EQ(DialogIcon, nullptr);
    Send(WM_DESTROY);
    HostSetIconic(kDialog, true);
    Send(WM_PAINT);
    EXPECT_TRUE(HostIconDraws().empty());
    EXPECT_EQ(HostPaints().size(), 1u);
    EXPECT_TRUE(HostPaints()[0].ended);
}

// ---- Program Manager acknowledgements -----------------------------------------------

LRESULT IgnoreMessages(HWND, UINT, WPARAM, LPARAM) {
    return 0;
}

TEST_F(InstallDialogTest, AnAcknowledgementOfTheExecuteEndsTheConversation) {
    HWND const server = reinterpret_cast<HWND>(0x7777);
    HostAddWindow(server, "Progman", IgnoreMessages, false);
    Init();
    DdeState = 2;
    ProgmanWindow = server;
    Send(WM_DDE_ACK, reinterpret_cast<WPARAM>(server), PackDDElParam(WM_DDE_ACK, 0x8000, 0));
    EXPECT_EQ(DdeState, -1);
    std::vector<HostWindowMessage> posted = PostedTo(server);
    ASSERT_EQ(posted.size(), 1u);
    EXPECT_EQ(posted[0].message, static_cast<UINT>(WM_DDE_TERMINATE));
    ProgmanWindow = nullptr;
}

// ---- Opened by start-up -------------------------------------------------------------

bool PressCancel(HWND dialog) {
    SendMessageA(dialog, WM_COMMAND, IDCANCEL, 0);
    return true;
}

// Lets the dialog's timer expire, as the system would post it; nothing else.
bool WaitForTimers(HWND dialog) {
    for (const HostTimer &t : HostTimers()) {
        if (t.window == dialog) {
            PostMessageA(dialog, WM_TIMER, t.id, 0);
            return true;
        }
    }
    return false;
}

class DialogRunTest : public InstallDialogTest {
  protected:
    void SetUp() override {
        InstallDialogTest::SetUp();
        HostDefineTemplate("SfxDialog", SfxControls());
        InstallSmall();
        // Start-up allocates its own run state.
        free(State);
        State = nullptr;
    }
    int Run(const char *tail) {
        return RunAsProcess([tail] { return SfxMain(kInstance, tail); });
    }
};

TEST_F(DialogRunTest, StartUpOpensSfxDialogWithoutOwnerAndOkGivesStatus1) {
    PressOk(1);
    EXPECT_EQ(Run(""), 1);
    ASSERT_EQ(HostDialogBoxCalls().size(), 1u);
    const HostDialogBoxCall &call = HostDialogBoxCalls()[0];
    EXPECT_EQ(call.instance, kInstance);
    EXPECT_EQ(call.name, "SfxDialog");
    EXPECT_EQ(call.owner, nullptr);
    EXPECT_EQ(call.proc, &InstallDialogProc);
    EXPECT_EQ(call.param, 0);
    EXPECT_EQ(ReadFile("C:\\Dest\\a.txt"), "alpha");
    EXPECT_EQ(HostLiveIcons(), 0u);
}

TEST_F(DialogRunTest, CancelBeforeOkGivesStatus0AndExtractsNothing) {
    HostSetDialogDriver(PressCancel);
    EXPECT_EQ(Run(""), 0);
    EXPECT_FALSE(Exists("C:\\Dest"));
}

TEST_F(DialogRunTest, TheAutoStartSwitchExtractsWithoutInput) {
    HostSetDialogDriver(WaitForTimers);
    EXPECT_EQ(Run("-n C:\\Auto"), 1);
    EXPECT_EQ(ReadFile("C:\\Auto\\b.txt"), "beta");
}

TEST_F(DialogRunTest, ADialogThatCannotBeShownGivesStatus0) {
    HostFailDialogBox();
    EXPECT_EQ(Run(""), 0);
    EXPECT_EQ(HostDialogBoxCalls().size(), 1u);
    EXPECT_FALSE(Exists("C:\\Dest"));
}

TEST_F(DialogRunTest, AFailedScanShowsNoDialog) {
    WriteFile("C:\\SFX.EXE", "MZ too short");
    EXPECT_EQ(Run(""), 0);
    EXPECT_TRUE(HostDialogBoxCalls().empty());
}

} // namespace
