// The archive pass: the scan pass's checks and special members, and the extract
// pass's files, directories, overwrite decisions, times, attributes and errors.
#include "archive_builder.h"
#include "test_support.h"

#include <string.h>

#include <filesystem>
#include <sys/stat.h>

#include "archive/archive_pass.h"

namespace {

HWND const kDialog = reinterpret_cast<HWND>(0x1234);

class ArchivePassTest : public StubTest {
  protected:
    void SetUp() override {
        StubTest::SetUp();
        lstrcpyA(State->OwnPath, "C:\\SFX.EXE");
        lstrcpyA(State->Settings.WindowTitle, "Setup");
        State->Settings.ArchiveOffset = 2048;
    }

    void Install(const std::string &archive) {
        WriteFile("C:\\SFX.EXE", InstallerBytes(State->Settings, archive));
    }

    BOOL Scan() {
        return ArchivePass(nullptr, kScanMode);
    }

    BOOL Extract(const char *dir = "C:\\Dest") {
        lstrcpyA(State->DestinationDir, dir);
        return ArchivePass(kDialog, kExtractMode);
    }

    std::vector<std::string> BoxTexts() {
        std::vector<std::string> texts;
        for (const HostMessageBox &b : HostMessageBoxes()) {
            texts.push_back(b.text);
        }
        return texts;
    }

    // The last-write, creation and access times of a file, in Unix seconds.
    void Times(const char *path, long long *write, long long *creation, long long *access) {
        HANDLE h = CreateFileA(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                               OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
        ASSERT_NE(h, INVALID_HANDLE_VALUE) << path;
        FILETIME c, a, w;
        ASSERT_TRUE(GetFileTime(h, &c, &a, &w));
        CloseHandle(h);
        auto seconds = [](const FILETIME &f) {
            unsigned long long v =
                (static_cast<unsigned long long>(f.dwHighDateTime) << 32) | f.dwLowDateTime;
            return static_cast<long long>((v - 116444736000000000ULL) / 10000000ULL);
        };
        *write = seconds(w);
        *creation = seconds(c);
        *access = seconds(a);
    }

    long long WriteTime(const char *path) {
        long long w = 0, c = 0, a = 0;
        Times(path, &w, &c, &a);
        return w;
    }
};

// ---- Scan pass ----------------------------------------------------------------

TEST_F(ArchivePassTest, AnArchiveOffsetBeyondTheFileIsMissingData) {
    Install("");
    State->Settings.ArchiveOffset = 5000;
    EXPECT_FALSE(Scan());
    ASSERT_EQ(HostMessageBoxes().size(), 1u);
    const HostMessageBox &box = HostMessageBoxes()[0];
    EXPECT_EQ(box.text, "\"C:\\SFX.EXE\" ﾃﾞｰﾀが欠落しています");
    EXPECT_EQ(box.caption, "Setup");
    EXPECT_EQ(box.owner, nullptr);
    EXPECT_EQ(box.style, static_cast<UINT>(MB_TASKMODAL | MB_ICONERROR));
    EXPECT_EQ(State->ArchiveFile, HFILE_ERROR);
}

TEST_F(ArchivePassTest, AnArchiveOffsetAtTheEndOfTheFileIsAnEmptyArchive) {
    Install("");
    EXPECT_TRUE(Scan());
    EXPECT_TRUE(Extract());
    EXPECT_TRUE(HostMessageBoxes().empty());
}

TEST_F(ArchivePassTest, AMissingOwnFileIsAnOpenError) {
    lstrcpyA(State->OwnPath, "C:\\GONE.EXE");
    EXPECT_FALSE(Scan());
    EXPECT_EQ(BoxTexts(), (std::vector<std::string>{"\"C:\\GONE.EXE\" ｵｰﾌﾟﾝｴﾗｰ"}));
}

TEST_F(ArchivePassTest, TheNoticeIsAskedAndYesLetsThePassSucceed) {
    Install(MemberBytes(Stored("a.txt", "aaa")) + MemberBytes(Stored("!", "Read me first.")) +
            '\0');
    HostQueueAnswer(IDYES);
    EXPECT_TRUE(Scan());
    ASSERT_EQ(HostMessageBoxes().size(), 1u);
    EXPECT_EQ(HostMessageBoxes()[0].text, "Read me first.");
    EXPECT_EQ(HostMessageBoxes()[0].style,
              static_cast<UINT>(MB_YESNO | MB_ICONQUESTION | MB_TASKMODAL));
    EXPECT_EQ(HostMessageBoxes()[0].caption, "Setup");
}

TEST_F(ArchivePassTest, ADeclinedNoticeFailsThePassAndLaterDirectivesAreNotApplied) {
    Install(MemberBytes(Stored("!", "Terms")) + MemberBytes(Stored("b.txt", "bbb")) +
            MemberBytes(Stored("$", "$WindowTitle=Changed")));
    HostQueueAnswer(IDNO);
    EXPECT_FALSE(Scan());
    EXPECT_STREQ(State->Settings.WindowTitle, "Setup");
    EXPECT_EQ(HostMessageBoxes().size(), 1u);
}

TEST_F(ArchivePassTest, DirectivesApplyAndASecondDirectiveMemberReplacesTheFirst) {
    Install(MemberBytes(Stored("$", "$WindowTitle=One\r\n$Class=.a,A,a.exe,A.File")) +
            MemberBytes(Stored("$", "$InstallTitle=Two")));
    EXPECT_TRUE(Scan());
    EXPECT_STREQ(State->Settings.WindowTitle, "One");
    EXPECT_STREQ(State->Settings.InstallTitle, "Two");
    EXPECT_STREQ(State->DirectiveText, "$InstallTitle=Two");
}

TEST_F(ArchivePassTest, TheArchiveChecksumIsTheXorOfAllDataCrcs) {
    TestMember a = Stored("a.txt", "first"), b = Stored("$", "$Flag=1");
    uint16_t sum = ReferenceCrc("first") ^ ReferenceCrc("$Flag=1");
    State->Settings.Flags = kFlagArchiveChecksum;
    std::string archive = MemberBytes(a) + MemberBytes(b);
    Install(std::string{static_cast<char>(sum & 0xFF), static_cast<char>(sum >> 8)} + archive);
    EXPECT_TRUE(Scan());
    Install(std::string{static_cast<char>(sum & 0xFF), static_cast<char>((sum >> 8) ^ 1)} +
            archive);
    EXPECT_FALSE(Scan());
    EXPECT_EQ(BoxTexts().back(), "\"C:\\SFX.EXE\" 改竄されています");
}

TEST_F(ArchivePassTest, PackedDataBeyondTheEndOfTheFileIsMissingData) {
    std::string member = MemberBytes(Stored("a.txt", std::string(100, 'x')));
    Install(member.substr(0, member.size() - 1));
    EXPECT_FALSE(Scan());
    EXPECT_EQ(BoxTexts(), (std::vector<std::string>{"\"C:\\SFX.EXE\" ﾃﾞｰﾀが欠落しています"}));
}

TEST_F(ArchivePassTest, APackedSizeThatWouldWrapNeverSeeksBackwards) {
    // As a signed seek, 0xFFFFFFF0 would step back onto this same header for ever.
    TestMember m = Stored("a.txt", "");
    m.packed_size = 0xFFFFFFF0;
    Install(MemberBytes(m) + std::string(64, 'x'));
    EXPECT_FALSE(Scan());
    EXPECT_EQ(BoxTexts(), (std::vector<std::string>{"\"C:\\SFX.EXE\" ﾃﾞｰﾀが欠落しています"}));
}

TEST_F(ArchivePassTest, AHeaderThatFailsItsCrcEndsTheScan) {
    TestMember bad = Stored("a.txt", "aaa");
    bad.bad_header_crc = true;
    Install(MemberBytes(bad));
    EXPECT_FALSE(Scan());
    EXPECT_EQ(BoxTexts(), (std::vector<std::string>{"\"C:\\SFX.EXE\" ﾍｯﾀﾞｰの内容が不正"}));
}

// ---- Extract pass -------------------------------------------------------------

TEST_F(ArchivePassTest, WritesFilesAndDirectoriesWithTheirTimes) {
    TestMember doc = Stored("readme.txt", "hello");
    doc.dir = "doc\xFF";
    doc.windows_times = true;
    doc.file_times[0] = FileTimeOf(1000000000);
    doc.file_times[1] = FileTimeOf(1100000000);
    doc.file_times[2] = FileTimeOf(1200000001);
    Install(MemberBytes(Directory("empty\xFF")) + MemberBytes(doc) +
            MemberBytes(Stored("top.bin", std::string("\0\xFF\x01", 3))) + '\0');
    EXPECT_TRUE(Extract());
    EXPECT_TRUE(HostMessageBoxes().empty());
    long long w, c, a; // before any read of the file updates its access time
    Times("C:\\Dest\\doc\\readme.txt", &w, &c, &a);
    EXPECT_EQ(c, 1000000000);
    EXPECT_EQ(w, 1100000000);
    EXPECT_EQ(a, 1200000001);
    EXPECT_EQ(ReadFile("C:\\Dest\\doc\\readme.txt"), "hello");
    EXPECT_EQ(ReadFile("C:\\Dest\\top.bin"), std::string("\0\xFF\x01", 3));
    struct stat st;
    EXPECT_EQ(stat(HostPath("C:\\Dest\\empty").c_str(), &st), 0);
    EXPECT_EQ(WriteTime("C:\\Dest\\top.bin"), kMemberTime);
}

TEST_F(ArchivePassTest, ShowsEachFileAndZeroPercentInTheDialog) {
    Install(MemberBytes(Stored("a.txt", "a")) + MemberBytes(Stored("b.txt", "b")));
    EXPECT_TRUE(Extract());
    std::vector<std::string> texts;
    for (const HostItemText &t : HostItemTexts()) {
        EXPECT_EQ(t.dialog, kDialog);
        texts.push_back(std::to_string(t.id) + ":" + t.text);
    }
    // A stored member of under 100 bytes shows 100 percent after its only chunk.
    EXPECT_EQ(texts,
              (std::vector<std::string>{"101:C:/Dest/a.txt", "102:解凍中 0%", "102:解凍中 100%",
                                        "101:C:/Dest/b.txt", "102:解凍中 0%", "102:解凍中 100%"}));
}

TEST_F(ArchivePassTest, SpecialMembersAreNotExtractedButANoticeInAFolderIs) {
    TestMember nested = Stored("!", "not a notice");
    nested.dir = "x\xFF";
    Install(MemberBytes(Stored("!", "notice")) + MemberBytes(Stored("$", "$Flag=1")) +
            MemberBytes(nested));
    EXPECT_TRUE(Extract());
    EXPECT_FALSE(Exists("C:\\Dest\\!"));
    EXPECT_FALSE(Exists("C:\\Dest\\$"));
    EXPECT_EQ(ReadFile("C:\\Dest\\x\\!"), "not a notice");
}

TEST_F(ArchivePassTest, AnExistingFileAsNewAsTheMemberIsKeptWithoutAsking) {
    WriteFileWithTime("C:\\Dest\\a.txt", "mine", kMemberTime);
    Install(MemberBytes(Stored("a.txt", "theirs")) + MemberBytes(Stored("b.txt", "next")));
    EXPECT_TRUE(Extract());
    EXPECT_TRUE(HostMessageBoxes().empty());
    EXPECT_EQ(ReadFile("C:\\Dest\\a.txt"), "mine");
    EXPECT_EQ(ReadFile("C:\\Dest\\b.txt"), "next");
}

TEST_F(ArchivePassTest, AnExistingFileThatCannotBeReadCountsAsNewer) {
    WriteFileWithTime("C:\\Dest\\a.txt", "locked", kMemberTime - 1000);
    HANDLE lock = CreateFileA("C:\\Dest\\a.txt", GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(lock, INVALID_HANDLE_VALUE);
    Install(MemberBytes(Stored("a.txt", "theirs")));
    EXPECT_TRUE(Extract());
    CloseHandle(lock);
    EXPECT_TRUE(HostMessageBoxes().empty());
    EXPECT_EQ(ReadFile("C:\\Dest\\a.txt"), "locked");
}

TEST_F(ArchivePassTest, AnOlderExistingFileIsAskedAbout) {
    Install(MemberBytes(Stored("a.txt", "new a")) + MemberBytes(Stored("b.txt", "new b")) +
            MemberBytes(Stored("c.txt", "new c")));
    WriteFileWithTime("C:\\Dest\\a.txt", "old a", kMemberTime - 10);
    WriteFileWithTime("C:\\Dest\\b.txt", "old b", kMemberTime - 10);
    WriteFileWithTime("C:\\Dest\\c.txt", "old c", kMemberTime - 10);
    HostQueueAnswer(IDNO);
    HostQueueAnswer(IDYES);
    HostQueueAnswer(IDCANCEL);
    EXPECT_FALSE(Extract());
    EXPECT_EQ(BoxTexts(), (std::vector<std::string>{"\"C:/Dest/a.txt\" 上書きしますか？",
                                                    "\"C:/Dest/b.txt\" 上書きしますか？",
                                                    "\"C:/Dest/c.txt\" 上書きしますか？"}));
    EXPECT_EQ(HostMessageBoxes()[0].style,
              static_cast<UINT>(MB_YESNOCANCEL | MB_ICONQUESTION | MB_TASKMODAL));
    EXPECT_EQ(HostMessageBoxes()[0].owner, kDialog);
    EXPECT_EQ(ReadFile("C:\\Dest\\a.txt"), "old a");
    EXPECT_EQ(ReadFile("C:\\Dest\\b.txt"), "new b");
    EXPECT_EQ(ReadFile("C:\\Dest\\c.txt"), "old c");
}

TEST_F(ArchivePassTest, OverwritingSilentlyReplacesEvenNewerFiles) {
    WriteFileWithTime("C:\\Dest\\a.txt", "newer", kMemberTime + 1000);
    Install(MemberBytes(Stored("a.txt", "theirs")));
    OverwriteSilently = 1;
    SkipNotNewer = 0;
    EXPECT_TRUE(Extract());
    EXPECT_TRUE(HostMessageBoxes().empty());
    EXPECT_EQ(ReadFile("C:\\Dest\\a.txt"), "theirs");
}

TEST_F(ArchivePassTest, RestoringAttributesResetsAReadOnlyFileBeforeOverwritingIt) {
    WriteFileWithTime("C:\\Dest\\a.txt", "old", kMemberTime - 10);
    SetFileAttributesA("C:\\Dest\\a.txt", FILE_ATTRIBUTE_READONLY);
    TestMember m = Stored("a.txt", "new");
    m.attribute = FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_ARCHIVE;
    Install(MemberBytes(m));
    State->Settings.RestoreAttributes = '/';
    HostQueueAnswer(IDYES);
    EXPECT_TRUE(Extract());
    EXPECT_EQ(ReadFile("C:\\Dest\\a.txt"), "new");
    EXPECT_EQ(GetFileAttributesA("C:\\Dest\\a.txt"),
              static_cast<DWORD>(FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_ARCHIVE));
}

TEST_F(ArchivePassTest, WithoutRestoringAttributesAReadOnlyFileIsAnOpenError) {
    WriteFileWithTime("C:\\Dest\\a.txt", "old", kMemberTime - 10);
    SetFileAttributesA("C:\\Dest\\a.txt", FILE_ATTRIBUTE_READONLY);
    Install(MemberBytes(Stored("a.txt", "new")) + MemberBytes(Stored("b.txt", "b")));
    HostQueueAnswer(IDYES);
    EXPECT_FALSE(Extract());
    EXPECT_EQ(BoxTexts().back(), "\"C:/Dest/a.txt\" ｵｰﾌﾟﾝｴﾗｰ");
    EXPECT_EQ(ReadFile("C:\\Dest\\a.txt"), "old");
    EXPECT_FALSE(Exists("C:\\Dest\\b.txt"));
}

TEST_F(ArchivePassTest, ACrcErrorDeletesTheFileAndEndsTheWalk) {
    TestMember bad = Stored("bad.txt", "data");
    bad.data_crc = ReferenceCrc("data") ^ 1;
    Install(MemberBytes(Stored("ok.txt", "ok")) + MemberBytes(bad) +
            MemberBytes(Stored("later.txt", "later")));
    EXPECT_FALSE(Extract());
    EXPECT_EQ(BoxTexts(), (std::vector<std::string>{"\"C:/Dest/bad.txt\" CRCｴﾗｰ"}));
    EXPECT_EQ(HostMessageBoxes()[0].owner, kDialog);
    EXPECT_EQ(ReadFile("C:\\Dest\\ok.txt"), "ok");
    EXPECT_FALSE(Exists("C:\\Dest\\bad.txt"));
    EXPECT_FALSE(Exists("C:\\Dest\\later.txt"));
}

TEST_F(ArchivePassTest, ACloseErrorDeletesTheFile) {
    Install(MemberBytes(Stored("a.txt", "aaa")));
    HostFailNextClose();
    EXPECT_FALSE(Extract());
    EXPECT_EQ(BoxTexts(), (std::vector<std::string>{"\"C:/Dest/a.txt\" ｸﾛｰｽﾞｴﾗｰ"}));
    EXPECT_FALSE(Exists("C:\\Dest\\a.txt"));
}

TEST_F(ArchivePassTest, LongNamesAreKeptOnlyWhereTheVolumeAllows255) {
    Install(MemberBytes(Stored("LongFileName.html", "x")));
    EXPECT_TRUE(Extract());
    EXPECT_TRUE(Exists("C:\\Dest\\LongFileName.html"));
    HostSetMaxComponentLength(12);
    EXPECT_TRUE(Extract("C:\\Short"));
    EXPECT_TRUE(Exists("C:\\Short\\LongFile.htm"));
    HostSetMaxComponentLength(0); // the query fails
    EXPECT_TRUE(Extract("C:\\Failed"));
    EXPECT_TRUE(Exists("C:\\Failed\\LongFile.htm"));
}

TEST_F(ArchivePassTest, AFolderOfTwoBytesAsksTheVolumeAtItsRoot) {
    HostSetCurrentDirectory("C:\\Work");
    std::filesystem::create_directories(HostPath("C:\\Work"));
    Install(MemberBytes(Stored("LongFileName.html", "x")));
    EXPECT_TRUE(Extract("C:"));
    EXPECT_TRUE(Exists("C:\\Work\\LongFileName.html"));
}

TEST_F(ArchivePassTest, TheLegacyShellCorrectsTimesByTz) {
    HostSetEnv("TZ", "JST-9");
    LegacyShell = 1;
    WriteFileWithTime("C:\\Dest\\same.txt", "mine", kMemberTime + 32400);
    Install(MemberBytes(Stored("a.txt", "a")) + MemberBytes(Stored("same.txt", "theirs")));
    EXPECT_TRUE(Extract());
    EXPECT_EQ(WriteTime("C:\\Dest\\a.txt"), kMemberTime + 32400);
    EXPECT_EQ(ReadFile("C:\\Dest\\same.txt"), "mine"); // compared after the correction
}

} // namespace
