// CRC-16/ARC: the table and the running update.
#include "test_support.h"

#include "decode/crc.h"

namespace {

using CrcTest = StubTest;

WORD CrcOf(const std::string &bytes) {
    State->RunningCrc = 0;
    return UpdateCrc(reinterpret_cast<const BYTE *>(bytes.data()), static_cast<LONG>(bytes.size()));
}

TEST_F(CrcTest, TheTableIsTheReflectedPolynomial) {
    BuildCrcTable(0xA001);
    EXPECT_EQ(State->CrcTable[0], 0x0000);
    EXPECT_EQ(State->CrcTable[1], 0xC0C1);
    EXPECT_EQ(State->CrcTable[128], 0xA001);
    EXPECT_EQ(State->CrcTable[255], 0x4040);
}

TEST_F(CrcTest, KnownVectorsOfCrc16Arc) {
    BuildCrcTable(0xA001);
    EXPECT_EQ(CrcOf("123456789"), 0xBB3D);
    EXPECT_EQ(CrcOf("abc"), 0x9738);
    EXPECT_EQ(State->RunningCrc, 0x9738);
}

TEST_F(CrcTest, NoBytesOrANegativeCountLeaveTheCrcUnchanged) {
    BuildCrcTable(0xA001);
    State->RunningCrc = 0x1234;
    const BYTE byte = 0x55;
    EXPECT_EQ(UpdateCrc(&byte, 0), 0x1234);
    EXPECT_EQ(UpdateCrc(&byte, -1), 0x1234);
    EXPECT_EQ(State->RunningCrc, 0x1234);
}

TEST_F(CrcTest, UpdatesInPiecesEqualOneUpdateOverTheWhole) {
    BuildCrcTable(0xA001);
    std::string data;
    for (int i = 0; i < 1000; ++i) {
        data.push_back(static_cast<char>(i * 7 + (i >> 3)));
    }
    WORD whole = CrcOf(data);
    State->RunningCrc = 0;
    const BYTE *p = reinterpret_cast<const BYTE *>(data.data());
    UpdateCrc(p, 1);
    UpdateCrc(p + 1, 600);
    EXPECT_EQ(UpdateCrc(p + 601, 399), whole);
}

} // namespace
