// Destination paths: macro expansion, the work directory, the registry read, joins,
// separators, the file-name part, directory creation and the display text.
#include "test_support.h"

#include <memory>
#include <string>

#include "files/paths.h"

namespace {

const char kVersionKey[] = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion";

// `text` in a heap buffer of exactly `size` bytes, so that AddressSanitizer catches
// any access past its end.
std::unique_ptr<char[]> Buffer(size_t size, const std::string &text) {
    std::unique_ptr<char[]> buffer(new char[size]);
    buffer[text.copy(buffer.get(), size - 1)] = 0;
    return buffer;
}

// The install directory as start-up expands it, in its 256-byte buffer.
std::string Expand(const std::string &dir) {
    auto path = Buffer(256, dir);
    ExpandPathMacros(path.get(), "");
    return path.get();
}

// The joined path; `member_after` receives the member path as the join left it.
std::string Join(const std::string &dir, const std::string &member,
                 std::string *member_after = nullptr) {
    auto out = Buffer(516, "");
    auto member_path = Buffer(260, member);
    JoinDestinationPath(out.get(), dir.c_str(), member_path.get());
    if (member_after != nullptr) {
        *member_after = member_path.get();
    }
    return out.get();
}

std::string Separated(const std::string &text, char replacement) {
    auto path = Buffer(text.size() + 1, text);
    ReplaceSeparators(path.get(), replacement);
    return path.get();
}

std::string WithSeparator(const std::string &text) {
    auto path = Buffer(text.size() + 2, text);
    AppendSeparator(path.get());
    return path.get();
}

std::string Shortened(const std::string &path) {
    auto out = Buffer(1024, "");
    ShortenForDisplay(out.get(), path.c_str(), 32);
    return out.get();
}

std::string Dir(int length, char fill) { // "C:\" and fill bytes, `length` in all
    return "C:\\" + std::string(static_cast<size_t>(length - 3), fill);
}

using ExpandPathMacrosTest = StubTest;

TEST_F(ExpandPathMacrosTest, MacrosCountOnlyAtTheStartAndWithTheirCase) {
    EXPECT_EQ(Expand("%windir%/Apps"), "%windir%\\Apps");
    EXPECT_EQ(Expand("C:/%WinDir%"), "C:\\%WinDir%");
    EXPECT_EQ(Expand("%WinDi"), "%WinDi");
    EXPECT_EQ(Expand("D:/Tools\xFF"
                     "a"),
              "D:\\Tools\\a");
    EXPECT_EQ(Expand("%Search%/App"), "%Search%\\App"); // no search name
}

TEST_F(ExpandPathMacrosTest, ReplacesTheMacroBytesAndAppendsTheRestUnchanged) {
    EXPECT_EQ(Expand("%WinRoot%\\Apps"), "C:\\Apps");
    EXPECT_EQ(Expand("%WinDir%Apps"), "C:\\WINDOWSApps");
    EXPECT_EQ(Expand("%SystemDir%/drivers"), "C:\\WINDOWS\\SYSTEM32\\drivers");
    HostSetWindowsDirectory("D:/WIN");
    EXPECT_EQ(Expand("%WinRoot%"), "D:");
    EXPECT_EQ(Expand("%WinDir%/x"), "D:\\WIN\\x");
}

TEST_F(ExpandPathMacrosTest, ProgramFilesIsTheRegistryValueElseTheWindowsDrive) {
    EXPECT_EQ(Expand("%ProgramFiles%\\App"), "C:\\App"); // value missing
    HostSetMachineValue(kVersionKey, "ProgramFilesDir", std::string("C:\\Program Files\0", 17));
    EXPECT_EQ(Expand("%ProgramFiles%\\App"), "C:\\Program Files\\App");
    LegacyShell = 1;
    EXPECT_EQ(Expand("%ProgramFiles%\\App"), "C:\\App");
    LegacyShell = 0;
    HostSetMachineValue(kVersionKey, "ProgramFilesDir", std::string("\0", 1));
    EXPECT_EQ(Expand("%ProgramFiles%"), "C:");
    HostSetMachineValue(kVersionKey, "ProgramFilesDir", Dir(256, 'p') + '\0');
    EXPECT_EQ(Expand("%ProgramFiles%"), "C:");
}

TEST_F(ExpandPathMacrosTest, WorkIsTempThenTmpThenWindowsTempThenTheCurrentDirectory) {
    WriteFile("C:\\WINDOWS\\WIN.INI", "");
    HostSetEnv("TEMP", "D:\\Temp\\"); // its separator stays, doubled
    HostSetEnv("TMP", "E:/Tmp");
    EXPECT_EQ(Expand("%WORK%\\x"), "D:\\Temp\\\\x");
    HostSetEnv("TEMP", "");
    EXPECT_EQ(Expand("%WORK%\\x"), "E:\\Tmp\\x");
    HostSetEnv("TEMP", Dir(256, 't').c_str()); // too long to be read
    HostSetEnv("TMP", nullptr);
    ASSERT_FALSE(Exists("C:\\WINDOWS\\TEMP"));
    EXPECT_EQ(Expand("%WORK%\\x"), "C:\\WINDOWS\\TEMP\\x");
    EXPECT_TRUE(Exists("C:\\WINDOWS\\TEMP"));
    HostSetWindowsDirectory("C:\\");
    EXPECT_EQ(Expand("%WORK%"), "C:\\TEMP");
    HostSetWindowsDirectory("");
    HostSetCurrentDirectory("C:\\Here");
    EXPECT_EQ(Expand("%WORK%\\x"), "C:\\Here\\x");
}

TEST_F(ExpandPathMacrosTest, AnExpansionThatWouldNotFitIn255BytesIsLeftUnexpanded) {
    HostSetEnv("TEMP", Dir(247, 'd').c_str());
    EXPECT_EQ(Expand("%WORK%\\1234567"), Dir(247, 'd') + "\\1234567");
    EXPECT_EQ(Expand("%WORK%\\12345678"), "%WORK%\\12345678");
}

TEST_F(ExpandPathMacrosTest, AMacroWhoseValueCannotBeHadIsLeftUnexpanded) {
    HostSetWindowsDirectory("");
    EXPECT_EQ(Expand("%WinDir%/x"), "%WinDir%\\x");
    EXPECT_EQ(Expand("%WinRoot%/x"), "%WinRoot%\\x");
    EXPECT_EQ(Expand("%ProgramFiles%/x"), "%ProgramFiles%\\x");
    HostSetCurrentDirectory(Dir(263, 'c').c_str());
    EXPECT_EQ(Expand("%WORK%/x"), "%WORK%\\x");
}

using GetWorkDirectoryTest = StubTest;

TEST_F(GetWorkDirectoryTest, ReturnsTheLengthOrLeavesTheBufferEmptyAndAsksForMore) {
    HostSetEnv("TEMP", "C:\\TMP");
    auto out = Buffer(7, "junk");
    EXPECT_EQ(GetWorkDirectory(out.get(), 7), 6);
    EXPECT_STREQ(out.get(), "C:\\TMP");
    EXPECT_EQ(GetWorkDirectory(out.get(), 6), 7);
    EXPECT_STREQ(out.get(), "");
    HostSetEnv("TEMP", nullptr);
    HostSetWindowsDirectory(Dir(252, 'w').c_str()); // with "/TEMP" 257 bytes: unusable
    HostSetCurrentDirectory(Dir(263, 'c').c_str());
    EXPECT_EQ(GetWorkDirectory(out.get(), 7), 0);
}

using ReadMachineStringTest = StubTest;

TEST_F(ReadMachineStringTest, GivesAValueThatFitsWithItsTerminatorElseTheFallback) {
    auto read = [](int size) {
        auto out = Buffer(static_cast<size_t>(size), "");
        ReadMachineString(kVersionKey, "ProgramFilesDir", "none", out.get(), size);
        return std::string(out.get());
    };
    EXPECT_EQ(read(16), "none"); // no key
    HostSetMachineValue(kVersionKey, "Other", "x");
    EXPECT_EQ(read(16), "none"); // no value
    HostSetMachineValue(kVersionKey, "ProgramFilesDir", "abcd", REG_NONE);
    EXPECT_EQ(read(16), "abcd"); // unterminated, any type
    HostSetMachineValue(kVersionKey, "ProgramFilesDir", std::string(15, 'v') + '\0');
    EXPECT_EQ(read(16), std::string(15, 'v'));
    HostSetMachineValue(kVersionKey, "ProgramFilesDir", std::string(16, 'v'));
    EXPECT_EQ(read(16), "none"); // no room for the terminator
    HostSetMachineValue(kVersionKey, "ProgramFilesDir", std::string(40, 'v'));
    EXPECT_EQ(read(16), "none");
}

using JoinDestinationPathTest = StubTest;

TEST_F(JoinDestinationPathTest, JoinsAsTheMemberPathsFormAsks) {
    EXPECT_EQ(Join("C:\\Dest", "doc/readme.txt"), "C:\\Dest/doc\\readme.txt");
    EXPECT_EQ(Separated(Join("C:\\Dest", "doc/readme.txt"), '/'), "C:/Dest/doc/readme.txt");
    EXPECT_EQ(Join("C:\\Dest\\", "a.txt"), "C:\\Dest\\a.txt");
    EXPECT_EQ(Join("C:", "a.txt"), "C:a.txt");
    EXPECT_EQ(Join("", "a.txt"), "a.txt");
    EXPECT_EQ(Join("C:\\Dest", "\\Sys\\a.ini"), "C:\\Sys\\a.ini");
    EXPECT_EQ(Join("Dest", "/Sys/a.ini"), "\\Sys\\a.ini");
    EXPECT_EQ(Join("C:\\Dest", "D:\\x.txt"), "D:\\x.txt");
    EXPECT_EQ(Join("", "D:x.txt"), "D:x.txt");
}

TEST_F(JoinDestinationPathTest, ExpandsTheMemberPathInPlace) {
    std::string member;
    EXPECT_EQ(Join("C:\\Dest", "%WinDir%/app.ini", &member), "C:\\WINDOWS\\app.ini");
    EXPECT_EQ(member, "C:\\WINDOWS\\app.ini");
    EXPECT_EQ(Join("C:\\Dest", "%windir%/app.ini"), "C:\\Dest/%windir%\\app.ini");
}

TEST_F(JoinDestinationPathTest, SearchGivesTheFolderWhereTheFileIsFoundElseTheSystemDirectory) {
    EXPECT_EQ(Join("C:\\Dest", "%Search%/SHARED.DLL"), "C:\\WINDOWS\\SYSTEM32\\SHARED.DLL");
    WriteFile("C:\\LIB\\SHARED.DLL", "dll");
    HostSetCurrentDirectory("C:\\LIB");
    EXPECT_EQ(Join("C:\\Dest", "%Search%/sub/SHARED.DLL"), "C:\\LIB\\sub\\SHARED.DLL");
    std::string deep = Dir(253, 'L'); // found as a path of 264 bytes: too long
    WriteFile((deep + "\\SHARED.DLL").c_str(), "dll");
    HostSetCurrentDirectory(deep.c_str());
    EXPECT_EQ(Join("C:\\Dest", "%Search%/SHARED.DLL"), "C:\\WINDOWS\\SYSTEM32\\SHARED.DLL");
}

TEST_F(JoinDestinationPathTest, TheLongestPathsFitTheirBuffersWhole) {
    HostSetEnv("TEMP", Dir(250, 'd').c_str());
    EXPECT_EQ(Join("C:\\Dest", "%WORK%\\file.txt"), Dir(250, 'd') + "\\file.txt"); // 259
    std::string member;
    EXPECT_EQ(Join("C:\\Dest", "%WORK%\\file.txtx", &member), "C:\\Dest/%WORK%\\file.txtx");
    EXPECT_EQ(member, "%WORK%\\file.txtx");
    std::string joined = Join(Dir(255, 'd'), std::string(259, 'm'));
    EXPECT_EQ(joined, Dir(255, 'd') + "/" + std::string(259, 'm')); // 515 bytes
}

TEST_F(JoinDestinationPathTest, ADoubleByteTrailBackslashIsNoSeparator) {
    // 表 and ソ end in the byte 0x5C.
    EXPECT_EQ(Join("C:\\表", "a.txt"), "C:\\表/a.txt");
    EXPECT_EQ(Join("C:\\Dest", "ソフト/表"), "C:\\Dest/ソフト\\表");
    EXPECT_EQ(Separated("C:\\Dest/ソフト\\表", '/'), "C:/Dest/ソフト/表");
}

TEST(SeparatorTest, ReplacesEverySingleByteSeparator) {
    EXPECT_EQ(Separated("a/b\\c\xFF"
                        "d",
                        '/'),
              "a/b/c/d");
    EXPECT_EQ(Separated("a/b\\c\xFF"
                        "d",
                        '\\'),
              "a\\b\\c\\d");
    EXPECT_EQ(Separated("a/\x95", '\\'), "a\\\x95"); // a lone lead byte ends the scan
}

TEST(SeparatorTest, AppendsASlashUnlessTheLastCharacterIsASeparator) {
    EXPECT_EQ(WithSeparator(""), "/");
    EXPECT_EQ(WithSeparator("C:\\x"), "C:\\x/");
    EXPECT_EQ(WithSeparator("C:\\x\\"), "C:\\x\\");
    EXPECT_EQ(WithSeparator("C:/x/"), "C:/x/");
    EXPECT_EQ(WithSeparator("C:\\表"), "C:\\表/");
}

TEST(FileNamePartTest, FollowsTheLastSeparatorOrColonOutsideDoubleByteCharacters) {
    EXPECT_STREQ(FindFileNamePart("C:\\dir/sub\xFFname.txt"), "name.txt");
    EXPECT_STREQ(FindFileNamePart("C:name"), "name");
    EXPECT_STREQ(FindFileNamePart("dir/"), "");
    EXPECT_STREQ(FindFileNamePart("dir\\表"), "表");
    const char *text = "ab表\\c";
    EXPECT_EQ(FindFirstOf(text, "c\\"), text + 4);
    EXPECT_EQ(FindFirstOf("ab\x95", "\\"), nullptr);
}

using MakeDirectoriesTest = StubTest;

TEST_F(MakeDirectoriesTest, CreatesEveryDirectoryInFrontOfTheLastSlashInOrder) {
    // Each creation makes one level, so B exists only if A was made before it.
    MakeDirectories("C:/A/B/file.txt");
    EXPECT_TRUE(Exists("C:\\A\\B"));
    EXPECT_FALSE(Exists("C:\\A\\B\\file.txt"));
    MakeDirectories("C:/A/表/Y/");
    EXPECT_TRUE(Exists("C:\\A\\表\\Y"));
}

using ShortenForDisplayTest = StubTest;

TEST_F(ShortenForDisplayTest, KeepsThePathWholeUpTo31Bytes) {
    std::string path = "C:/" + std::string(22, 'p') + "/a.txt";
    EXPECT_EQ(Shortened(path), path);
}

TEST_F(ShortenForDisplayTest, KeepsTheStartAndTheTitleIn31Bytes) {
    std::string path = "C:/" + std::string(28, 'p') + "/ab12.txt"; // 40 bytes, title 8
    EXPECT_EQ(Shortened(path), path.substr(0, 19) + ".../ab12.txt");
    // The start is cut before a double-byte character that would not fit whole.
    std::string dbcs = "C:/" + std::string(15, 'p') + "表" + std::string(11, 'q') + "/ab12.txt";
    EXPECT_EQ(Shortened(dbcs), "C:/" + std::string(15, 'p') + ".../ab12.txt");
}

TEST_F(ShortenForDisplayTest, ShowsALongTitleAloneAndAMissingOneAsNothing) {
    std::string title = std::string(28, 't') + ".txt";
    EXPECT_EQ(Shortened("C:/dir/" + title), ".../" + title);
    std::string dir = "C:/" + std::string(40, 'd') + "/";
    EXPECT_EQ(Shortened(dir), dir.substr(0, 27) + ".../");
}

} // namespace
