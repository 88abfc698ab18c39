// The Program Manager conversation: the initiate broadcast, the commands, the
// acknowledgements and what they carry back, the start of Program Manager, the
// wait's every way of ending, and the post-extraction actions at the end of a real
// extract pass.
#include "archive_builder.h"
#include "test_support.h"

#include <string>
#include <vector>

#include "archive/archive_pass.h"
#include "platform/host_shell_control.h"
#include "shell/post_extraction.h"
#include "shell/progman.h"
#include "ui/messages.h"

namespace {

HWND const kDialog = reinterpret_cast<HWND>(0x1234);
HWND const kProgman = reinterpret_cast<HWND>(0x5000);
HWND const kSecondServer = reinterpret_cast<HWND>(0x6000);

// A Program Manager in another process, scripted by the test.
struct FakeServer {
    bool acknowledge_execute = true;
    WORD ack_status = 0x8000;    // positive
    HWND answer_from = kProgman; // the conversation window it answers from
    std::vector<std::string> commands;
    std::vector<HWND> terminated_by;  // the first parameter of each terminate
    std::vector<HGLOBAL> kept_blocks; // commands it took but never acknowledged
};
FakeServer server;
int pumps;
void (*on_pump)();

LRESULT DialogProc(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
    if (message == WM_DDE_ACK) {
        OnDdeAck(window, reinterpret_cast<HWND>(wparam), lparam);
    }
    return 0;
}

LRESULT ProgmanProc(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
    HWND client = reinterpret_cast<HWND>(wparam);
    if (message == WM_DDE_INITIATE) {
        if (HostAtomName(LOWORD(lparam)) == "PROGMAN" &&
            HostAtomName(HIWORD(lparam)) == "PROGMAN") {
            SendMessageA(client, WM_DDE_ACK, reinterpret_cast<WPARAM>(server.answer_from),
                         MAKELPARAM(GlobalAddAtomA("PROGMAN"), GlobalAddAtomA("PROGMAN")));
        }
    } else if (message == WM_DDE_EXECUTE) {
        UINT_PTR lo = 0, block = 0;
        UnpackDDElParam(WM_DDE_EXECUTE, lparam, &lo, &block);
        server.commands.push_back(
            static_cast<const char *>(GlobalLock(reinterpret_cast<HGLOBAL>(block))));
        GlobalUnlock(reinterpret_cast<HGLOBAL>(block));
        if (server.acknowledge_execute) {
            PostMessageA(client, WM_DDE_ACK, reinterpret_cast<WPARAM>(window),
                         PackDDElParam(WM_DDE_ACK, server.ack_status, block));
        } else {
            server.kept_blocks.push_back(reinterpret_cast<HGLOBAL>(block));
        }
    } else if (message == WM_DDE_TERMINATE) {
        server.terminated_by.push_back(client);
        PostMessageA(client, WM_DDE_TERMINATE, reinterpret_cast<WPARAM>(window), 0);
    }
    return 0;
}

void CountPump() {
    ++pumps;
    if (on_pump != nullptr) {
        on_pump();
    }
}

class ProgmanTest : public StubTest {
  protected:
    void SetUp() override {
        StubTest::SetUp();
        server = FakeServer();
        pumps = 0;
        on_pump = nullptr;
        HostSetPumpHook(CountPump);
        lstrcpyA(State->Settings.WindowTitle, "Setup");
        lstrcpyA(State->DestinationDir, "C:\\Dest");
        State->GroupChecked = 1;
        HostAddWindow(kDialog, "#32770", DialogProc, true);
        WriteFile("C:\\Dest\\Application.exe", "MZ");
        WriteFile("C:\\Dest\\Application.ico", "ICO");
        HostSetShortName("C:\\Dest\\Application.exe", "C:\\Dest\\APPLIC~1.EXE");
        HostSetShortName("C:\\Dest\\Application.ico", "C:\\Dest\\APPLIC~1.ICO");
    }

    void TearDown() override {
        for (HGLOBAL block : server.kept_blocks) {
            GlobalFree(block);
        }
        StubTest::TearDown();
    }

    void AddProgman() {
        HostAddWindow(kProgman, "Progman", ProgmanProc, false);
    }

    void Run(const std::string &directives) {
        lstrcpyA(State->DirectiveText, directives.c_str());
        RunPostExtraction(kDialog);
    }

    // The DDE messages, as "I" (initiate broadcast), "E" (execute), "T" (terminate),
    // "A" (acknowledgement) with the receiving window's role.
    std::string Conversation() {
        std::string out;
        for (const HostWindowMessage &m : HostMessages()) {
            const char *who = m.window == kDialog          ? "d"
                              : m.window == kProgman       ? "p"
                              : m.window == HWND_BROADCAST ? "*"
                                                           : "?";
            switch (m.message) {
            case WM_DDE_INITIATE:
                out += std::string("I") + who + " ";
                break;
            case WM_DDE_EXECUTE:
                out += std::string("E") + who + " ";
                break;
            case WM_DDE_TERMINATE:
                out += std::string("T") + who + " ";
                break;
            case WM_DDE_ACK:
                out += std::string("A") + who + " ";
                break;
            case WM_WININICHANGE:
                out += std::string("W") + who;
                break;
            }
        }
        return out;
    }

    const HostWindowMessage *Find(UINT message, HWND window) {
        for (const HostWindowMessage &m : HostMessages()) {
            if (m.message == message && m.window == window) {
                return &m;
            }
        }
        return nullptr;
    }
};

// ---- The conversation -------------------------------------------------------------

TEST_F(ProgmanTest, WithProgramManagerRunningTheGroupAndItemAreSentAndTheConversationEnds) {
    AddProgman();
    Run("$Group=Tools,My Tool,Application.exe,Application.ico");
    EXPECT_TRUE(HostProcessStarts().empty());
    ASSERT_EQ(server.commands.size(), 1u);
    EXPECT_EQ(server.commands[0],
              "[CreateGroup(\"Tools\",0)]"
              "[AddItem(C:\\Dest\\APPLIC~1.EXE,My Tool,C:\\Dest\\APPLIC~1.ICO)]");
    EXPECT_EQ(Conversation(), "I* Ad Ep Ad Tp Td W*");
    const HostWindowMessage *initiate = Find(WM_DDE_INITIATE, HWND_BROADCAST);
    ASSERT_NE(initiate, nullptr);
    EXPECT_FALSE(initiate->posted);
    EXPECT_EQ(initiate->wparam, reinterpret_cast<WPARAM>(kDialog));
    const HostWindowMessage *execute = Find(WM_DDE_EXECUTE, kProgman);
    ASSERT_NE(execute, nullptr);
    EXPECT_TRUE(execute->posted);
    EXPECT_EQ(execute->wparam, reinterpret_cast<WPARAM>(kDialog));
    const HostWindowMessage *terminate = Find(WM_DDE_TERMINATE, kProgman);
    ASSERT_NE(terminate, nullptr);
    EXPECT_TRUE(terminate->posted);
    EXPECT_EQ(terminate->wparam, reinterpret_cast<WPARAM>(kDialog));
    EXPECT_EQ(terminate->lparam, 0);
    EXPECT_EQ(ProgmanWindow, kProgman);
    EXPECT_EQ(DdeState, -1);
}

TEST_F(ProgmanTest, EverythingTheAcknowledgementsCarryIsReleased) {
    AddProgman();
    Run("$Group=Tools,My Tool,Application.exe,Application.ico");
    EXPECT_EQ(HostLiveAtoms(), 0u);       // ours and the server's
    EXPECT_EQ(HostLiveGlobalBlocks(), 0); // the command block and the packed parameter
}

TEST_F(ProgmanTest, ANegativeAcknowledgementEndsTheConversationAlike) {
    AddProgman();
    server.ack_status = 0;
    Run("$Group=Tools,My Tool,Application.exe");
    EXPECT_EQ(Conversation(), "I* Ad Ep Ad Tp Td W*");
    EXPECT_EQ(HostLiveGlobalBlocks(), 0);
    EXPECT_EQ(DdeState, -1);
}

TEST_F(ProgmanTest, AGroupLineOfThreeFieldsEndsTheItemRightAfterTheTitle) {
    AddProgman();
    Run("$Group=\"Tools, Misc\",\"Tool, the\",Application.exe");
    ASSERT_EQ(server.commands.size(), 1u);
    EXPECT_EQ(server.commands[0],
              "[CreateGroup(\"Tools, Misc\",0)][AddItem(C:\\Dest\\APPLIC~1.EXE,Tool, the)]");
    EXPECT_STREQ(State->IconPath, "");
}

TEST_F(ProgmanTest, TwoGroupLinesHaveTwoCompleteConversations) {
    AddProgman();
    Run("$Group=One,First,Application.exe\r\n$Group=Two,Second,Application.exe,Application.ico");
    ASSERT_EQ(server.commands.size(), 2u);
    EXPECT_EQ(server.commands[0].rfind("[CreateGroup(\"One\",0)]", 0), 0u);
    EXPECT_EQ(server.commands[1].rfind("[CreateGroup(\"Two\",0)]", 0), 0u);
    EXPECT_EQ(Conversation(), "I* Ad Ep Ad Tp Td I* Ad Ep Ad Tp Td W*");
    EXPECT_EQ(HostLiveAtoms(), 0u);
    EXPECT_EQ(HostLiveGlobalBlocks(), 0);
}

TEST_F(ProgmanTest, AClearedGroupBoxStartsNoConversation) {
    AddProgman();
    State->GroupChecked = 0;
    Run("$Group=Tools,My Tool,Application.exe");
    EXPECT_EQ(Conversation(), "W*");
}

TEST_F(ProgmanTest, AGroupLineWithoutAProgramStartsNoConversation) {
    AddProgman();
    Run("$Group=Tools,My Tool,,Application.ico");
    EXPECT_EQ(Conversation(), "W*");
}

TEST_F(ProgmanTest, AFurtherServerIsRefusedAndTheFirstKeepsItsConversation) {
    AddProgman();
    HostAddWindow(
        kSecondServer, "Other",
        [](HWND window, UINT message, WPARAM wparam, LPARAM) {
            if (message == WM_DDE_INITIATE) {
                SendMessageA(reinterpret_cast<HWND>(wparam), WM_DDE_ACK,
                             reinterpret_cast<WPARAM>(window),
                             MAKELPARAM(GlobalAddAtomA("PROGMAN"), GlobalAddAtomA("PROGMAN")));
            }
            return LRESULT{0};
        },
        false);
    Run("$Group=Tools,My Tool,Application.exe");
    EXPECT_EQ(server.commands.size(), 1u);
    EXPECT_EQ(Conversation(), "I* Ad Ep Ad Ad T? Tp Td W*");
    EXPECT_EQ(ProgmanWindow, kProgman);
    EXPECT_EQ(HostLiveAtoms(), 0u);
    EXPECT_EQ(HostLiveGlobalBlocks(), 0);
}

// ---- Starting Program Manager ------------------------------------------------------

TEST_F(ProgmanTest, WithoutAProgmanWindowProgramManagerIsStartedFirst) {
    HostSetProcessStartHook(
        [](const char *) { HostAddWindow(kProgman, "Progman", ProgmanProc, false); });
    Run("$Group=Tools,My Tool,Application.exe");
    ASSERT_EQ(HostProcessStarts().size(), 1u);
    const HostProcessStart &start = HostProcessStarts()[0];
    EXPECT_TRUE(start.application_null);
    EXPECT_EQ(start.command_line, "PROGMAN.EXE");
    EXPECT_TRUE(start.security_null);
    EXPECT_EQ(start.inherit_handles, TRUE);
    EXPECT_EQ(start.flags, 0x220u);
    EXPECT_TRUE(start.environment_null);
    EXPECT_TRUE(start.directory_null);
    EXPECT_EQ(start.startup_size, sizeof(STARTUPINFOA));
    EXPECT_TRUE(start.startup_rest_zero);
    ASSERT_EQ(HostInputIdleWaits().size(), 1u);
    EXPECT_EQ(HostInputIdleWaits()[0].milliseconds, 3000u);
    EXPECT_EQ(HostOpenProcessHandles(), 0u);
    EXPECT_EQ(server.commands.size(), 1u);
}

// ---- The wait always ends ---------------------------------------------------------

TEST_F(ProgmanTest, WithNoServerTheWaitEndsAtOnce) {
    HostFailProcessStart();
    Run("$Group=Tools,My Tool,Application.exe");
    EXPECT_TRUE(HostInputIdleWaits().empty());
    EXPECT_EQ(Conversation(), "I* W*");
    EXPECT_EQ(pumps, 0);
    EXPECT_EQ(DdeState, -1);
    EXPECT_EQ(HostLiveAtoms(), 0u);
}

TEST_F(ProgmanTest, AnExecuteNeverAcknowledgedIsTerminatedAfterTheBound) {
    AddProgman();
    server.acknowledge_execute = false;
    Run("$Group=Tools,My Tool,Application.exe");
    EXPECT_EQ(Conversation(), "I* Ad Ep Tp Td W*");
    EXPECT_GT(pumps, 1);
    EXPECT_EQ(DdeState, -1);
}

TEST_F(ProgmanTest, ALateAcknowledgementStillReleasesTheCommandBlock) {
    AddProgman();
    server.acknowledge_execute = false;
    Run("$Group=Tools,My Tool,Application.exe");
    ASSERT_EQ(server.kept_blocks.size(), 1u);
    HGLOBAL block = server.kept_blocks[0];
    server.kept_blocks.clear();
    PostMessageA(kDialog, WM_DDE_ACK, reinterpret_cast<WPARAM>(kProgman),
                 PackDDElParam(WM_DDE_ACK, 0x8000, reinterpret_cast<UINT_PTR>(block)));
    PumpMessages(kDialog);
    EXPECT_EQ(HostLiveGlobalBlocks(), 0);
    EXPECT_EQ(server.terminated_by.size(), 1u); // no second terminate
    EXPECT_EQ(DdeState, -1);
}

TEST_F(ProgmanTest, AnAcknowledgementWithinTheBoundIsTakenEvenWhenTheTickCountWraps) {
    AddProgman();
    server.acknowledge_execute = false;
    HostSetTickCount(0xFFFFFFF0u);
    on_pump = [] {
        if (pumps == 50 && !server.kept_blocks.empty()) {
            HGLOBAL block = server.kept_blocks.back();
            server.kept_blocks.pop_back();
            PostMessageA(kDialog, WM_DDE_ACK, reinterpret_cast<WPARAM>(kProgman),
                         PackDDElParam(WM_DDE_ACK, 0x8000, reinterpret_cast<UINT_PTR>(block)));
        }
    };
    Run("$Group=Tools,My Tool,Application.exe");
    EXPECT_GE(pumps, 50);
    EXPECT_EQ(Conversation(), "I* Ad Ep Ad Tp Td W*");
    EXPECT_EQ(HostLiveGlobalBlocks(), 0);
}

TEST_F(ProgmanTest, AFailedCommandBlockEndsTheConversationTheServerOpened) {
    AddProgman();
    HostFailAllocationAfter(0);
    Run("$Group=Tools,My Tool,Application.exe");
    EXPECT_TRUE(server.commands.empty());
    EXPECT_EQ(Conversation(), "I* Ad Tp Td W*");
    EXPECT_EQ(pumps, 0);
    EXPECT_EQ(DdeState, -1);
    EXPECT_EQ(HostLiveAtoms(), 0u);
}

TEST_F(ProgmanTest, AFailedPostFreesTheCommandBlockAndEndsTheWait) {
    AddProgman();
    server.answer_from = reinterpret_cast<HWND>(0x7777); // a window that is already gone
    Run("$Group=Tools,My Tool,Application.exe");
    const HostWindowMessage *execute = Find(WM_DDE_EXECUTE, server.answer_from);
    ASSERT_NE(execute, nullptr);
    EXPECT_FALSE(execute->delivered);
    EXPECT_EQ(HostLiveGlobalBlocks(), 0);
    EXPECT_EQ(pumps, 0);
    EXPECT_EQ(DdeState, -1);
}

TEST_F(ProgmanTest, AProgramPathThatDoesNotFitSendsNoCommand) {
    AddProgman();
    std::string dir = "C:\\" + std::string(244, 'd');
    lstrcpyA(State->DestinationDir, dir.c_str());
    Run("$Group=Tools,My Tool,Application.exe");
    EXPECT_TRUE(server.commands.empty());
    EXPECT_EQ(Conversation(), "I* Ad Tp Td W*");
    EXPECT_EQ(DdeState, -1);
}

// ---- At the end of the extract pass --------------------------------------------------

class PostExtractionPassTest : public ProgmanTest {
  protected:
    void SetUp() override {
        ProgmanTest::SetUp();
        AddProgman();
        lstrcpyA(State->OwnPath, "C:\\SFX.EXE");
        State->Settings.ArchiveOffset = 2048;
    }

    BOOL InstallAndRun(const std::string &members) {
        TestMember directives;
        directives.name = "$";
        directives.packed =
            "$GroupTitle=Group\r\n$ClassTitle=Associate\r\n"
            "$Command=\"set up.exe\" -go\r\n"
            "$Group=Tools,Tool,app.exe\r\n$Class=.tl,Tool file,app.exe,Tool.File\r\n";
        WriteFile("C:\\SFX.EXE",
                  InstallerBytes(State->Settings, MemberBytes(directives) + members));
        EXPECT_TRUE(ArchivePass(nullptr, kScanMode));
        lstrcpyA(State->DestinationDir, "C:\\Dest");
        return ArchivePass(kDialog, kExtractMode);
    }

    static std::string Member(const std::string &name, const std::string &data, int crc = -1) {
        TestMember m;
        m.name = name;
        m.packed = data;
        m.data_crc = crc;
        return MemberBytes(m);
    }
};

TEST_F(PostExtractionPassTest, ASuccessfulExtractionActsOnTheLinesThenStartsTheCommand) {
    EXPECT_TRUE(InstallAndRun(Member("app.exe", "MZ")));
    EXPECT_EQ(server.commands.size(), 1u);
    std::string value;
    EXPECT_TRUE(HostClassesRootValue(".tl", "", &value));
    EXPECT_EQ(value, "Tool.File");
    EXPECT_EQ(Conversation(), "I* Ad Ep Ad Tp Td W*");
    ASSERT_EQ(HostShellExecutes().size(), 1u);
    EXPECT_EQ(HostShellExecutes()[0].file, "set up.exe");
    EXPECT_EQ(HostShellExecutes()[0].parameters, "-go");
    EXPECT_EQ(HostShellExecutes()[0].owner, kDialog);
}

TEST_F(PostExtractionPassTest, AFailedExtractionStillActsOnTheLinesButStartsNoCommand) {
    EXPECT_FALSE(InstallAndRun(Member("app.exe", "MZ") +
                               Member("bad.txt", "data", ReferenceCrc("data") ^ 1)));
    EXPECT_EQ(HostMessageBoxes().size(), 1u); // the CRC error
    EXPECT_EQ(server.commands.size(), 1u);
    std::string value;
    EXPECT_TRUE(HostClassesRootValue("Tool.File", "", &value));
    EXPECT_EQ(value, "Tool file");
    EXPECT_EQ(Conversation(), "I* Ad Ep Ad Tp Td W*");
    EXPECT_TRUE(HostShellExecutes().empty());
}

} // namespace
