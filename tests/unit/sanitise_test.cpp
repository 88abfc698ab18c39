// Member name sanitising under the short-name (8.3) and the long-name rules.
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "files/sanitise.h"

namespace {

// Sanitises a copy in a heap buffer of exactly its size, so that any access past
// it is caught.
std::string Path(const std::string &path, BOOL long_names) {
    std::unique_ptr<char[]> buffer(new char[path.size() + 1]);
    buffer[path.copy(buffer.get(), path.size())] = 0;
    SanitisePath(buffer.get(), long_names);
    return buffer.get();
}

std::string Short(const std::string &path) {
    return Path(path, FALSE);
}

std::string Long(const std::string &path) {
    return Path(path, TRUE);
}

TEST(ShortNameTest, CutsBaseAndExtensionTo8And3BytesAtTheLastDot) {
    EXPECT_EQ(Short("readme.txt"), "readme.txt");
    EXPECT_EQ(Short("LongFileName.html"), "LongFile.htm");
    EXPECT_EQ(Short("verylongname"), "verylong");
    EXPECT_EQ(Short("archive.tar.gz"), "archive_.gz");
}

TEST(ShortNameTest, ReplacesForbiddenBytesBlanksAndControlBytes) {
    EXPECT_EQ(Short("my file.txt"), "my_file.txt");
    EXPECT_EQ(Short("a+b;c.txt"), "a_b_c.txt");
    EXPECT_EQ(Short("\",:<=>?.[]|"), "_______.___");
    EXPECT_EQ(Short("a\tb\x01\xFF.e*"), "a_b__.e_");
    EXPECT_EQ(Short("ｱｲｳ!#$%.&'~"), "ｱｲｳ!#$%.&'~"); // half-width katakana are single bytes
}

TEST(ShortNameTest, DotsAtTheEdgesOfAComponent) {
    EXPECT_EQ(Short(".profile"), ".pro");
    EXPECT_EQ(Short("name."), "name.");
    EXPECT_EQ(Short("."), ".");
    EXPECT_EQ(Short(".."), "_.");
    EXPECT_EQ(Short("..."), "__.");
    EXPECT_EQ(Short("/Dest/../x.txt"), "/Dest/_./x.txt"); // no longer the parent
}

TEST(ShortNameTest, ADoubleByteCharacterThatWouldStraddleALimitIsDroppedWhole) {
    EXPECT_EQ(Short("1234567表.txt"), "1234567.txt");
    EXPECT_EQ(Short("a.tx表"), "a.tx");
    EXPECT_EQ(Short("123456表"), "123456表");
}

TEST(ShortNameTest, SanitisesTheDestinationDirectoryAndMovesTheRestUp) {
    EXPECT_EQ(Short("/Program Files/App/x.txt"), "/Program_/App/x.txt");
    EXPECT_EQ(Short("/LongDirectoryName/LongFileName.html"), "/LongDire/LongFile.htm");
}

TEST(LongNameTest, ReplacesOnlyTheNineForbiddenBytes) {
    EXPECT_EQ(Long("a:b?.txt"), "a_b_.txt");
    EXPECT_EQ(Long("\"*:<>?\\|"), "________");
    EXPECT_EQ(Long("a b+c,d;e=f[g]h.i\x01\xFF"), "a b+c,d;e=f[g]h.i\x01\xFF");
    EXPECT_EQ(Long("/Dest/../x.txt"), "/Dest/../x.txt");
}

TEST(LongNameTest, CutsAComponentTo255BytesWithoutSplittingACharacter) {
    EXPECT_EQ(Long(std::string(300, 'n') + "/x"), std::string(255, 'n') + "/x");
    EXPECT_EQ(Long(std::string(254, 'n') + "表zz"), std::string(254, 'n'));
    EXPECT_EQ(Long(std::string(253, 'n') + "表zz"), std::string(253, 'n') + "表");
}

TEST(BothRulesTest, KeepSeparatorsTrailBytesAndDropALoneLeadByte) {
    // 表 ends in 0x5C ("\"), ポ in 0x7C ("|").
    for (BOOL long_names : {FALSE, TRUE}) {
        EXPECT_EQ(Path("/a//b/", long_names), "/a//b/");
        EXPECT_EQ(Path("", long_names), "");
        EXPECT_EQ(Path("表ポ/表.ポ", long_names), "表ポ/表.ポ");
        EXPECT_EQ(Path("ab\x95/c", long_names), "ab/c");
    }
}

TEST(SanitiseSpanTest, ReturnsTheNewTerminatorWithTheRestCutOff) {
    char text[] = "a*b?cdef";
    EXPECT_EQ(SanitiseSpan(text, 4, TRUE), text + 4);
    EXPECT_STREQ(text, "a_b_");
    char component[] = "LongFileName.html";
    SanitiseComponent(component, FALSE);
    EXPECT_STREQ(component, "LongFile.htm");
}

} // namespace
