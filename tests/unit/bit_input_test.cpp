// The packed input: refills of at most 16384 bytes, never past the member, bits
// most significant first, zero bits after the end, and the read error.
#include "test_support.h"

#include <vector>

#include "decode/bit_input.h"
#include "decode/decoder.h"

namespace {

class BitInputTest : public StubTest {
  protected:
    // Makes `bytes` the program's own file and opens it as the archive.
    void OpenArchive(const std::string &bytes) {
        WriteFile("C:\\SFX.EXE", bytes);
        lstrcpyA(State->OwnPath, "C:\\SFX.EXE");
        State->ArchiveFile = _lopen("C:\\SFX.EXE", OF_READ);
        ASSERT_NE(State->ArchiveFile, HFILE_ERROR);
    }

    // Starts a member's bit stream as the archive pass and the decoder do.
    static void StartBits(DWORD packed) {
        State->InputIndex = 0xFFFFFFFF;
        State->PackedLeft = packed;
        StartDecoder('5');
    }

    // The state as a byte-wise reader holds it: `BitBuffer`, `SubBitBuffer`,
    // `SubBitCount`, `InputIndex` and `PackedLeft`.
    static std::vector<DWORD> HandedBack() {
        StoreBits();
        return {State->BitBuffer, State->SubBitBuffer, State->SubBitCount, State->InputIndex,
                State->PackedLeft};
    }

    static LONG Position() {
        return _llseek(State->ArchiveFile, 0, FILE_CURRENT);
    }

    static std::string Pattern(size_t n) {
        std::string s;
        for (size_t i = 0; i < n; ++i) {
            s.push_back(static_cast<char>((i * 31 + (i >> 8)) & 0xFF));
        }
        return s;
    }
};

TEST_F(BitInputTest, PackedSize0TakesNoByteAndYieldsZeroBits) {
    OpenArchive("\xA5\x0F\xFF\xFF");
    StartBits(0);
    EXPECT_EQ(TopBits(InputBits, 16), 0u);
    EXPECT_EQ(GetBits(16), 0);
    EXPECT_EQ(GetBits(5), 0);
    FillBits(16);
    FillBits(1);
    EXPECT_EQ(TopBits(InputBits, 16), 0u);
    EXPECT_EQ(Position(), 0);
}

TEST_F(BitInputTest, PackedSize1ReadsExactlyOneByte) {
    OpenArchive("\xAB\xCD\xEF");
    StartBits(1);
    EXPECT_EQ(TopBits(InputBits, 16), 0xAB00u);
    EXPECT_EQ(Position(), 1);
    EXPECT_EQ(GetBits(16), 0xAB00);
    EXPECT_EQ(GetBits(16), 0);
    EXPECT_EQ(Position(), 1);
}

TEST_F(BitInputTest, PackedSize16385ReadsTheFull16384ThenTheLastByte) {
    std::string file = Pattern(20000);
    OpenArchive(file);
    HostFailReadsAfter(16385); // any read of more than the member would fail
    StartBits(16385);
    EXPECT_EQ(Position(), 16384);
    std::string got;
    for (int i = 0; i < 16385; ++i) {
        got.push_back(static_cast<char>(GetBits(8)));
    }
    EXPECT_EQ(got, file.substr(0, 16385));
    EXPECT_EQ(Position(), 16385);
    EXPECT_EQ(GetBits(16), 0);
    EXPECT_EQ(Position(), 16385);
}

TEST_F(BitInputTest, BitsComeMostSignificantFirst) {
    OpenArchive("\xA5\x0F");
    StartBits(2);
    EXPECT_EQ(GetBits(4), 0xA);
    EXPECT_EQ(GetBits(8), 0x50);
    EXPECT_EQ(GetBits(4), 0xF);
    EXPECT_EQ(GetBits(1), 0);
}

TEST_F(BitInputTest, FillBitsOf0ChangesNothingAndCountsAbove8PassThrough) {
    OpenArchive("\x12\x34\x56\x78\x9A\xBC");
    StartBits(6);
    // 16 bits held, 0 of the third byte, which the buffer holds unread with the rest.
    std::vector<DWORD> start = {0x1234, 0, 0, 2, 4};
    EXPECT_EQ(HandedBack(), start);
    FillBits(0);
    EXPECT_EQ(HandedBack(), start);
    FillBits(3); // 0x12345 << 3: 0x91A2B, 5 bits of 0x56 left
    EXPECT_EQ(HandedBack(), (std::vector<DWORD>{0x91A2, 0xB0, 5, 3, 3}));
    FillBits(16);
    FillBits(1); // 20 bits in all
    EXPECT_EQ(TopBits(InputBits, 16), 0x6789u);
    EXPECT_EQ(GetBits(12), 0x678);
    EXPECT_EQ(GetBits(12), 0x9AB);
    EXPECT_EQ(GetBits(4), 0xC);
    EXPECT_EQ(GetBits(16), 0);
}

TEST_F(BitInputTest, ByteFFIsDataNotAnError) {
    OpenArchive("\xFF\xFF\xFF");
    StartBits(3);
    EXPECT_EQ(GetBits(16), 0xFFFF);
    EXPECT_EQ(GetBits(9), 0x1FE);
    EXPECT_EQ(State->Failed, 0u);
}

TEST_F(BitInputTest, TheNextMemberStartsWhereThePreviousOneStopped) {
    OpenArchive("\x11\x22\x33\x44\x55");
    StartBits(3);
    EXPECT_EQ(GetBits(16), 0x1122);
    EXPECT_EQ(GetBits(16), 0x3300);
    EXPECT_EQ(Position(), 3);
    StartBits(2);
    EXPECT_EQ(GetBits(16), 0x4455);
}

TEST_F(BitInputTest, AFailedRefillLeavesTheBufferEmpty) {
    OpenArchive("\x01\x02");
    State->InputIndex = 0xFFFFFFFF;
    HostFailReadsAfter(0);
    EXPECT_EQ(ReadInputByte(State->ArchiveFile, 2), -1);
    EXPECT_EQ(State->InputIndex, 0xFFFFFFFFu);
    HostFailReadsAfter(-1);
    EXPECT_EQ(ReadInputByte(State->ArchiveFile, 3), -1); // the file has only 2 bytes
    EXPECT_EQ(State->InputIndex, 0xFFFFFFFFu);
    _llseek(State->ArchiveFile, 1, FILE_BEGIN);
    EXPECT_EQ(ReadInputByte(State->ArchiveFile, 1), 0x02);
    EXPECT_EQ(State->InputIndex, 1u);
}

// The first refill fails: the read-error box over the program's own file, then the
// process ends with status 1 and the partly written output file is gone.
void ExpectReadErrorAbort(DWORD packed) {
    lstrcpyA(State->DestinationPath, "C:\\OUT\\PART.BIN");
    lstrcpyA(OutputTempPath, State->DestinationPath); // the file being written
    CreateDirectoryA("C:\\OUT", nullptr);
    State->OutputFile = CreateFileA(State->DestinationPath, GENERIC_WRITE, 0, nullptr,
                                    CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(State->OutputFile, INVALID_HANDLE_VALUE);
    State->InputIndex = 0xFFFFFFFF;
    State->PackedLeft = packed;
    int status = RunAsProcess([] {
        StartDecoder('5');
        return 0;
    });
    EXPECT_EQ(status, 1);
    ASSERT_EQ(HostMessageBoxes().size(), 1u);
    EXPECT_EQ(HostMessageBoxes()[0].text, "\"C:\\SFX.EXE\" 読み込みｴﾗｰ");
    EXPECT_EQ(HostMessageBoxes()[0].style, static_cast<UINT>(MB_TASKMODAL | MB_ICONERROR));
    EXPECT_EQ(State->Failed, 1u);
    EXPECT_EQ(State->OutputFile, INVALID_HANDLE_VALUE);
    EXPECT_EQ(State->ArchiveFile, HFILE_ERROR);
    EXPECT_EQ(GetFileAttributesA("C:\\OUT\\PART.BIN"), INVALID_FILE_ATTRIBUTES);
}

TEST_F(BitInputTest, AReadFailureOnTheFirstRefillEndsWithStatus1) {
    OpenArchive(Pattern(100));
    HostFailReadsAfter(0);
    ExpectReadErrorAbort(50);
}

TEST_F(BitInputTest, AnArchiveShorterThanThePackedSizeIsAReadError) {
    OpenArchive(Pattern(100));
    ExpectReadErrorAbort(101);
}

} // namespace
