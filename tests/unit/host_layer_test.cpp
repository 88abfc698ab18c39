// The host double must behave as the Win32 calls it stands in for, where the stub's
// code relies on it.
#include "test_support.h"

#include <string.h>

#include <filesystem>

namespace {

using HostLayerTest = StubTest;

TEST_F(HostLayerTest, PathsMapUnderTheRootWithEitherSeparator) {
    EXPECT_EQ(HostPath("C:\\Dest/doc\\a.txt"), root_ + "/c/Dest/doc/a.txt");
    EXPECT_EQ(HostPath("c:/x/../y/./z"), root_ + "/c/y/z");
    EXPECT_EQ(HostPath("C:\\..\\..\\x"), root_ + "/c/x");
    HostSetCurrentDirectory("D:\\Work");
    EXPECT_EQ(HostPath("rel.txt"), root_ + "/d/Work/rel.txt");
    EXPECT_EQ(HostPath("\\top.txt"), root_ + "/d/top.txt");
    EXPECT_EQ(HostPath("C:a.txt"), root_ + "/c/a.txt");
    EXPECT_EQ(HostPath("\\\\server\\share"), "");
}

TEST_F(HostLayerTest, TrailingDotsOfTheLastNameAreDropped) {
    EXPECT_EQ(HostPath("C:\\dir\\name."), root_ + "/c/dir/name");
}

TEST_F(HostLayerTest, QueriesReturnTheLengthOrTheSizeNeeded) {
    char buffer[8];
    HostSetEnv("TEMP", "C:\\T");
    EXPECT_EQ(GetEnvironmentVariableA("temp", buffer, sizeof buffer), 4u);
    EXPECT_STREQ(buffer, "C:\\T");
    HostSetEnv("TEMP", "C:\\Much\\Longer");
    strcpy(buffer, "keep");
    EXPECT_EQ(GetEnvironmentVariableA("TEMP", buffer, sizeof buffer), 15u);
    EXPECT_STREQ(buffer, "keep");
    HostSetEnv("TEMP", "");
    EXPECT_EQ(GetEnvironmentVariableA("TEMP", buffer, sizeof buffer), 0u);
    EXPECT_EQ(GetWindowsDirectoryA(buffer, 4), 11u);
}

TEST_F(HostLayerTest, AReadOnlyFileCannotBeOpenedForWritingOrDeleted) {
    WriteFile("C:\\ro.txt", "old");
    ASSERT_TRUE(SetFileAttributesA("C:\\ro.txt", FILE_ATTRIBUTE_READONLY));
    EXPECT_EQ(GetFileAttributesA("C:\\ro.txt"), static_cast<DWORD>(FILE_ATTRIBUTE_READONLY));
    EXPECT_EQ(CreateFileA("C:\\ro.txt", GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                          FILE_ATTRIBUTE_NORMAL, nullptr),
              INVALID_HANDLE_VALUE);
    EXPECT_FALSE(DeleteFileA("C:\\ro.txt"));
    ASSERT_TRUE(SetFileAttributesA("C:\\ro.txt", FILE_ATTRIBUTE_NORMAL));
    EXPECT_EQ(GetFileAttributesA("C:\\ro.txt"), static_cast<DWORD>(FILE_ATTRIBUTE_NORMAL));
    EXPECT_TRUE(DeleteFileA("C:\\ro.txt"));
}

TEST_F(HostLayerTest, ReplacingAHiddenFileWithNormalAttributesFails) {
    WriteFile("C:\\h.txt", "old");
    ASSERT_TRUE(SetFileAttributesA("C:\\h.txt", FILE_ATTRIBUTE_HIDDEN));
    EXPECT_EQ(CreateFileA("C:\\h.txt", GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                          FILE_ATTRIBUTE_NORMAL, nullptr),
              INVALID_HANDLE_VALUE);
    EXPECT_EQ(ReadFile("C:\\h.txt"), "old");
}

TEST_F(HostLayerTest, AnOpenWithoutSharingRefusesLaterReaders) {
    WriteFile("C:\\locked.txt", "x");
    HANDLE h = CreateFileA("C:\\locked.txt", GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    EXPECT_EQ(CreateFileA("C:\\locked.txt", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                          nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr),
              INVALID_HANDLE_VALUE);
    EXPECT_TRUE(CloseHandle(h));
    HANDLE again = CreateFileA("C:\\locked.txt", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                               nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    EXPECT_NE(again, INVALID_HANDLE_VALUE);
    CloseHandle(again);
}

TEST_F(HostLayerTest, FileTimesRoundTripThroughSetAndGet) {
    HANDLE h = CreateFileA("C:\\t.txt", GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    FILETIME creation = {0x11111110, 0x01D00000}, access = {0x22222220, 0x01D10000},
             write = {0x33333330, 0x01D20000};
    ASSERT_TRUE(SetFileTime(h, &creation, &access, &write));
    FILETIME c, a, w;
    ASSERT_TRUE(GetFileTime(h, &c, &a, &w));
    EXPECT_EQ(c.dwLowDateTime, creation.dwLowDateTime);
    EXPECT_EQ(a.dwHighDateTime, access.dwHighDateTime);
    EXPECT_EQ(a.dwLowDateTime, access.dwLowDateTime);
    EXPECT_EQ(w.dwLowDateTime, write.dwLowDateTime);
    EXPECT_EQ(w.dwHighDateTime, write.dwHighDateTime);
    CloseHandle(h);
}

TEST_F(HostLayerTest, CalendarConversionsMatchKnownDates) {
    SYSTEMTIME st = {};
    FILETIME ft = {};
    st.wYear = 1970;
    st.wMonth = 1;
    st.wDay = 1;
    ASSERT_TRUE(SystemTimeToFileTime(&st, &ft));
    EXPECT_EQ((static_cast<unsigned long long>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime,
              116444736000000000ULL);
    ft = FILETIME{0, 0};
    ASSERT_TRUE(FileTimeToSystemTime(&ft, &st));
    EXPECT_EQ(st.wYear, 1601);
    EXPECT_EQ(st.wDayOfWeek, 1);
    unsigned long long y2100 = 116444736000000000ULL + 4107542400ULL * 10000000ULL; // 2100-03-01
    ft = FILETIME{static_cast<DWORD>(y2100), static_cast<DWORD>(y2100 >> 32)};
    ASSERT_TRUE(FileTimeToSystemTime(&ft, &st));
    EXPECT_EQ(st.wYear, 2100);
    EXPECT_EQ(st.wMonth, 3);
    EXPECT_EQ(st.wDay, 1);
    st.wMonth = 2;
    st.wDay = 29; // 2100 is no leap year
    EXPECT_FALSE(SystemTimeToFileTime(&st, &ft));
    ft = FILETIME{0, 0x80000000u};
    EXPECT_FALSE(FileTimeToSystemTime(&ft, &st));
}

TEST_F(HostLayerTest, CharPrevStepsOverDoubleByteCharacters) {
    const char text[] = "a表\\"; // 表 is 0x95 0x5C
    EXPECT_EQ(CharPrevA(text, text + 4), text + 3);
    EXPECT_EQ(CharPrevA(text, text + 3), text + 1);
    EXPECT_EQ(CharPrevA(text, text), text);
}

TEST_F(HostLayerTest, WsprintfFormatsTheConversionsInUseAndStopsAt1024Bytes) {
    char out[1100];
    EXPECT_EQ(wsprintfA(out, "\"%s\" %s", "C:\\a", "msg"), 10);
    EXPECT_STREQ(out, "\"C:\\a\" msg");
    wsprintfA(out, "%lu%%", 42u);
    EXPECT_STREQ(out, "42%");
    std::string big(2000, 'x');
    EXPECT_EQ(wsprintfA(out, "%s", big.c_str()), 1023);
    EXPECT_EQ(strlen(out), 1023u);
}

TEST_F(HostLayerTest, FailedReadsAndShortWritesAreInjected) {
    WriteFile("C:\\in.bin", std::string(100, 'x'));
    HFILE in = _lopen("C:\\in.bin", OF_READ);
    ASSERT_NE(in, HFILE_ERROR);
    char buffer[100];
    HostFailReadsAfter(60);
    EXPECT_EQ(_lread(in, buffer, 50), 50u);
    EXPECT_EQ(_lread(in, buffer, 50), static_cast<UINT>(HFILE_ERROR));
    _lclose(in);
    HANDLE out = CreateFileA("C:\\out.bin", GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                             FILE_ATTRIBUTE_NORMAL, nullptr);
    HostLimitWrites(30);
    DWORD written;
    EXPECT_FALSE(::WriteFile(out, buffer, 50, &written, nullptr));
    EXPECT_EQ(written, 30u);
    CloseHandle(out);
}

TEST_F(HostLayerTest, ADriveOfItsOwnFillsUpAlone) {
    std::filesystem::create_directories(root_ + "/d");
    HANDLE c = CreateFileA("C:\\c.bin", GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    HANDLE d = CreateFileA("d:\\d.bin", GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    HostLimitWritesOn('D', 10);
    HostLimitWrites(1000);
    char buffer[40] = {};
    DWORD written;
    EXPECT_FALSE(::WriteFile(d, buffer, 40, &written, nullptr));
    EXPECT_EQ(written, 10u);
    EXPECT_TRUE(::WriteFile(c, buffer, 40, &written, nullptr)); // from the budget of all
    EXPECT_FALSE(::WriteFile(d, buffer, 1, &written, nullptr));
    CloseHandle(c);
    CloseHandle(d);
}

} // namespace
