// Inputs larger or stranger than the fields meant for them: a command-line folder
// longer than the scratch text, directive values longer than their targets, header
// records that lie about their size, a length list that runs past the alphabet,
// long group fields and paths, an empty registry key path, and a file whose time
// cannot be read. Each is cut, refused or passed over without a byte written or read
// outside its buffer.
#include "test_support.h"

#include <fcntl.h>
#include <string.h>
#include <sys/stat.h>

#include <string>
#include <vector>

#include "archive/member_header.h"
#include "bit_writer.h"
#include "decode/bit_input.h"
#include "decode/crc.h"
#include "decode/decoder.h"
#include "files/timestamps.h"
#include "platform/host_shell_control.h"
#include "shell/association.h"
#include "shell/post_extraction.h"
#include "shell/progman.h"
#include "startup/directives.h"
#include "startup/startup.h"

namespace {

// ---- The command-line folder ------------------------------------------------------

using CommandLineFolderTest = StubTest;

// The folder token goes into the 1024-byte scratch text and from there into the
// 256-byte install folder; a longer one is cut at each step and the fields behind
// both stay as they were.
TEST_F(CommandLineFolderTest, AFolderLongerThanTheScratchTextIsCutAtBothSteps) {
    std::string folder = "C:\\" + std::string(1500, 'f');
    std::string tail = "-n " + folder;
    char **list;
    int count = Tokenise(tail.c_str(), &list);
    ASSERT_EQ(count, 2);
    State->DirectiveText[0] = 'D';
    ReadSwitches(list, count);
    FreeTokens(list, count);
    EXPECT_EQ(DirFromCommandLine, 1u);
    EXPECT_EQ(std::string(State->ScratchText), folder.substr(0, 1023));
    EXPECT_EQ(State->DirectiveText[0], 'D');

    lstrcpyA(State->OwnPath, "C:\\MISSING.EXE");
    State->Settings.Command[0] = 'X';
    ReadSettings();
    EXPECT_EQ(std::string(State->Settings.InstallDir), folder.substr(0, 255));
    EXPECT_EQ(State->Settings.Command[0], 'X');
}

TEST_F(CommandLineFolderTest, AFolderCutInsideTheScratchTextKeepsItsLastCharacterWhole) {
    // 1022 bytes, then a two-byte character that would need the 1024th byte.
    std::string folder = "C:\\" + std::string(1019, 'f') + "表";
    char *list[] = {const_cast<char *>("-c"), const_cast<char *>(folder.c_str())};
    ReadSwitches(list, 2);
    EXPECT_EQ(std::string(State->ScratchText), "C:\\" + std::string(1019, 'f'));
}

// ---- Directive values ---------------------------------------------------------------

class DirectiveValueTest : public StubTest {
  protected:
    void Read(const std::string &text) {
        lstrcpynA(State->DirectiveText, text.c_str(), kDirectiveTextSize);
        ReadDirectives();
    }
};

TEST_F(DirectiveValueTest, ALongInstallTitleIsCutTo40BytesAndTheFolderStays) {
    lstrcpyA(State->Settings.InstallDir, "C:\\Keep");
    Read("$InstallTitle=" + std::string(120, 'i'));
    EXPECT_EQ(std::string(State->Settings.InstallTitle), std::string(40, 'i'));
    EXPECT_STREQ(State->Settings.InstallDir, "C:\\Keep");
    Read("$InstallTitle=" + std::string(39, 'i') + "表示");
    EXPECT_EQ(std::string(State->Settings.InstallTitle), std::string(39, 'i'));
    EXPECT_STREQ(State->Settings.InstallDir, "C:\\Keep");
}

TEST_F(DirectiveValueTest, ALongAssociationCaptionIsCutTo79BytesAndTheGroupCaptionStays) {
    Read("$GroupTitle=Group\r\n$ClassTitle=" + std::string(200, 'a'));
    EXPECT_EQ(std::string(State->AssociationCaption), std::string(79, 'a'));
    EXPECT_STREQ(State->GroupCaption, "Group");
    Read("$ClassTitle=" + std::string(78, 'a') + "表");
    EXPECT_EQ(std::string(State->AssociationCaption), std::string(78, 'a'));
    EXPECT_STREQ(State->GroupCaption, "Group");
}

// ---- Header records -----------------------------------------------------------------

class HeaderRecordTest : public StubTest {
  protected:
    // The fixed part of a header under OS identifier "W", a common record and its
    // next-size field; `tail` follows, and the header size is patched to the whole.
    static std::string Header(const std::string &tail) {
        std::string h("\0\0-lh0-", 7);
        h.append(12, '\0');                   // packed size, unpacked size, time stamp
        h += std::string("\x20\x02\0\0W", 5); // attribute, level, data CRC, OS
        h += std::string("\x05\x00", 2);      // the common record, 5 bytes
        h += std::string("\x00\x00\x00", 3);  // type 0, header CRC
        h += tail;                            // next size and what follows
        h[0] = static_cast<char>(h.size() & 0xFF);
        h[1] = static_cast<char>(h.size() >> 8);
        return h;
    }

    // Reads one header from an archive of `bytes` (exactly: nothing follows it) and
    // expects it refused as invalid.
    void ExpectInvalid(const std::string &bytes) {
        WriteFile("C:\\SFX.EXE", bytes);
        lstrcpyA(State->OwnPath, "C:\\SFX.EXE");
        State->ArchiveFile = _lopen("C:\\SFX.EXE", OF_READ);
        ASSERT_NE(State->ArchiveFile, HFILE_ERROR);
        BuildCrcTable(0xA001);
        EXPECT_EQ(ReadMemberHeader(), kHeaderInvalid);
        _lclose(State->ArchiveFile);
        State->ArchiveFile = HFILE_ERROR;
        ASSERT_EQ(HostMessageBoxes().size(), 1u);
        EXPECT_EQ(HostMessageBoxes()[0].text, "\"C:\\SFX.EXE\" ﾍｯﾀﾞｰの内容が不正");
        EXPECT_EQ(State->Failed, 1u);
    }
};

// A Windows time record announces 27 bytes (three file times) but the header ends 5
// bytes into it: its times are never read from beyond the header buffer.
TEST_F(HeaderRecordTest, ATimeRecordReachingPastTheHeaderIsInvalid) {
    ExpectInvalid(Header(std::string("\x1B\x00\x41wxyz", 7)));
}

// A common record that would hold its CRC in the two bytes after the header.
TEST_F(HeaderRecordTest, ACommonRecordReachingPastTheHeaderIsInvalid) {
    ExpectInvalid(Header(std::string("\x05\x00\x00", 3)));
}

// A record of size 2 has no room for its next-size field, and its data length
// would come out negative: a time record of that size is never read as 24 bytes.
TEST_F(HeaderRecordTest, ATimeRecordOfSize2IsInvalid) {
    ExpectInvalid(Header(std::string("\x02\x00\x41\x00", 4)));
}

// ---- Character/length lists ---------------------------------------------------------

class LengthListTest : public StubTest {
  protected:
    void SetUp() override {
        StubTest::SetUp();
        lstrcpyA(State->OwnPath, "C:\\SFX.EXE");
    }

    void TearDown() override {
        if (State->ArchiveFile != HFILE_ERROR) {
            _lclose(State->ArchiveFile);
            State->ArchiveFile = HFILE_ERROR;
        }
        StubTest::TearDown();
    }

    // Makes `bytes` the packed data of a -lh5- member and starts its bit stream.
    void Feed(const std::string &bytes) {
        WriteFile("C:\\SFX.EXE", bytes);
        State->ArchiveFile = _lopen("C:\\SFX.EXE", OF_READ);
        ASSERT_NE(State->ArchiveFile, HFILE_ERROR);
        State->InputIndex = 0xFFFFFFFF;
        State->PackedLeft = static_cast<DWORD>(bytes.size());
        StartDecoder('5');
    }

    // One step of the header reader; a step that ends the run fails the test.
    template <typename F> static void Step(F f) {
        ASSERT_EQ(RunAsProcess([&] {
                      f();
                      return 0;
                  }),
                  0);
    }
};

// A list announcing 511 entries whose last one is a length: the entry past the 510
// of the alphabet is dropped instead of landing in the code-length code's lengths,
// which follow `CharLengths` in the run state and differ from it here.
TEST_F(LengthListTest, ALengthSentAsThe511thEntryIsDropped) {
    BlockCode chars;
    chars.count = 511;
    // Two lengths of 1, a zero run of 508 up to the 510th entry, then a length of 2.
    chars.entries = {{3, 0}, {3, 0}, {2, 488}, {4, 0}};
    BlockWriter w;
    w.StartBlock(1, Lengths({1, 2, 3, 4, 4}), chars, Single(0));
    Feed(w.Bytes());
    Step([] { GetBits(16); });
    Step([] { ReadAuxLengths(19, 5, 3); });
    BYTE aux[128];
    memcpy(aux, State->AuxLengths, sizeof aux);
    ASSERT_EQ(aux[0], 1);
    Step([] { ReadCharLengths(); });
    EXPECT_EQ(memcmp(aux, State->AuxLengths, sizeof aux), 0);
    EXPECT_EQ(State->CharLengths[0], 1);
    EXPECT_EQ(State->CharLengths[1], 1);
    for (int i = 2; i < 510; ++i) {
        ASSERT_EQ(State->CharLengths[i], 0) << i;
    }
    EXPECT_TRUE(HostMessageBoxes().empty());
}

// ---- Group lines --------------------------------------------------------------------

HWND const kDialog = reinterpret_cast<HWND>(0x1234);
HWND const kProgman = reinterpret_cast<HWND>(0x5000);

LRESULT DialogProc(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
    if (message == WM_DDE_ACK) {
        OnDdeAck(window, reinterpret_cast<HWND>(wparam), lparam);
    }
    return 0;
}

class GroupLineTest : public StubTest {
  protected:
    void SetUp() override {
        StubTest::SetUp();
        ProgmanCommandsReceived().clear();
        lstrcpyA(State->DestinationDir, "C:\\Dest");
        State->GroupChecked = 1;
        HostAddWindow(kDialog, "#32770", DialogProc, true);
    }

    void Run(const std::string &directives) {
        lstrcpyA(State->DirectiveText, directives.c_str());
        RunPostExtraction(kDialog);
    }
};

// The group name and the item title are only shown, so a long one is cut to its
// 79 bytes; the command text behind the title and the end of the run state stay
// untouched, and the cut texts are what Program Manager receives.
TEST_F(GroupLineTest, ALongGroupNameAndItemTitleAreCutTo79Bytes) {
    HostAddWindow(kProgman, "Progman", AcknowledgingProgmanProc, false);
    Run("$Group=" + std::string(100, 'g') + "," + std::string(100, 't') + ",app.exe");
    EXPECT_EQ(std::string(State->GroupName), std::string(79, 'g'));
    EXPECT_EQ(std::string(State->ItemTitle), std::string(79, 't'));
    ASSERT_EQ(ProgmanCommandsReceived().size(), 1u);
    EXPECT_EQ(ProgmanCommandsReceived()[0], "[CreateGroup(\"" + std::string(79, 'g') +
                                                "\",0)][AddItem(C:\\Dest\\app.exe," +
                                                std::string(79, 't') + ")]");
    EXPECT_EQ(DdeState, -1);
}

// An icon whose path joined onto the destination would need more than 255 bytes is
// not cut into another name: that line sends no command, the conversation ends, and
// the next line, whose icon fits, goes through.
TEST_F(GroupLineTest, AnIconPathThatDoesNotFitSendsNoCommandForItsLine) {
    HostAddWindow(kProgman, "Progman", AcknowledgingProgmanProc, false);
    std::string dir = "C:\\" + std::string(244, 'd'); // 247 bytes
    lstrcpyA(State->DestinationDir, dir.c_str());
    Run("$Group=One,First,a.exe,abcdefghij.ico\r\n" // icon joined: 262 bytes
        "$Group=Two,Second,a.exe,i.ico");           // 253 bytes
    ASSERT_EQ(ProgmanCommandsReceived().size(), 1u);
    EXPECT_EQ(ProgmanCommandsReceived()[0],
              "[CreateGroup(\"Two\",0)][AddItem(" + dir + "\\a.exe,Second," + dir + "\\i.ico)]");
    EXPECT_EQ(DdeState, -1);
    EXPECT_EQ(HostLiveAtoms(), 0u);
    EXPECT_EQ(HostLiveGlobalBlocks(), 0);
}

// ---- Class keys ---------------------------------------------------------------------

using ClassesRootTest = StubTest;

// An empty key path would open HKEY_CLASSES_ROOT itself and set its default value;
// nothing is created or written for it, whoever asks.
TEST_F(ClassesRootTest, AnEmptyKeyPathWritesNothing) {
    SetClassesRootValue("", "", "Cls");
    EXPECT_TRUE(HostCreatedKeys().empty());
    std::string data;
    EXPECT_FALSE(HostClassesRootValue("", "", &data));
    SetClassesRootValue("Cls", "", "Text");
    ASSERT_EQ(HostCreatedKeys().size(), 1u);
    EXPECT_EQ(HostCreatedKeys()[0].path, "Cls");
}

// ---- The time of an existing file ---------------------------------------------------

using ExistingTimeTest = StubTest;

// A read of the last-write time that fails right after one that succeeded still
// gives "unreadable", never the time left over from the earlier file.
TEST_F(ExistingTimeTest, AFailedTimeReadAfterASuccessfulOneCountsAsUnreadable) {
    WriteFile("C:\\Dest\\a.txt", "data");
    struct timespec times[2] = {{919348793, 0}, {919348793, 0}};
    ASSERT_EQ(utimensat(AT_FDCWD, HostPath("C:\\Dest\\a.txt").c_str(), times, 0), 0);
    EXPECT_EQ(ExistingFileTime("C:\\Dest\\a.txt"), 919348793u);
    HostFailNextGetFileTime();
    EXPECT_EQ(ExistingFileTime("C:\\Dest\\a.txt"), 0xFFFFFFFFu);
}

} // namespace
