// The setup directives: the line reader and what each keyword changes.
#include "test_support.h"

#include <string.h>

#include "startup/directives.h"

namespace {

class DirectivesTest : public StubTest {
  protected:
    void Read(const std::string &text) {
        lstrcpynA(State->DirectiveText, text.c_str(), kDirectiveTextSize);
        ReadDirectives();
    }
};

TEST_F(DirectivesTest, TitleAndFlagLinesApply) {
    Read("$WindowTitle=Setup\r\n$Flag=3\r\n");
    EXPECT_STREQ(State->Settings.WindowTitle, "Setup");
    EXPECT_EQ(AutoStart, 1u);
    EXPECT_EQ(OverwriteSilently, 1u);
}

TEST_F(DirectivesTest, FlagBitsApplyInOrderSoTheLaterOfAPairWins) {
    Read("$Flag=257");
    EXPECT_EQ(AutoStart, 0u);
    Read("$Flag=2056");
    EXPECT_EQ(SkipNotNewer, 1u);
    State->Settings.RestoreAttributes = 0;
    Read("$Flag=16");
    EXPECT_EQ(State->Settings.RestoreAttributes, '/');
    AutoStart = OverwriteSilently = 1;
    SkipNotNewer = 0;
    Read("$Flag=-1");
    EXPECT_EQ(AutoStart, 0u);
    EXPECT_EQ(OverwriteSilently, 0u);
    EXPECT_EQ(SkipNotNewer, 1u);
    EXPECT_EQ(State->Settings.RestoreAttributes, 0);
}

TEST_F(DirectivesTest, TheChecksumBitIsNotAnOption) {
    State->Settings.Flags = 0;
    Read("$Flag=4");
    EXPECT_EQ(State->Settings.Flags, 0);
    EXPECT_EQ(AutoStart, 0u);
    EXPECT_EQ(OverwriteSilently, 0u);
    EXPECT_EQ(SkipNotNewer, 1u);
}

TEST_F(DirectivesTest, FlagNumbersAreDecimalWithBlanksAndASign) {
    EXPECT_EQ(ParseFlagNumber("  +12x"), 12);
    EXPECT_EQ(ParseFlagNumber("-1"), -1);
    EXPECT_EQ(ParseFlagNumber("abc"), 0);
    EXPECT_EQ(ParseFlagNumber(""), 0);
    EXPECT_EQ(ParseFlagNumber("4294967297"), 1); // wraps as a 32-bit number
}

TEST_F(DirectivesTest, AKeywordCountsOnlyAtTheStartOfALineAndInItsCase) {
    Read(" $WindowTitle=Indented\r\n$windowtitle=Small\r\nplain text");
    EXPECT_STREQ(State->Settings.WindowTitle, "");
}

TEST_F(DirectivesTest, TheFirstInstallDirReachingAnEmptyFolderStays) {
    Read("$InstallDir=C:\\First\n$InstallDir=C:\\Second");
    EXPECT_STREQ(State->Settings.InstallDir, "C:\\First");
    lstrcpyA(State->Settings.InstallDir, "C:\\FromCommandLine");
    Read("$InstallDir=C:\\Third");
    EXPECT_STREQ(State->Settings.InstallDir, "C:\\FromCommandLine");
}

TEST_F(DirectivesTest, AControlByteEndsTheValueAndStartsANewLine) {
    Read("$WindowTitle=A\tB\n$InstallTitle=\"quoted\" kept ");
    EXPECT_STREQ(State->Settings.WindowTitle, "A");
    EXPECT_STREQ(State->Settings.InstallTitle, "\"quoted\" kept ");
}

TEST_F(DirectivesTest, ALongCommandKeeps255BytesAndTheNextLineIsRead) {
    Read("$Command=" + std::string(300, 'c') + "\r\n$WindowTitle=After");
    EXPECT_EQ(std::string(State->Settings.Command), std::string(255, 'c'));
    EXPECT_STREQ(State->Settings.WindowTitle, "After");
}

TEST_F(DirectivesTest, ValuesAreCutToTheirTargetsWithoutTouchingNeighbours) {
    State->Settings.InstallTitle[0] = 'K';
    Read("$WindowTitle=" + std::string(39, 't') + "表示");
    EXPECT_EQ(std::string(State->Settings.WindowTitle), std::string(39, 't'));
    EXPECT_EQ(State->Settings.InstallTitle[0], 'K');
    Read("$GroupTitle=" + std::string(100, 'g'));
    EXPECT_EQ(std::string(State->GroupCaption), std::string(79, 'g'));
    EXPECT_EQ(State->GroupName[0], 0);
}

TEST_F(DirectivesTest, CheckBoxTitlesSwitchTheirBoxesOn) {
    Read("$ClassTitle=\r\n$GroupTitle=Start menu");
    EXPECT_EQ(State->AssociationChecked, 1u);
    EXPECT_STREQ(State->AssociationCaption, "");
    EXPECT_EQ(State->GroupChecked, 1u);
    EXPECT_STREQ(State->GroupCaption, "Start menu");
}

TEST_F(DirectivesTest, AskRegistSwitchesTheQuestionOnWhateverItsValue) {
    Read("$AskRegist=");
    EXPECT_EQ(AskBeforeAssociate, 1u);
}

TEST_F(DirectivesTest, ClassAndGroupLinesChangeNothingNow) {
    Read("$Class=.txt,Text,app.exe,App.Text\r\n$Group=G,T,app.exe");
    EXPECT_EQ(State->AssociationChecked, 0u);
    EXPECT_EQ(State->GroupChecked, 0u);
    EXPECT_STREQ(State->DirectiveText, "$Class=.txt,Text,app.exe,App.Text\r\n$Group=G,T,app.exe");
}

TEST_F(DirectivesTest, LinesEndWithLfCrOrNothing) {
    Read("$WindowTitle=W\r$InstallTitle=I\n\n\n$Command=C");
    EXPECT_STREQ(State->Settings.WindowTitle, "W");
    EXPECT_STREQ(State->Settings.InstallTitle, "I");
    EXPECT_STREQ(State->Settings.Command, "C");
}

TEST_F(DirectivesTest, TheCursorOperationsMoveAsDocumented) {
    const char text[] = "\r\n\r\n$Group=abc\r\nrest";
    TextCursor c = {text};
    EXPECT_TRUE(SkipBreaks(&c));
    EXPECT_EQ(c.at, text + 4);
    EXPECT_EQ(MatchKeyword(&c), kGroupKeyword);
    char small[3];
    CopyValue(&c, small, sizeof small);
    EXPECT_STREQ(small, "ab");
    EXPECT_EQ(*c.at, 'c');
    SkipLine(&c);
    EXPECT_EQ(*c.at, '\r');
    EXPECT_TRUE(SkipBreaks(&c));
    EXPECT_EQ(MatchKeyword(&c), kNoKeyword);
    EXPECT_EQ(*c.at, 'r');
    SkipLine(&c);
    EXPECT_FALSE(SkipBreaks(&c));
}

} // namespace
