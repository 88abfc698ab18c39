// The file calls the extract pass saves per member: directories made only where a
// member's folder differs from the previous one's, the temporary file created under
// the first free name without a probe first, and a new file put in place without
// asking again whether one stands there. Each must give the results of doing it all.
#include "archive_builder.h"
#include "test_support.h"

#include <filesystem>
#include <set>
#include <vector>

#include "archive/archive_pass.h"
#include "files/paths.h"

namespace {

HWND const kDialog = reinterpret_cast<HWND>(0x1234);

// A stored member in the folder `dir` ("" for none), named with the archive's separators.
TestMember InFolder(const std::string &dir, const std::string &name, const std::string &data) {
    return Stored(name, data, kMemberTime, dir);
}

// ---- Directories along a run of paths -------------------------------------------

class MadeDirectoriesTest : public StubTest {
  protected:
    void SetUp() override {
        StubTest::SetUp();
        made_.assign(kDestinationPathSize, 'x'); // exactly the size, so ASan sees an overrun
        made_[0] = 0;
    }

    void Make(const std::string &path) {
        MakeDirectories(path.c_str(), made_.data());
    }

    // Removes an empty directory behind the code's back.
    void Remove(const char *windows_path) {
        ASSERT_TRUE(std::filesystem::remove(HostPath(windows_path))) << windows_path;
    }

    std::vector<char> made_;
};

TEST_F(MadeDirectoriesTest, MakesEveryDirectoryOfTheFirstPathAndRemembersIt) {
    Make("C:/A/B/file.txt");
    EXPECT_TRUE(Exists("C:\\A\\B"));
    EXPECT_FALSE(Exists("C:\\A\\B\\file.txt"));
    EXPECT_STREQ(made_.data(), "C:/A/B/file.txt");
}

TEST_F(MadeDirectoriesTest, SkipsTheDirectoriesSharedWithThePreviousPathOnly) {
    Make("C:/A/B/one.txt");
    // Gone without the code knowing: a shared directory is taken as made, so it is
    // not made again, while one past the shared part is.
    Remove("C:\\A\\B");
    Make("C:/A/B/two.txt");
    EXPECT_FALSE(Exists("C:\\A\\B"));
    Make("C:/A/C/D/three.txt");
    EXPECT_TRUE(Exists("C:\\A\\C\\D"));
    EXPECT_STREQ(made_.data(), "C:/A/C/D/three.txt");
    // A path going back to the other folder makes it again.
    Make("C:/A/B/four.txt");
    EXPECT_TRUE(Exists("C:\\A\\B"));
    // Remembering nothing makes everything.
    Remove("C:\\A\\B");
    made_[0] = 0;
    Make("C:/A/B/five.txt");
    EXPECT_TRUE(Exists("C:\\A\\B"));
}

TEST_F(MadeDirectoriesTest, SharesOnlyWholeNames) {
    Make("C:/A/BC/f");
    Make("C:/A/B/g"); // "C:/A/B" begins "C:/A/BC" but is another folder
    EXPECT_TRUE(Exists("C:\\A\\B"));
    Make("C:/A/X/f");
    Make("C:/A/XY/g");
    EXPECT_TRUE(Exists("C:\\A\\XY"));
    Make("C:/A/f");
    Make("C:/A/f/g"); // the previous path's file name is no folder it made
    EXPECT_TRUE(Exists("C:\\A\\f"));
    Make("C:/A/表/f");
    Make("C:/A/衣/f"); // shared lead bytes, other trail bytes
    EXPECT_TRUE(Exists("C:\\A\\衣"));
}

TEST_F(MadeDirectoriesTest, GoesDeeperAndBackUpAndMakesTheLastFolderOfADirectoryPath) {
    Make("C:/A/f");
    Make("C:/A/B/C/D/g");
    EXPECT_TRUE(Exists("C:\\A\\B\\C\\D"));
    Make("C:/A/B/");
    Make("C:/A/B/E/");
    EXPECT_TRUE(Exists("C:\\A\\B\\E"));
    EXPECT_STREQ(made_.data(), "C:/A/B/E/");
    Make("C:/h");
    EXPECT_STREQ(made_.data(), "C:/h");
}

TEST_F(MadeDirectoriesTest, StopsAtTheSizeOfThePathBuffer) {
    std::string path = "C:/" + std::string(600, 'p') + "/f";
    Make(path);
    EXPECT_EQ(std::string(made_.data()), path.substr(0, kDestinationPathSize - 1));
    // The next path is compared within the same bound.
    Make(path);
    EXPECT_EQ(std::string(made_.data()), path.substr(0, kDestinationPathSize - 1));
}

// ---- The extract pass -----------------------------------------------------------

class ExtractCallsTest : public StubTest {
  protected:
    void SetUp() override {
        StubTest::SetUp();
        lstrcpyA(State->OwnPath, "C:\\SFX.EXE");
        lstrcpyA(State->Settings.WindowTitle, "Setup");
        lstrcpyA(State->DestinationDir, "C:\\Dest");
        State->Settings.ArchiveOffset = 2048;
        OverwriteSilently = 1;
        SkipNotNewer = 0;
        dest_ = HostPath("C:\\Dest");
        std::filesystem::create_directories(dest_);
    }

    void TearDown() override {
        HostSetPumpHook(nullptr);
        StubTest::TearDown();
    }

    void Install(const std::vector<TestMember> &members) {
        std::string archive;
        for (const TestMember &m : members) {
            archive += MemberBytes(m);
        }
        WriteFile("C:\\SFX.EXE", InstallerBytes(State->Settings, archive));
    }

    static int Extract() {
        return RunAsProcess([] { return static_cast<int>(ArchivePass(kDialog, kExtractMode)); });
    }

    // Every entry under the destination, folders ending in "/".
    static std::set<std::string> Tree() {
        std::set<std::string> entries;
        for (const auto &e : std::filesystem::recursive_directory_iterator(dest_)) {
            std::string name = std::filesystem::relative(e.path(), dest_).generic_string();
            entries.insert(e.is_directory() ? name + "/" : name);
        }
        return entries;
    }

    void ExpectNoOutputLeft() {
        EXPECT_EQ(State->OutputFile, INVALID_HANDLE_VALUE);
        EXPECT_STREQ(OutputTempPath, "");
    }

    static std::string dest_;
};

std::string ExtractCallsTest::dest_;
std::set<std::string> seen_while_decoding;
std::vector<std::set<std::string>> trees_while_decoding;

TEST_F(ExtractCallsTest, MembersMovingBetweenFoldersAllLandInTheirOwn) {
    Install({InFolder("a\xFF"
                      "b\xFF"
                      "c\xFF",
                      "1", "one"),
             InFolder("a\xFF", "2", "two"),
             InFolder("a\xFF"
                      "b\xFF"
                      "d\xFF",
                      "3", "three"),
             InFolder("x\xFF", "4", "four"),
             InFolder("a\xFF"
                      "b\xFF"
                      "c\xFF",
                      "5", "five"),
             InFolder("", "6", "six"),
             Directory("a\xFF"
                       "b\xFF"
                       "e\xFF"),
             InFolder("a\xFF"
                      "b\xFF"
                      "e\xFF"
                      "f\xFF",
                      "7", "7"),
             InFolder("ab\xFF", "8", "eight"),
             InFolder("a\xFF"
                      "b\xFF"
                      "c\xFF",
                      "9", "nine")});
    EXPECT_EQ(Extract(), TRUE);
    EXPECT_TRUE(HostMessageBoxes().empty());
    EXPECT_EQ(Tree(), (std::set<std::string>{"a/", "a/2", "a/b/", "a/b/c/", "a/b/c/1", "a/b/c/5",
                                             "a/b/c/9", "a/b/d/", "a/b/d/3", "a/b/e/", "a/b/e/f/",
                                             "a/b/e/f/7", "ab/", "ab/8", "x/", "x/4", "6"}));
    EXPECT_EQ(ReadFile("C:\\Dest\\a\\b\\c\\5"), "five");
    EXPECT_EQ(ReadFile("C:\\Dest\\a\\b\\d\\3"), "three");
    EXPECT_EQ(ReadFile("C:\\Dest\\ab\\8"), "eight");
    ExpectNoOutputLeft();
}

TEST_F(ExtractCallsTest, ASkippedMemberCountsAsThePreviousOneForTheNext) {
    SkipNotNewer = 1;
    OverwriteSilently = 0;
    WriteFile("C:\\Dest\\k\\old.txt", "kept");
    HANDLE h = CreateFileA("C:\\Dest\\k\\old.txt", GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    FILETIME newer = {static_cast<DWORD>(FileTimeOf(kMemberTime + 10)),
                      static_cast<DWORD>(FileTimeOf(kMemberTime + 10) >> 32)};
    SetFileTime(h, nullptr, nullptr, &newer);
    CloseHandle(h);
    Install({InFolder("s\xFF", "first", "1"), InFolder("k\xFF", "old.txt", "theirs"),
             InFolder("k\xFF"
                      "v\xFF",
                      "deeper", "2"),
             InFolder("s\xFF", "last", "3")});
    EXPECT_EQ(Extract(), TRUE);
    EXPECT_TRUE(HostMessageBoxes().empty());
    EXPECT_EQ(ReadFile("C:\\Dest\\k\\old.txt"), "kept");
    EXPECT_EQ(Tree(), (std::set<std::string>{"k/", "k/old.txt", "k/v/", "k/v/deeper", "s/",
                                             "s/first", "s/last"}));
}

TEST_F(ExtractCallsTest, EachPassMakesItsFoldersAfresh) {
    Install({Directory("sub\xFF")});
    EXPECT_EQ(Extract(), TRUE);
    EXPECT_EQ(Tree(), std::set<std::string>{"sub/"});
    std::filesystem::remove(HostPath("C:\\Dest\\sub"));
    EXPECT_EQ(Extract(), TRUE);
    EXPECT_EQ(Tree(), std::set<std::string>{"sub/"});
}

TEST_F(ExtractCallsTest, AFolderThatCannotBeMadeIsAnOpenErrorLeavingNothing) {
    WriteFile("C:\\Dest\\x", "a file where the folder should be");
    // The directory entry cannot make its folder and says nothing; the file in it
    // then cannot be created, even after making every folder once more.
    Install({Directory("x\xFF"
                       "y\xFF"),
             InFolder("x\xFF"
                      "y\xFF",
                      "f", "data"),
             InFolder("", "never", "n")});
    EXPECT_EQ(Extract(), FALSE);
    ASSERT_EQ(HostMessageBoxes().size(), 1u);
    EXPECT_EQ(HostMessageBoxes()[0].text, "\"C:/Dest/x/y/f\" ｵｰﾌﾟﾝｴﾗｰ");
    EXPECT_EQ(ReadFile("C:\\Dest\\x"), "a file where the folder should be");
    EXPECT_EQ(Tree(), std::set<std::string>{"x"});
    ExpectNoOutputLeft();
}

TEST_F(ExtractCallsTest, TakenTemporaryNamesArePassedOverAndLeftAlone) {
    WriteFile("C:\\Dest\\~LZSFX00.TMP", "mine");
    std::filesystem::create_directories(HostPath("C:\\Dest\\~LZSFX01.TMP"));
    WriteFile("C:\\Dest\\a.txt", "old");
    Install({InFolder("", "a.txt", "new"), InFolder("", "b.txt", "fresh")});
    seen_while_decoding.clear();
    HostSetPumpHook([] {
        if (seen_while_decoding.empty()) {
            seen_while_decoding = Tree();
        }
    });
    EXPECT_EQ(Extract(), TRUE);
    EXPECT_TRUE(HostMessageBoxes().empty());
    // The new file took the first free name while the old one stood untouched.
    EXPECT_EQ(seen_while_decoding,
              (std::set<std::string>{"~LZSFX00.TMP", "~LZSFX01.TMP/", "~LZSFX02.TMP", "a.txt"}));
    EXPECT_EQ(ReadFile("C:\\Dest\\a.txt"), "new");
    EXPECT_EQ(ReadFile("C:\\Dest\\b.txt"), "fresh");
    EXPECT_EQ(ReadFile("C:\\Dest\\~LZSFX00.TMP"), "mine");
    EXPECT_EQ(Tree(), (std::set<std::string>{"~LZSFX00.TMP", "~LZSFX01.TMP/", "a.txt", "b.txt"}));
}

TEST_F(ExtractCallsTest, WithEveryTemporaryNameTakenAMemberIsAnOpenError) {
    std::set<std::string> before;
    for (int n = 0; n < 100; ++n) {
        std::string name = "~LZSFX" + std::to_string(n / 10) + std::to_string(n % 10) + ".TMP";
        WriteFile(("C:\\Dest\\" + name).c_str(), "taken");
        before.insert(name);
    }
    WriteFile("C:\\Dest\\a.txt", "old");
    before.insert("a.txt");
    Install({InFolder("", "a.txt", "new")});
    EXPECT_EQ(Extract(), FALSE);
    ASSERT_EQ(HostMessageBoxes().size(), 1u);
    EXPECT_EQ(HostMessageBoxes()[0].text, "\"C:/Dest/a.txt\" ｵｰﾌﾟﾝｴﾗｰ");
    EXPECT_EQ(ReadFile("C:\\Dest\\a.txt"), "old");
    EXPECT_EQ(Tree(), before);
    ExpectNoOutputLeft();
}

TEST_F(ExtractCallsTest, AReplacedFileIsMovedAsideUnderAFreeNameAndThenGone) {
    State->Settings.RestoreAttributes = 1;
    WriteFile("C:\\Dest\\~LZSFX01.TMP", "mine");
    WriteFile("C:\\Dest\\a.txt", "old");
    SetFileAttributesA("C:\\Dest\\a.txt", FILE_ATTRIBUTE_READONLY);
    TestMember m = InFolder("", "a.txt", "new");
    m.attribute = FILE_ATTRIBUTE_ARCHIVE;
    Install({m});
    EXPECT_EQ(Extract(), TRUE);
    EXPECT_TRUE(HostMessageBoxes().empty());
    EXPECT_EQ(ReadFile("C:\\Dest\\a.txt"), "new");
    EXPECT_EQ(GetFileAttributesA("C:\\Dest\\a.txt"), static_cast<DWORD>(FILE_ATTRIBUTE_ARCHIVE));
    EXPECT_EQ(ReadFile("C:\\Dest\\~LZSFX01.TMP"), "mine");
    EXPECT_EQ(Tree(), (std::set<std::string>{"a.txt", "~LZSFX01.TMP"}));
}

TEST_F(ExtractCallsTest, AFileThatAppearsWhileTheMemberIsDecodedIsReplacedLikeAnyOther) {
    Install({InFolder("", "a.txt", "new"), InFolder("", "b.txt", "next")});
    HostSetPumpHook([] {
        if (!std::filesystem::exists(dest_ + "/a.txt")) {
            std::filesystem::create_directories(dest_);
            FILE *f = fopen((dest_ + "/a.txt").c_str(), "wb");
            fputs("appeared", f);
            fclose(f);
        }
    });
    EXPECT_EQ(Extract(), TRUE);
    EXPECT_TRUE(HostMessageBoxes().empty());
    EXPECT_EQ(ReadFile("C:\\Dest\\a.txt"), "new");
    EXPECT_EQ(Tree(), (std::set<std::string>{"a.txt", "b.txt"}));
}

TEST_F(ExtractCallsTest, AMemberNamedLikeATemporaryFileIsWrittenUnderAnotherOne) {
    // New, so written under its own name; then over an existing one, written under a
    // third name while the old one stands, which is then moved aside and gone.
    WriteFile("C:\\Dest\\~LZSFX01.TMP", "old");
    Install({InFolder("", "~LZSFX00.TMP", "first"), InFolder("", "~LZSFX01.TMP", "second")});
    trees_while_decoding.clear();
    HostSetPumpHook([] { trees_while_decoding.push_back(Tree()); });
    EXPECT_EQ(Extract(), TRUE);
    EXPECT_TRUE(HostMessageBoxes().empty());
    ASSERT_EQ(trees_while_decoding.size(), 2u);
    EXPECT_EQ(trees_while_decoding[0], (std::set<std::string>{"~LZSFX00.TMP", "~LZSFX01.TMP"}));
    EXPECT_EQ(trees_while_decoding[1],
              (std::set<std::string>{"~LZSFX00.TMP", "~LZSFX01.TMP", "~LZSFX02.TMP"}));
    EXPECT_EQ(ReadFile("C:\\Dest\\~LZSFX00.TMP"), "first");
    EXPECT_EQ(ReadFile("C:\\Dest\\~LZSFX01.TMP"), "second");
    EXPECT_EQ(Tree(), (std::set<std::string>{"~LZSFX00.TMP", "~LZSFX01.TMP"}));
    ExpectNoOutputLeft();
}

TEST_F(ExtractCallsTest, AFailedMemberInAFreshFolderLeavesTheFolderButNoFile) {
    TestMember bad = InFolder("n\xFF", "bad", "damaged");
    bad.data_crc = ReferenceCrc("damaged") ^ 1;
    Install({InFolder("n\xFF", "good", "ok"), bad, InFolder("n\xFF", "later", "x")});
    EXPECT_EQ(Extract(), FALSE);
    ASSERT_EQ(HostMessageBoxes().size(), 1u);
    EXPECT_EQ(HostMessageBoxes()[0].text, "\"C:/Dest/n/bad\" CRCｴﾗｰ");
    EXPECT_EQ(Tree(), (std::set<std::string>{"n/", "n/good"}));
    ExpectNoOutputLeft();
}

} // namespace
