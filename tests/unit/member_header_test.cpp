// Reading level-2 member headers: records, header CRC, member path and every way a
// header is refused.
#include "archive_builder.h"
#include "test_support.h"

#include <string.h>

#include "archive/member_header.h"
#include "decode/crc.h"

namespace {

class MemberHeaderTest : public StubTest {
  protected:
    // Opens an archive file holding `bytes` as the pass does, and reads one header.
    HeaderResult Read(const std::string &bytes) {
        LocalFree(State->HeaderBuffer);
        State->HeaderBuffer = nullptr;
        WriteFile("C:\\SFX.EXE", bytes);
        lstrcpyA(State->OwnPath, "C:\\SFX.EXE");
        lstrcpyA(State->Settings.WindowTitle, "Title");
        State->ArchiveFile = _lopen("C:\\SFX.EXE", OF_READ);
        BuildCrcTable(0xA001);
        HeaderResult r = ReadMemberHeader();
        position_ = _llseek(State->ArchiveFile, 0, FILE_CURRENT);
        _lclose(State->ArchiveFile);
        State->ArchiveFile = HFILE_ERROR;
        return r;
    }

    void ExpectInvalid(const std::string &bytes) {
        size_t shown = HostMessageBoxes().size();
        EXPECT_EQ(Read(bytes), kHeaderInvalid);
        ASSERT_EQ(HostMessageBoxes().size(), shown + 1);
        EXPECT_EQ(HostMessageBoxes().back().text, "\"C:\\SFX.EXE\" ﾍｯﾀﾞｰの内容が不正");
        EXPECT_EQ(State->Failed, 1u);
    }

    LONG position_ = 0;
};

TEST_F(MemberHeaderTest, ATypical79ByteHeaderYieldsPathAttributeAndTimes) {
    TestMember m;
    m.method = "-lh5-";
    m.name = "readme_document.txt"; // 19 bytes: the record is 22, like the usual layout
    m.name.pop_back();              // 18 name bytes
    m.packed = "PACKED";
    m.unpacked_size = 100;
    m.os = 'M';
    m.windows_times = true;
    m.file_times[0] = FileTimeOf(1000000000);
    m.file_times[1] = FileTimeOf(1100000000);
    m.file_times[2] = FileTimeOf(1200000000);
    std::string bytes = MemberBytes(m);
    ASSERT_EQ(static_cast<unsigned char>(bytes[0]), 79);
    ASSERT_EQ(Read(bytes + "NEXT"), kHeaderValid);
    EXPECT_STREQ(State->MemberPath, "readme_document.tx");
    EXPECT_EQ(State->Attribute, 0x20);
    EXPECT_EQ(State->CreationTime, 1000000000u);
    EXPECT_EQ(State->ModificationTime, 1100000000u);
    EXPECT_EQ(State->AccessTime, 1200000000u);
    EXPECT_EQ(position_, 79); // the packed data starts at the 80th byte
    EXPECT_EQ(MemberMethod(), '5');
    EXPECT_EQ(MemberPackedSize(), 6u);
    EXPECT_EQ(MemberUnpackedSize(), 100u);
}

TEST_F(MemberHeaderTest, WithoutExtraRecordsAttributeAndTimesComeFromTheFixedPart) {
    TestMember m;
    m.name = "a.txt";
    m.time = 0x12345678;
    m.attribute = 0x21;
    ASSERT_EQ(Read(MemberBytes(m)), kHeaderValid);
    EXPECT_STREQ(State->MemberPath, "a.txt");
    EXPECT_EQ(State->Attribute, 0x21);
    EXPECT_EQ(State->CreationTime, 0x12345678u);
    EXPECT_EQ(State->AccessTime, 0x12345678u);
    EXPECT_EQ(State->ModificationTime, 0x12345678u);
}

TEST_F(MemberHeaderTest, ADirectoryEntryEndsWithASlash) {
    TestMember m;
    m.method = "-lhd-";
    m.dir = "top\xFFsub\xFF";
    ASSERT_EQ(Read(MemberBytes(m)), kHeaderValid);
    EXPECT_STREQ(State->MemberPath, "top/sub/");
}

TEST_F(MemberHeaderTest, DirectoryAndFileNamesJoinWithSeparatorsNormalised) {
    TestMember m;
    m.dir = "doc\\x/\xFF";
    m.name = std::string("a\0b", 3); // an inner NUL ends the name
    ASSERT_EQ(Read(MemberBytes(m)), kHeaderValid);
    EXPECT_STREQ(State->MemberPath, "doc/x//a");
}

TEST_F(MemberHeaderTest, WindowsRecordsCountOnlyForTheWindowsOsIdentifiers) {
    TestMember m;
    m.name = "a";
    m.attribute = 0x20;
    m.attribute_record = 0x01;
    m.os = 'U';
    ASSERT_EQ(Read(MemberBytes(m)), kHeaderValid);
    EXPECT_EQ(State->Attribute, 0x20);
    m.os = 'w';
    ASSERT_EQ(Read(MemberBytes(m)), kHeaderValid);
    EXPECT_EQ(State->Attribute, 0x01);
}

TEST_F(MemberHeaderTest, ALaterRecordReplacesAnEarlierOne) {
    TestMember m;
    m.name = "first";
    m.extra_records.push_back("\x01second");
    ASSERT_EQ(Read(MemberBytes(m)), kHeaderValid);
    EXPECT_STREQ(State->MemberPath, "second");
}

TEST_F(MemberHeaderTest, ASingleZeroByteOrNothingEndsTheArchive) {
    EXPECT_EQ(Read(std::string(1, '\0')), kHeaderEnd);
    EXPECT_EQ(Read(""), kHeaderEnd);
    EXPECT_EQ(Read(std::string(2, '\0')), kHeaderEnd);
    EXPECT_TRUE(HostMessageBoxes().empty());
    EXPECT_EQ(State->HeaderBuffer, nullptr);
}

TEST_F(MemberHeaderTest, AChangedNameByteFailsTheHeaderCrc) {
    TestMember m;
    m.name = "setup.exe";
    std::string bytes = MemberBytes(m);
    bytes[bytes.find("setup")] = 'S';
    ExpectInvalid(bytes);
}

TEST_F(MemberHeaderTest, AnUnknownMethodIsInvalid) {
    TestMember m;
    m.name = "a";
    m.method = "-lh1-";
    ExpectInvalid(MemberBytes(m));
}

TEST_F(MemberHeaderTest, AHeaderWithoutACommonRecordIsInvalid) {
    TestMember m;
    m.name = "a";
    m.common_record = false;
    ExpectInvalid(MemberBytes(m));
}

TEST_F(MemberHeaderTest, AHeaderShorterThanAnnouncedIsInvalid) {
    TestMember m;
    m.name = "a";
    std::string bytes = MemberBytes(m);
    ExpectInvalid(bytes.substr(0, bytes.size() - 3));
}

TEST_F(MemberHeaderTest, AHeaderTooShortForItsFixedPartIsInvalid) {
    std::string bytes("\x19\x00-lh0-", 7);
    bytes.resize(25, '\0');
    ExpectInvalid(bytes);
    ExpectInvalid(std::string("\x01\x00", 2));
}

TEST_F(MemberHeaderTest, ARecordReachingPastTheHeaderIsInvalid) {
    TestMember m;
    m.name = "abc";
    std::string bytes = MemberBytes(m);
    bytes[24] = static_cast<char>(0x7F); // the first record announces 127 bytes
    ExpectInvalid(bytes);
}

TEST_F(MemberHeaderTest, ARecordSizeBelowThreeIsInvalid) {
    TestMember m;
    m.name = "abc";
    std::string bytes = MemberBytes(m);
    bytes[24] = 2;
    ExpectInvalid(bytes);
}

TEST_F(MemberHeaderTest, ACommonRecordWithoutRoomForTheCrcIsInvalid) {
    TestMember m;
    m.name = "abc";
    m.common_record = false;
    m.extra_records.push_back(std::string("\x00", 1));
    ExpectInvalid(MemberBytes(m));
}

TEST_F(MemberHeaderTest, AMemberPathOver259BytesIsInvalid) {
    TestMember m;
    m.dir = std::string(200, 'd') + "\xFF";
    m.name = std::string(58, 'n'); // 259 bytes in all: still fits
    ASSERT_EQ(Read(MemberBytes(m)), kHeaderValid);
    EXPECT_EQ(strlen(State->MemberPath), 259u);
    m.name += "n";
    ExpectInvalid(MemberBytes(m));
}

TEST_F(MemberHeaderTest, AHeaderSizeOf32768OrMoreCannotBeAllocated) {
    std::string bytes("\x00\x80-lh0-", 7);
    EXPECT_EQ(Read(bytes), kHeaderNoMemory);
    ASSERT_EQ(HostMessageBoxes().size(), 1u);
    EXPECT_EQ(HostMessageBoxes()[0].text, "ﾒﾓﾘが足りません");
    EXPECT_EQ(HostMessageBoxes()[0].caption, "Title");
    EXPECT_EQ(State->Failed, 1u);
}

} // namespace
