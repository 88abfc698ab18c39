// Replacing an existing file in the extract pass: the member is written to a
// temporary file beside it, and the old file goes only when the new one is complete
// and correct; every failure leaves the old file as it was and nothing else behind.
#include "archive_builder.h"
#include "bit_writer.h"
#include "test_support.h"

#include <filesystem>
#include <set>

#include "archive/archive_pass.h"

namespace {

HWND const kDialog = reinterpret_cast<HWND>(0x1234);
const char kOld[] = "the user's own file, which must survive";

std::set<std::string> seen_while_decoding;
std::string listed_folder;

class ReplaceTest : public StubTest {
  protected:
    void SetUp() override {
        StubTest::SetUp();
        lstrcpyA(State->OwnPath, "C:\\SFX.EXE");
        lstrcpyA(State->Settings.WindowTitle, "Setup");
        lstrcpyA(State->DestinationDir, "C:\\Dest");
        State->Settings.ArchiveOffset = 2048;
        OverwriteSilently = 1;
        SkipNotNewer = 0;
        WriteFile("C:\\Dest\\a.txt", kOld);
        listed_folder = HostPath("C:\\Dest");
        seen_while_decoding.clear();
    }

    void Install(const TestMember &m) {
        WriteFile("C:\\SFX.EXE",
                  InstallerBytes(State->Settings, MemberBytes(m) + MemberBytes(Stored("b", "b"))));
    }

    static int Extract() {
        return RunAsProcess([] { return static_cast<int>(ArchivePass(kDialog, kExtractMode)); });
    }

    static std::set<std::string> Folder() {
        std::set<std::string> names;
        for (const auto &e : std::filesystem::directory_iterator(listed_folder)) {
            names.insert(e.path().filename().string());
        }
        return names;
    }

    // The run failed with the one message given, and the folder holds the old file,
    // byte for byte, and nothing else.
    void ExpectOldFileKept(const std::string &message) {
        ASSERT_EQ(HostMessageBoxes().size(), message.empty() ? 0u : 1u);
        if (!message.empty()) {
            EXPECT_EQ(HostMessageBoxes()[0].text, message);
        }
        EXPECT_EQ(ReadFile("C:\\Dest\\a.txt"), kOld);
        EXPECT_EQ(Folder(), std::set<std::string>{"a.txt"});
        EXPECT_EQ(State->OutputFile, INVALID_HANDLE_VALUE);
        EXPECT_STREQ(OutputTempPath, "");
    }

    void TearDown() override {
        HostSetPumpHook(nullptr);
        StubTest::TearDown();
    }

  public:
    // Lists the folder while the first member is decoded.
    static void ListOnPump() {
        if (seen_while_decoding.empty()) {
            seen_while_decoding = Folder();
        }
    }
};

void CancelOnPump() {
    State->CancelRequested = 1;
}

void FailCloseOnPump() {
    HostFailNextClose();
}

TEST_F(ReplaceTest, ACompleteMemberReplacesTheFileWithItsTimesAndAttributes) {
    TestMember m = Stored("a.txt", "new contents");
    m.attribute = FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_ARCHIVE;
    State->Settings.RestoreAttributes = 1;
    SetFileAttributesA("C:\\Dest\\a.txt", FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN);
    Install(m);
    HostSetPumpHook(ReplaceTest::ListOnPump);
    EXPECT_EQ(Extract(), TRUE);
    EXPECT_TRUE(HostMessageBoxes().empty());
    // While decoding, the member went to an 8.3 name beside the untouched old file.
    EXPECT_EQ(seen_while_decoding, (std::set<std::string>{"a.txt", "~LZSFX00.TMP"}));
    EXPECT_EQ(ReadFile("C:\\Dest\\a.txt"), "new contents");
    EXPECT_EQ(Folder(), (std::set<std::string>{"a.txt", "b"}));
    EXPECT_EQ(GetFileAttributesA("C:\\Dest\\a.txt"),
              static_cast<DWORD>(FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_ARCHIVE));
    HANDLE h = CreateFileA("C:\\Dest\\a.txt", GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    FILETIME c, a, w;
    ASSERT_TRUE(GetFileTime(h, &c, &a, &w));
    CloseHandle(h);
    uint64_t expected = FileTimeOf(kMemberTime);
    EXPECT_EQ((uint64_t{w.dwHighDateTime} << 32) | w.dwLowDateTime, expected);
    EXPECT_EQ((uint64_t{c.dwHighDateTime} << 32) | c.dwLowDateTime, expected);
}

TEST_F(ReplaceTest, AFileOfTheUsersUnderTheTemporaryNameIsLeftAlone) {
    WriteFile("C:\\Dest\\~LZSFX00.TMP", "mine too");
    HostSetMaxComponentLength(12);
    Install(Stored("a.txt", "new"));
    EXPECT_EQ(Extract(), TRUE);
    EXPECT_EQ(ReadFile("C:\\Dest\\a.txt"), "new");
    EXPECT_EQ(ReadFile("C:\\Dest\\~LZSFX00.TMP"), "mine too");
    EXPECT_EQ(Folder(), (std::set<std::string>{"a.txt", "b", "~LZSFX00.TMP"}));
}

TEST_F(ReplaceTest, ANewFileTakesTheSameRoad) {
    Install(Stored("c.txt", "fresh"));
    EXPECT_EQ(Extract(), TRUE);
    EXPECT_EQ(ReadFile("C:\\Dest\\c.txt"), "fresh");
    EXPECT_EQ(Folder(), (std::set<std::string>{"a.txt", "b", "c.txt"}));
}

TEST_F(ReplaceTest, ACrcErrorKeepsTheOldFile) {
    TestMember m = Stored("a.txt", "damaged");
    m.data_crc = ReferenceCrc("damaged") ^ 1;
    Install(m);
    EXPECT_EQ(Extract(), FALSE);
    ExpectOldFileKept("\"C:/Dest/a.txt\" CRCｴﾗｰ");
}

TEST_F(ReplaceTest, ACrcErrorKeepsEvenTheAttributesOfAReadOnlyFile) {
    TestMember m = Stored("a.txt", "damaged");
    m.data_crc = ReferenceCrc("damaged") ^ 1;
    State->Settings.RestoreAttributes = 1;
    SetFileAttributesA("C:\\Dest\\a.txt", FILE_ATTRIBUTE_READONLY);
    Install(m);
    EXPECT_EQ(Extract(), FALSE);
    ExpectOldFileKept("\"C:/Dest/a.txt\" CRCｴﾗｰ");
    EXPECT_EQ(GetFileAttributesA("C:\\Dest\\a.txt"), static_cast<DWORD>(FILE_ATTRIBUTE_READONLY));
}

TEST_F(ReplaceTest, AWriteErrorKeepsTheOldFile) {
    Install(Stored("a.txt", std::string(5000, 'w')));
    HostLimitWrites(1000);
    EXPECT_EQ(Extract(), 1); // the status of the aborted run
    ExpectOldFileKept("\"C:/Dest/a.txt\" 書き込みｴﾗｰ");
}

TEST_F(ReplaceTest, ACloseErrorKeepsTheOldFile) {
    Install(Stored("a.txt", "new"));
    HostSetPumpHook(FailCloseOnPump); // after the check of the old file, before the close
    EXPECT_EQ(Extract(), FALSE);
    ExpectOldFileKept("\"C:/Dest/a.txt\" ｸﾛｰｽﾞｴﾗｰ");
}

TEST_F(ReplaceTest, ACancelDuringABigMemberKeepsTheOldFile) {
    Install(Stored("a.txt", std::string(200000, 'c')));
    HostSetPumpHook(CancelOnPump);
    EXPECT_EQ(Extract(), 1);
    ExpectOldFileKept("");
}

TEST_F(ReplaceTest, AReadErrorKeepsTheOldFile) {
    Install(Stored("a.txt", std::string(200000, 'r')));
    HostFailReadsAfter(70000); // past the header, inside the packed data
    EXPECT_EQ(Extract(), 1);
    ExpectOldFileKept("\"C:\\SFX.EXE\" 読み込みｴﾗｰ");
}

TEST_F(ReplaceTest, ABadTableKeepsTheOldFile) {
    BlockWriter w;
    w.StartBlock(10, Lengths({1, 2}), Single(0), Single(0)); // an incomplete code
    w.bits.Put(0, 32);
    TestMember m = Stored("a.txt", w.Bytes());
    m.method = "-lh5-";
    m.unpacked_size = 10;
    Install(m);
    EXPECT_EQ(Extract(), 1);
    ExpectOldFileKept("\"C:\\SFX.EXE\" Bad table");
}

TEST_F(ReplaceTest, AReadOnlyFileIsAnOpenErrorWithoutRestoringAttributes) {
    SetFileAttributesA("C:\\Dest\\a.txt", FILE_ATTRIBUTE_READONLY);
    Install(Stored("a.txt", "new"));
    EXPECT_EQ(Extract(), FALSE);
    ExpectOldFileKept("\"C:/Dest/a.txt\" ｵｰﾌﾟﾝｴﾗｰ");
    EXPECT_EQ(GetFileAttributesA("C:\\Dest\\a.txt"), static_cast<DWORD>(FILE_ATTRIBUTE_READONLY));
}

TEST_F(ReplaceTest, AHiddenFileIsAnOpenErrorWithoutRestoringAttributes) {
    SetFileAttributesA("C:\\Dest\\a.txt", FILE_ATTRIBUTE_HIDDEN);
    Install(Stored("a.txt", "new"));
    EXPECT_EQ(Extract(), FALSE);
    ExpectOldFileKept("\"C:/Dest/a.txt\" ｵｰﾌﾟﾝｴﾗｰ");
}

TEST_F(ReplaceTest, AFileOpenElsewhereIsAnOpenError) {
    HANDLE lock = CreateFileA("C:\\Dest\\a.txt", GENERIC_READ, FILE_SHARE_READ, nullptr,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(lock, INVALID_HANDLE_VALUE);
    Install(Stored("a.txt", "new"));
    EXPECT_EQ(Extract(), FALSE);
    CloseHandle(lock);
    ExpectOldFileKept("\"C:/Dest/a.txt\" ｵｰﾌﾟﾝｴﾗｰ");
}

TEST_F(ReplaceTest, ADirectoryInTheWayIsAnOpenError) {
    CreateDirectoryA("C:\\Dest\\d", nullptr);
    Install(Stored("d", "new"));
    EXPECT_EQ(Extract(), FALSE);
    EXPECT_EQ(HostMessageBoxes().back().text, "\"C:/Dest/d\" ｵｰﾌﾟﾝｴﾗｰ");
    EXPECT_EQ(Folder(), (std::set<std::string>{"a.txt", "d"}));
}

// ---- MoveFileA on the host -----------------------------------------------------

TEST_F(ReplaceTest, MoveFileRefusesAnExistingTargetAndCarriesAttributes) {
    WriteFile("C:\\Dest\\x", "x");
    SetFileAttributesA("C:\\Dest\\x", FILE_ATTRIBUTE_HIDDEN);
    EXPECT_FALSE(MoveFileA("C:\\Dest\\x", "C:\\Dest\\a.txt"));
    EXPECT_EQ(ReadFile("C:\\Dest\\a.txt"), kOld);
    EXPECT_FALSE(MoveFileA("C:\\Dest\\missing", "C:\\Dest\\y"));
    EXPECT_TRUE(MoveFileA("C:\\Dest\\x", "C:\\Dest\\y"));
    EXPECT_FALSE(Exists("C:\\Dest\\x"));
    EXPECT_EQ(ReadFile("C:\\Dest\\y"), "x");
    EXPECT_EQ(GetFileAttributesA("C:\\Dest\\y"), static_cast<DWORD>(FILE_ATTRIBUTE_HIDDEN));
}

} // namespace
