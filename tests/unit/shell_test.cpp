// The post-extraction actions: the fields of a directive line, file-type
// associations in the registry and in win.ini, the settings-changed broadcast,
// and the command started in the destination folder.
#include "test_support.h"

#include <string>
#include <vector>

#include "platform/host_shell_control.h"
#include "shell/association.h"
#include "shell/command.h"
#include "shell/post_extraction.h"
#include "startup/directives.h"

namespace {

HWND const kDialog = reinterpret_cast<HWND>(0x1234);

class ShellTest : public StubTest {
  protected:
    void SetUp() override {
        StubTest::SetUp();
        lstrcpyA(State->Settings.WindowTitle, "Setup");
        lstrcpyA(State->DestinationDir, "C:\\Dest");
        State->DialogWindow = kDialog;
        State->AssociationChecked = 1;
        WriteFile("C:\\Dest\\Application.exe", "MZ");
        HostSetShortName("C:\\Dest\\Application.exe", "C:\\Dest\\APPLIC~1.EXE");
    }

    void Run(const std::string &directives) {
        lstrcpyA(State->DirectiveText, directives.c_str());
        RunPostExtraction(kDialog);
    }

    // The default value of a key under HKEY_CLASSES_ROOT, or "<absent>".
    std::string Default(const char *key) {
        std::string data;
        DWORD type = REG_NONE;
        if (!HostClassesRootValue(key, "", &data, &type)) {
            return "<absent>";
        }
        EXPECT_EQ(type, static_cast<DWORD>(REG_SZ)) << key;
        return data;
    }

    std::vector<std::string> CreatedKeyPaths() {
        std::vector<std::string> paths;
        for (const HostCreatedKey &k : HostCreatedKeys()) {
            paths.push_back(k.path);
        }
        return paths;
    }
};

// ---- Fields -----------------------------------------------------------------------

std::vector<std::string> Fields(const char *value, int count, int size = 64) {
    TextCursor cursor = {value};
    std::vector<std::string> out;
    for (int i = 0; i < count; ++i) {
        char field[300];
        SplitField(&cursor, field, size);
        out.push_back(field);
    }
    return out;
}

using SplitFieldTest = ::testing::Test;

TEST(SplitFieldTest, CommasEndFieldsAndBlanksAroundThemStay) {
    EXPECT_EQ(Fields("a, b ,c", 4), (std::vector<std::string>{"a", " b ", "c", ""}));
    EXPECT_EQ(Fields(",,x", 3), (std::vector<std::string>{"", "", "x"}));
}

TEST(SplitFieldTest, QuotesKeepCommasInsideAndAreNotStored) {
    EXPECT_EQ(Fields("\"a,b\",c\"d,e\"f,g", 3), (std::vector<std::string>{"a,b", "cd,ef", "g"}));
    EXPECT_EQ(Fields("\"open, to the end", 2), (std::vector<std::string>{"open, to the end", ""}));
}

TEST(SplitFieldTest, AControlByteEndsTheValueAndEveryLaterFieldIsEmpty) {
    const char value[] = "a\tb,c";
    TextCursor cursor = {value};
    char field[16];
    EXPECT_TRUE(SplitField(&cursor, field, sizeof field));
    EXPECT_STREQ(field, "a");
    EXPECT_EQ(cursor.at, value + 1);
    EXPECT_TRUE(SplitField(&cursor, field, sizeof field));
    EXPECT_STREQ(field, "");
    EXPECT_EQ(cursor.at, value + 1);
}

TEST(SplitFieldTest, ALongFieldIsCutBeforeADoubleByteCharacterAndStillStepsOverWhole) {
    const char value[] = "ab表c,next";
    TextCursor cursor = {value};
    char field[8] = "xxxxxxx";
    EXPECT_FALSE(SplitField(&cursor, field, 4)); // "ab" + a two-byte character needs 5
    EXPECT_STREQ(field, "ab");
    EXPECT_TRUE(SplitField(&cursor, field, sizeof field));
    EXPECT_STREQ(field, "next");
}

// ---- Association ------------------------------------------------------------------

TEST_F(ShellTest, AClassLineWritesTheFourKeysWithTheShortProgramPath) {
    Run("$Class=.txt,Text File,Application.exe,MyApp.Text");
    EXPECT_EQ(Default(".txt"), "MyApp.Text");
    EXPECT_EQ(Default("MyApp.Text"), "Text File");
    EXPECT_EQ(Default("MyApp.Text\\shell\\open\\command"), "\"C:\\Dest\\APPLIC~1.EXE\" \"%1\"");
    EXPECT_EQ(Default("MyApp.Text\\DefaultIcon"), "C:\\Dest\\APPLIC~1.EXE,0");
    EXPECT_EQ(CreatedKeyPaths(),
              (std::vector<std::string>{".txt", "MyApp.Text", "MyApp.Text\\shell\\open\\command",
                                        "MyApp.Text\\DefaultIcon"}));
    for (const HostCreatedKey &k : HostCreatedKeys()) {
        EXPECT_EQ(k.root, HKEY_CLASSES_ROOT);
        EXPECT_EQ(k.class_name, "(標準)");
        EXPECT_EQ(k.options, static_cast<DWORD>(REG_OPTION_NON_VOLATILE));
        EXPECT_EQ(k.access, static_cast<REGSAM>(KEY_WRITE));
    }
    EXPECT_STREQ(State->ClassKey, "MyApp.Text");
    EXPECT_TRUE(HostProfileWrites().empty());
}

TEST_F(ShellTest, TheLegacyShellWritesOnlyTheExtensionsEntryInSmallLetters) {
    LegacyShell = 1;
    Run("$Class=.TXT,Text File,Application.exe,MyApp.Text");
    ASSERT_EQ(HostProfileWrites().size(), 1u);
    const HostProfileWrite &w = HostProfileWrites()[0];
    EXPECT_EQ(w.section, "Extensions");
    EXPECT_EQ(w.key, "txt");
    EXPECT_EQ(w.value, "C:\\Dest\\APPLIC~1.EXE ^.txt");
    EXPECT_TRUE(HostCreatedKeys().empty());
}

TEST_F(ShellTest, AnExtensionInCapitalsIsRegisteredInSmallLetters) {
    Run("$Class=.TxT,Text,Application.exe,Cls");
    EXPECT_EQ(Default(".txt"), "Cls");
    EXPECT_EQ(CreatedKeyPaths()[0], ".txt");
}

TEST_F(ShellTest, QuotedFieldsMayHoldCommasAndTheQuotesAreNotStored) {
    WriteFile("C:\\Dest\\my,app.exe", "MZ");
    Run("$Class=.abc,\"Text, plain\",\"my,app.exe\",\"A,Class\"");
    EXPECT_EQ(Default(".abc"), "A,Class");
    EXPECT_EQ(Default("A,Class"), "Text, plain");
    EXPECT_EQ(Default("A,Class\\DefaultIcon"), "C:\\Dest\\my,app.exe,0");
}

TEST_F(ShellTest, ProgramSeparatorsBecomeBackslashes) {
    WriteFile("C:\\Dest\\bin\\tool.exe", "MZ");
    Run("$Class=.t,T,bin/tool.exe,Cls");
    EXPECT_EQ(Default("Cls\\DefaultIcon"), "C:\\Dest\\bin\\tool.exe,0");
}

TEST_F(ShellTest, AMissingProgramIsRegisteredByItsJoinedPath) {
    Run("$Class=.t,T,later.exe,Cls");
    EXPECT_EQ(Default("Cls\\shell\\open\\command"), "\"C:\\Dest\\later.exe\" \"%1\"");
}

TEST_F(ShellTest, ALineWithoutExtensionProgramOrClassKeyRegistersNothingAndAsksNothing) {
    AskBeforeAssociate = 1;
    Run("$Class=,T,Application.exe,Cls\r\n"
        "$Class=.,T,Application.exe,Cls\r\n"
        "$Class=.t,T,,Cls\r\n"
        "$Class=.t,T,Application.exe,\r\n"
        "$Class=.t,T,Application.exe\r\n");
    EXPECT_TRUE(HostCreatedKeys().empty());
    EXPECT_TRUE(HostMessageBoxes().empty());
    EXPECT_EQ(Default(""), "<absent>");
}

TEST_F(ShellTest, AnExtensionOrClassKeyThatDoesNotFitPassesTheLineOver) {
    std::string key60(60, 'k'), key61(61, 'k');
    Run("$Class=.abcdefghijklmnopqrs,T,Application.exe,Cls\r\n" // 20 bytes
        "$Class=.t,T,Application.exe," +
        key61 + "\r\n$Class=.u,T,Application.exe," + key60);
    EXPECT_EQ(CreatedKeyPaths(),
              (std::vector<std::string>{".u", key60, key60 + "\\shell\\open\\command",
                                        key60 + "\\DefaultIcon"}));
    EXPECT_EQ(Default((key60 + "\\shell\\open\\command").c_str()),
              "\"C:\\Dest\\APPLIC~1.EXE\" \"%1\"");
}

TEST_F(ShellTest, ALongTypeNameIsCutWithoutSplittingACharacter) {
    Run("$Class=.t,0123456789ABCDEFGH表X,Application.exe,Cls"); // 18 bytes, then two
    EXPECT_EQ(Default("Cls"), "0123456789ABCDEFGH");
}

TEST_F(ShellTest, AJoinedProgramPathOver255BytesPassesTheLineOver) {
    std::string dir = "C:\\" + std::string(244, 'd'); // 247 bytes
    lstrcpyA(State->DestinationDir, dir.c_str());
    Run("$Class=.a,T,abc.exe,A\r\n$Class=.b,T,abcd.exe,B"); // joined 255 and 256 bytes
    EXPECT_EQ(Default("A\\DefaultIcon"), dir + "\\abc.exe,0");
    EXPECT_EQ(Default(".b"), "<absent>");
}

TEST_F(ShellTest, ALineCutAtTheValueLimitIsUsedOnlyWhenItsFourFieldsAreWhole) {
    // 220 bytes up to the class key, so the 255-byte value ends inside what follows.
    std::string front = "," + std::string(200, 'T') + ",Application.exe,";
    Run("$Class=.a" + front + "A," + std::string(40, 'z') + "\r\n$Class=.b" + front + "B" +
        std::string(40, 'k'));
    EXPECT_EQ(Default(".a"), "A");
    EXPECT_EQ(Default("A"), std::string(19, 'T'));
    EXPECT_EQ(Default(".b"), "<absent>");
}

TEST_F(ShellTest, AFailedKeyIsSilentAndTheOtherValuesAreStillWritten) {
    HostFailKeyCreation("Cls");
    Run("$Class=.t,T,Application.exe,Cls");
    EXPECT_EQ(Default(".t"), "Cls");
    EXPECT_EQ(Default("Cls"), "<absent>");
    EXPECT_EQ(Default("Cls\\DefaultIcon"), "C:\\Dest\\APPLIC~1.EXE,0");
    EXPECT_TRUE(HostMessageBoxes().empty());
}

TEST_F(ShellTest, AskRegistAsksForEachLineAndNoSkipsOnlyThatLine) {
    lstrcpyA(State->DirectiveText, "$AskRegist=\r\n$ClassTitle=Associate\r\n"
                                   "$Class=.a,Type A,Application.exe,A\r\n"
                                   "$Class=.b,Type B,Application.exe,B\r\n");
    State->AssociationChecked = 0;
    ReadDirectives();
    HostQueueAnswer(IDNO);
    HostQueueAnswer(IDYES);
    RunPostExtraction(kDialog);
    ASSERT_EQ(HostMessageBoxes().size(), 2u);
    const HostMessageBox &box = HostMessageBoxes()[0];
    EXPECT_EQ(box.text, "\"Type A\" の関連付けを行いますか？");
    EXPECT_EQ(box.caption, "Setup");
    EXPECT_EQ(box.owner, kDialog);
    EXPECT_EQ(box.style, static_cast<UINT>(MB_TASKMODAL | MB_ICONQUESTION | MB_YESNO));
    EXPECT_EQ(HostMessageBoxes()[1].text, "\"Type B\" の関連付けを行いますか？");
    EXPECT_EQ(Default(".a"), "<absent>");
    EXPECT_EQ(Default(".b"), "B");
}

TEST_F(ShellTest, AClearedAssociationBoxRegistersNothingButStillBroadcasts) {
    State->AssociationChecked = 0;
    Run("$Class=.t,T,Application.exe,Cls");
    EXPECT_TRUE(HostCreatedKeys().empty());
    ASSERT_EQ(HostMessages().size(), 1u);
    const HostWindowMessage &m = HostMessages()[0];
    EXPECT_TRUE(m.posted);
    EXPECT_EQ(m.window, reinterpret_cast<HWND>(0xFFFF));
    EXPECT_EQ(m.message, static_cast<UINT>(WM_WININICHANGE));
    EXPECT_EQ(m.wparam, 0u);
    EXPECT_EQ(m.lparam, 0);
}

TEST_F(ShellTest, AnEmptyDirectiveTextStillBroadcasts) {
    Run("");
    ASSERT_EQ(HostMessages().size(), 1u);
    EXPECT_EQ(HostMessages()[0].message, static_cast<UINT>(WM_WININICHANGE));
}

TEST_F(ShellTest, EveryClassLineActsInTextOrderAndOtherLinesDoNot) {
    Run("$Class=.a,A,Application.exe,A\n"
        " $Class=.x,X,Application.exe,X\n"
        "$class=.y,Y,Application.exe,Y\n"
        "$ClassTitle=.z,Z,Application.exe,Z\n"
        "$Command=.w,W,Application.exe,W\r"
        "$Class=.b,B,Application.exe,B");
    std::vector<std::string> extensions;
    for (const std::string &path : CreatedKeyPaths()) {
        if (path[0] == '.') {
            extensions.push_back(path);
        }
    }
    EXPECT_EQ(extensions, (std::vector<std::string>{".a", ".b"}));
}

// ---- Joined paths ---------------------------------------------------------------------

TEST_F(ShellTest, TheJoinNamesTheFileWhereTheExtractPassWroteIt) {
    char out[kJoinedPathSize];
    auto join = [&](const char *dir, const char *name) {
        lstrcpyA(State->DestinationDir, dir);
        EXPECT_TRUE(ShortPathInDestination(name, out));
        return std::string(out);
    };
    EXPECT_EQ(join("C:\\Dest", "x.exe"), "C:\\Dest\\x.exe");
    EXPECT_EQ(join("C:\\", "x.exe"), "C:\\x.exe");
    EXPECT_EQ(join("C:/Dest/", "x.exe"), "C:/Dest/x.exe");
    EXPECT_EQ(join("D:", "x.exe"), "D:x.exe");
    EXPECT_EQ(join("", "x.exe"), "x.exe");
    // 0x5C is the trail byte of this character, not a separator.
    EXPECT_EQ(join("C:\\表", "x.exe"), "C:\\表\\x.exe");
}

// ---- Command ---------------------------------------------------------------------------

std::pair<std::string, std::string> Split(const char *command, int size = 300) {
    char program[300];
    const char *parameters = SplitCommand(command, program, size);
    return {program, parameters};
}

using SplitCommandTest = ::testing::Test;

TEST(SplitCommandTest, AQuotedProgramKeepsItsBlanks) {
    EXPECT_EQ(Split(" \t\"C:\\My Apps\\setup.exe\"  -x /y"),
              std::make_pair(std::string("C:\\My Apps\\setup.exe"), std::string("-x /y")));
    EXPECT_EQ(Split("\"unclosed program"),
              std::make_pair(std::string("unclosed program"), std::string("")));
}

TEST(SplitCommandTest, AnUnquotedProgramEndsAtABlankOrTab) {
    EXPECT_EQ(Split("setup.exe\t-s"), std::make_pair(std::string("setup.exe"), std::string("-s")));
    EXPECT_EQ(Split("setup.exe"), std::make_pair(std::string("setup.exe"), std::string("")));
    EXPECT_EQ(Split("   "), std::make_pair(std::string(""), std::string("")));
}

TEST(SplitCommandTest, AProgramTooLongForTheBufferIsCutAndItsParametersStillFound) {
    EXPECT_EQ(Split("abc表def -p", 5), std::make_pair(std::string("abc"), std::string("-p")));
}

TEST_F(ShellTest, AQuotedCommandWithParametersStartsInTheDestination) {
    lstrcpyA(State->Settings.Command, "\"My Apps\\set up.exe\" /s -q");
    RunCommand(kDialog);
    ASSERT_EQ(HostShellExecutes().size(), 1u);
    const HostShellExecute &e = HostShellExecutes()[0];
    EXPECT_EQ(e.owner, kDialog);
    EXPECT_TRUE(e.verb_null);
    EXPECT_EQ(e.file, "My Apps\\set up.exe");
    EXPECT_FALSE(e.parameters_null);
    EXPECT_EQ(e.parameters, "/s -q");
    EXPECT_EQ(e.directory, "C:\\Dest");
    EXPECT_EQ(e.show, SW_SHOW);
}

TEST_F(ShellTest, ACommandWithoutParametersGivesNoParameterText) {
    lstrcpyA(State->Settings.Command, "readme.txt  ");
    RunCommand(kDialog);
    ASSERT_EQ(HostShellExecutes().size(), 1u);
    EXPECT_EQ(HostShellExecutes()[0].file, "readme.txt");
    EXPECT_TRUE(HostShellExecutes()[0].parameters_null);
}

TEST_F(ShellTest, ACommandThatNamesNoProgramStartsNothing) {
    lstrcpyA(State->Settings.Command, "  \"\" -x");
    RunCommand(kDialog);
    EXPECT_TRUE(HostShellExecutes().empty());
}

} // namespace
