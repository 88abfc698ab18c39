// Time stamps: Unix seconds, the packed date-time, SYSTEMTIME and FILETIME in both
// directions, the limits of each form, an existing file's time and the TZ correction.
#include "test_support.h"

#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>

#include <string>

#include "files/timestamps.h"

namespace {

const unsigned long long kTicksPerSecond = 10000000ULL;
const unsigned long long kTicksTo1970 = 116444736000000000ULL;

FILETIME FileTimeOfTicks(unsigned long long ticks) {
    return FILETIME{static_cast<DWORD>(ticks), static_cast<DWORD>(ticks >> 32)};
}

unsigned long long TicksOf(const FILETIME &ft) {
    return (static_cast<unsigned long long>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime;
}

// The FILETIME of Unix seconds plus `ticks`, by plain arithmetic.
FILETIME FileTimeOfUnix(long long seconds, unsigned long long ticks = 0) {
    return FileTimeOfTicks(kTicksTo1970 +
                           static_cast<unsigned long long>(seconds) * kTicksPerSecond + ticks);
}

SYSTEMTIME Calendar(int y, int mo, int d, int h, int mi, int s) {
    SYSTEMTIME c = {};
    c.wYear = static_cast<WORD>(y);
    c.wMonth = static_cast<WORD>(mo);
    c.wDay = static_cast<WORD>(d);
    c.wHour = static_cast<WORD>(h);
    c.wMinute = static_cast<WORD>(mi);
    c.wSecond = static_cast<WORD>(s);
    return c;
}

std::string Text(const SYSTEMTIME &c) {
    char text[64];
    snprintf(text, sizeof text, "%04u-%02u-%02u %02u:%02u:%02u.%03u", c.wYear, c.wMonth, c.wDay,
             c.wHour, c.wMinute, c.wSecond, c.wMilliseconds);
    return text;
}

DWORD UnixOfCalendar(const SYSTEMTIME &c) {
    DWORD t = 0x12345678;
    EXPECT_TRUE(CalendarToUnix(&c, &t));
    return t;
}

DWORD UnixOfFileTime(const FILETIME &ft) {
    DWORD t = 0x12345678;
    EXPECT_TRUE(FileTimeToUnix(&ft, &t));
    return t;
}

std::string CalendarOfUnix(DWORD t) {
    SYSTEMTIME c;
    EXPECT_TRUE(UnixToCalendar(t, &c));
    return Text(c);
}

unsigned long long TicksOfUnix(DWORD t) {
    FILETIME ft = {};
    EXPECT_TRUE(UnixToFileTime(t, &ft));
    return TicksOf(ft);
}

struct Anchor {
    SYSTEMTIME calendar;
    DWORD unix_seconds;
};

class TimeAnchorTest : public ::testing::TestWithParam<Anchor> {};

TEST_P(TimeAnchorTest, ConvertsExactlyInBothDirections) {
    const Anchor &a = GetParam();
    EXPECT_EQ(UnixOfCalendar(a.calendar), a.unix_seconds) << Text(a.calendar);
    EXPECT_EQ(CalendarOfUnix(a.unix_seconds), Text(a.calendar));
    EXPECT_EQ(TicksOfUnix(a.unix_seconds), TicksOf(FileTimeOfUnix(a.unix_seconds)));
    EXPECT_EQ(UnixOfFileTime(FileTimeOfUnix(a.unix_seconds)), a.unix_seconds);
}

INSTANTIATE_TEST_SUITE_P(Anchors, TimeAnchorTest,
                         ::testing::Values(Anchor{Calendar(1980, 1, 1, 0, 0, 0), 315532800u},
                                           Anchor{Calendar(2000, 1, 1, 0, 0, 0), 946684800u},
                                           Anchor{Calendar(2000, 2, 29, 12, 0, 0), 951825600u},
                                           Anchor{Calendar(2000, 3, 1, 0, 0, 0), 951868800u},
                                           Anchor{Calendar(1999, 2, 18, 14, 39, 53), 919348793u},
                                           Anchor{Calendar(2038, 1, 19, 3, 14, 8), 2147483648u},
                                           Anchor{Calendar(2099, 12, 31, 23, 59, 59), 4102444799u},
                                           Anchor{Calendar(2100, 2, 28, 0, 0, 0), 4107456000u},
                                           Anchor{Calendar(2100, 3, 1, 0, 0, 0), 4107542400u},
                                           Anchor{Calendar(2101, 1, 1, 0, 0, 0), 4133980800u},
                                           Anchor{Calendar(2106, 2, 7, 6, 28, 15), 4294967295u},
                                           // Before the packed range, exact both ways.
                                           Anchor{Calendar(1979, 12, 31, 23, 59, 59), 315532799u},
                                           Anchor{Calendar(1972, 2, 29, 1, 2, 3), 68173323u},
                                           Anchor{Calendar(1970, 1, 1, 0, 0, 0), 0u},
                                           Anchor{Calendar(1970, 1, 1, 0, 0, 1), 1u}),
                         [](const ::testing::TestParamInfo<Anchor> &info) {
                             return "Unix" + std::to_string(info.param.unix_seconds);
                         });

TEST(PackedTest, HoldsEvenSecondsWithTheFieldsInTheirBits) {
    DWORD packed = UnixToPacked(919348793u); // 1999-02-18 14:39:53
    EXPECT_EQ(packed, (19u << 25) | (2u << 21) | (18u << 16) | (14u << 11) | (39u << 5) | 26u);
    EXPECT_EQ(PackedToUnix(packed), 919348792u);
    DWORD mar_2100 = (120u << 25) | (3u << 21) | (1u << 16);
    EXPECT_EQ(PackedToUnix(mar_2100), 4107542400u);
    EXPECT_EQ(UnixToPacked(4107542400u), mar_2100);
}

TEST(PackedTest, TimesOutsideEitherRangeStopAtItsEnds) {
    EXPECT_EQ(UnixToPacked(315532799u), 0x00210000u); // 1980-01-01 00:00:00
    EXPECT_EQ(UnixToPacked(0u), 0x00210000u);
    DWORD last = (126u << 25) | (2u << 21) | (7u << 16) | (6u << 11) | (28u << 5) | 7u; // :14
    EXPECT_EQ(PackedToUnix(last), 4294967294u);
    EXPECT_EQ(PackedToUnix(last + 1), 0xFFFFFFFFu);
    EXPECT_EQ(PackedToUnix(0xFFFFFFFFu), 0xFFFFFFFFu);
    DWORD month15 = (20u << 25) | (15u << 21) | (1u << 16); // damaged: stays in the table
    EXPECT_EQ(PackedToUnix(month15), 978307200u);
}

TEST(RoundTripTest, EveryUnixSecondSurvivesFileTimeAndBack) {
    // The stride visits every second of the minute and every day of the year.
    const DWORD stride = 86400u * 37u + 3600u * 5u + 60u * 7u + 13u;
    for (unsigned long long t = 0; t <= 0xFFFFFFFFull; t += stride) {
        DWORD seconds = static_cast<DWORD>(t);
        ASSERT_EQ(TicksOfUnix(seconds), TicksOf(FileTimeOfUnix(seconds))) << seconds;
        ASSERT_EQ(UnixOfFileTime(FileTimeOfUnix(seconds)), seconds);
    }
}

TEST(FileTimeToUnixTest, DropsThePartBelowTheSecond) {
    EXPECT_EQ(UnixOfFileTime(FileTimeOfUnix(951825600, kTicksPerSecond - 1)), 951825600u);
    EXPECT_EQ(UnixOfFileTime(FileTimeOfUnix(315532799, kTicksPerSecond - 1)), 315532799u);
}

TEST(FileTimeToUnixTest, TimesBefore1970OrAfterTheLastUnixSecondStopAtTheEnds) {
    EXPECT_EQ(UnixOfFileTime(FileTimeOfTicks(0)), 0u);
    EXPECT_EQ(UnixOfFileTime(FileTimeOfTicks(kTicksTo1970 - 1)), 0u);
    EXPECT_EQ(UnixOfCalendar(Calendar(1969, 12, 31, 23, 59, 59)), 0u);
    EXPECT_EQ(UnixOfFileTime(FileTimeOfUnix(0xFFFFFFFFll, kTicksPerSecond - 1)), 0xFFFFFFFFu);
    EXPECT_EQ(UnixOfFileTime(FileTimeOfUnix(0x100000000ll)), 0xFFFFFFFFu);
    EXPECT_EQ(UnixOfCalendar(Calendar(2107, 12, 31, 23, 59, 59)), 0xFFFFFFFFu);
    SYSTEMTIME in_2108 = Calendar(2108, 1, 1, 0, 0, 0);
    FILETIME ft;
    ASSERT_TRUE(SystemTimeToFileTime(&in_2108, &ft));
    EXPECT_EQ(UnixOfFileTime(ft), 0xFFFFFFFFu);
}

TEST(FileTimeToUnixTest, RefusesMissingArgumentsAndFileTimesThePlatformRejects) {
    FILETIME ft = FileTimeOfTicks(0x8000000000000000ULL);
    SYSTEMTIME c = Calendar(2000, 1, 1, 0, 0, 0);
    DWORD t = 1234;
    EXPECT_FALSE(FileTimeToUnix(&ft, &t));
    EXPECT_EQ(t, 1234u); // the caller's value stays
    EXPECT_FALSE(FileTimeToUnix(nullptr, &t));
    EXPECT_FALSE(FileTimeToUnix(&ft, nullptr));
    EXPECT_FALSE(CalendarToUnix(nullptr, &t));
    EXPECT_FALSE(CalendarToUnix(&c, nullptr));
    EXPECT_FALSE(UnixToCalendar(0, nullptr));
    EXPECT_FALSE(UnixToFileTime(0, nullptr));
}

class ApplyTzOffsetTest : public StubTest {
  protected:
    DWORD Corrected(const char *tz, DWORD t = 1000000000u) {
        HostSetEnv("TZ", tz);
        ApplyTzOffset(&t);
        return t;
    }
};

TEST_F(ApplyTzOffsetTest, AppliesTheWholeHoursOfTz) {
    EXPECT_EQ(Corrected("JST-9"), 1000000000u + 32400u);
    EXPECT_EQ(Corrected("EST5EDT"), 1000000000u - 18000u);
    EXPECT_EQ(Corrected("GMT+1"), 1000000000u - 3600u);
    EXPECT_EQ(Corrected("CET-1CEST"), 1000000000u + 3600u);
    EXPECT_EQ(Corrected("IST-5:30"), 1000000000u + 18000u);
    EXPECT_EQ(Corrected("X12"), 1000000000u - 43200u);
}

TEST_F(ApplyTzOffsetTest, LeavesTheTimeWithoutAnOffset) {
    EXPECT_EQ(Corrected("UTC"), 1000000000u);
    EXPECT_EQ(Corrected("-"), 1000000000u);
    EXPECT_EQ(Corrected(""), 1000000000u);
    EXPECT_EQ(Corrected(nullptr), 1000000000u);
}

TEST_F(ApplyTzOffsetTest, ATzOf100BytesOrMoreIsIgnored) {
    std::string long_tz = std::string(97, 'X') + "-1"; // 99 bytes: read
    EXPECT_EQ(Corrected(long_tz.c_str()), 1000000000u + 3600u);
    std::string too_long = std::string(98, 'X') + "-1"; // 100 bytes
    EXPECT_EQ(Corrected(too_long.c_str()), 1000000000u);
}

TEST_F(ApplyTzOffsetTest, StopsAtTheEndsOfTheUnixRange) {
    EXPECT_EQ(Corrected("EST5EDT", 0u), 0u);
    EXPECT_EQ(Corrected("EST5EDT", 17999u), 0u);
    EXPECT_EQ(Corrected("EST5EDT", 18000u), 0u);
    EXPECT_EQ(Corrected("JST-9", 0xFFFFFFFFu - 32399u), 0xFFFFFFFFu);
    EXPECT_EQ(Corrected("X-99999999999999999999"), 0xFFFFFFFFu);
    EXPECT_EQ(Corrected("X99999999999999999999"), 0u);
}

class ExistingFileTimeTest : public StubTest {
  protected:
    // Writes a file whose last-write time is `seconds` and `nanoseconds`.
    void WriteDated(const char *path, long long seconds, long nanoseconds) {
        WriteFile(path, "data");
        struct timespec times[2] = {{seconds, nanoseconds}, {seconds, nanoseconds}};
        ASSERT_EQ(utimensat(AT_FDCWD, HostPath(path).c_str(), times, 0), 0);
    }
};

TEST_F(ExistingFileTimeTest, GivesTheLastWriteTimeInWholeSeconds) {
    WriteDated("C:\\Dest\\a.txt", 919348793, 999999900);
    EXPECT_EQ(ExistingFileTime("C:\\Dest\\a.txt"), 919348793u);
    WriteDated("C:\\Dest\\old.txt", 157766400, 0); // 1975-01-01
    EXPECT_EQ(ExistingFileTime("C:\\Dest\\old.txt"), 157766400u);
}

TEST_F(ExistingFileTimeTest, AFileThatCannotBeReadCountsAsNewest) {
    EXPECT_EQ(ExistingFileTime("C:\\Dest\\missing.txt"), 0xFFFFFFFFu);
    WriteDated("C:\\Dest\\a.txt", 919348793, 0);
    HANDLE writer = CreateFileA("C:\\Dest\\a.txt", GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(writer, INVALID_HANDLE_VALUE);
    EXPECT_EQ(ExistingFileTime("C:\\Dest\\a.txt"), 0xFFFFFFFFu); // no read sharing
    CloseHandle(writer);
    HostFailNextGetFileTime();
    EXPECT_EQ(ExistingFileTime("C:\\Dest\\a.txt"), 0xFFFFFFFFu);
    EXPECT_EQ(ExistingFileTime("C:\\Dest\\a.txt"), 919348793u); // and it was closed
}

TEST_F(ExistingFileTimeTest, TheSharedOpenLetsOthersWrite) {
    WriteDated("C:\\Dest\\a.txt", 919348793, 0);
    HANDLE shared = OpenExistingShared("C:\\Dest\\a.txt");
    ASSERT_NE(shared, INVALID_HANDLE_VALUE);
    HANDLE writer = CreateFileA("C:\\Dest\\a.txt", GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                                OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    EXPECT_NE(writer, INVALID_HANDLE_VALUE);
    CloseHandle(writer);
    CloseHandle(shared);
}

} // namespace
