// The level-2 archive writer and the reader of older archives: header bytes field
// by field, checksum, directory entries, stored fallback, refusals, and round trips
// through lhasa, 7z and unar.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "archive_reader.h"
#include "crc16.h"
#include "installer_archive.h"
#include "lzh_writer.h"
#include "reference_decoder.h"
#include "tool_test_support.h"

namespace {

using lzhsfx::LzhError;
using lzhsfx::LzhWriter;
using lzhsfx::MemberInfo;
using lzhsfx::Method;
using tooltest::BinaryLike;
using tooltest::RandomBytes;
using tooltest::TempDir;
using tooltest::TextLike;

unsigned Get16(const std::vector<uint8_t> &b, size_t at) {
    return b[at] | (b[at + 1] << 8);
}

uint32_t Get32(const std::vector<uint8_t> &b, size_t at) {
    return Get16(b, at) | (uint32_t{Get16(b, at + 2)} << 16);
}

uint64_t Get64(const std::vector<uint8_t> &b, size_t at) {
    return Get32(b, at) | (uint64_t{Get32(b, at + 4)} << 32);
}

std::string Text(const std::vector<uint8_t> &b, size_t at, size_t n) {
    return std::string(b.begin() + at, b.begin() + at + n);
}

std::vector<uint8_t> Bytes(const std::string &s) {
    return {s.begin(), s.end()};
}

MemberInfo File(const std::string &name, std::vector<std::string> directory = {}) {
    MemberInfo info;
    info.name = name;
    info.directory = std::move(directory);
    info.time = 1700000000;
    return info;
}

// The header CRC as the stub checks it: over the whole header with its own two
// bytes, at `crc_at`, zeroed.
uint16_t HeaderCrc(std::vector<uint8_t> header, size_t crc_at) {
    header[crc_at] = header[crc_at + 1] = 0;
    return lzhsfx::Crc16(header.data(), header.size());
}

// An archive as the installer gets it: every member with its refusal, and the bytes the
// installer reads (the stored members with an end mark, or the rewritten archive).
struct Installed {
    std::vector<lzhsfx::InstallerMember> members;
    bool as_stored = false;
    uint16_t checksum = 0;
    std::vector<uint8_t> bytes;
};

Installed ForInstaller(const std::vector<uint8_t> &archive) {
    const lzhsfx::MemorySource source(archive.data(), archive.size());
    lzhsfx::MemorySpool spool;
    Installed r;
    const lzhsfx::InstallerArchive a = lzhsfx::ForInstaller(
        source, spool, [&](const lzhsfx::InstallerMember &m) { r.members.push_back(m); });
    EXPECT_EQ(a.members, r.members.size());
    r.as_stored = a.as_stored;
    r.checksum = a.checksum;
    const lzhsfx::ByteSource &bytes =
        a.as_stored ? static_cast<const lzhsfx::ByteSource &>(source) : a.rewritten;
    lzhsfx::CopyOut(bytes, 0, a.as_stored ? a.end : a.rewritten.size(),
                    [&](const uint8_t *p, size_t n) { r.bytes.insert(r.bytes.end(), p, p + n); });
    if (a.as_stored) {
        r.bytes.push_back(0);
    }
    return r;
}

TEST(LzhWriterTest, WritesTheLevel2HeaderFieldByField) {
    MemberInfo info = File("readme.txt", {"doc"});
    info.attribute = 0x21;
    info.windows_times =
        lzhsfx::FileTimes{0x0102030405060708, 0x1112131415161718, 0x2122232425262728};
    LzhWriter writer;
    const std::vector<uint8_t> data = Bytes("hello");
    writer.AddFile(info, data.data(), data.size());
    const std::vector<uint8_t> a = writer.Finish();

    // Fixed part.
    ASSERT_EQ(a.size(), 83u + 5 + 1);
    EXPECT_EQ(Get16(a, 0), 83u);       // common 5 + name 13 + directory 7 + attribute 5 + times 27
    EXPECT_EQ(Text(a, 2, 5), "-lh0-"); // five bytes do not shrink
    EXPECT_EQ(Get32(a, 7), 5u);
    EXPECT_EQ(Get32(a, 11), 5u);
    EXPECT_EQ(Get32(a, 15), 1700000000u);
    EXPECT_EQ(a[19], 0x21);
    EXPECT_EQ(a[20], 2);
    EXPECT_EQ(Get16(a, 21), lzhsfx::Crc16(data.data(), data.size()));
    EXPECT_EQ(a[23], 'W');
    EXPECT_EQ(Get16(a, 24), 5u);
    // Common record: the header CRC, computed with its own bytes zeroed.
    EXPECT_EQ(a[26], 0x00);
    EXPECT_EQ(Get16(a, 27), HeaderCrc(std::vector<uint8_t>(a.begin(), a.begin() + 83), 27));
    EXPECT_EQ(Get16(a, 29), 13u);
    // File name record.
    EXPECT_EQ(a[31], 0x01);
    EXPECT_EQ(Text(a, 32, 10), "readme.txt");
    EXPECT_EQ(Get16(a, 42), 7u);
    // Directory name record: 0xFF after every component.
    EXPECT_EQ(a[44], 0x02);
    EXPECT_EQ(Text(a, 45, 4), "doc\xFF");
    EXPECT_EQ(Get16(a, 49), 5u);
    // DOS attribute record.
    EXPECT_EQ(a[51], 0x40);
    EXPECT_EQ(Get16(a, 52), 0x21u);
    EXPECT_EQ(Get16(a, 54), 27u);
    // Windows time stamps: creation, last write, last access; the chain ends.
    EXPECT_EQ(a[56], 0x41);
    EXPECT_EQ(Get64(a, 57), 0x0102030405060708u);
    EXPECT_EQ(Get64(a, 65), 0x1112131415161718u);
    EXPECT_EQ(Get64(a, 73), 0x2122232425262728u);
    EXPECT_EQ(Get16(a, 81), 0u);
    // The data, then the end mark.
    EXPECT_EQ(Text(a, 83, 5), "hello");
    EXPECT_EQ(a[88], 0);
}

TEST(LzhWriterTest, TakesTheWindowsTimesFromTheTimeStampWhenNoneAreGiven) {
    LzhWriter writer;
    const std::vector<uint8_t> data = Bytes("x");
    writer.AddFile(File("a"), data.data(), data.size());
    const std::vector<uint8_t> a = writer.Finish();
    // Common 5, name 4, attribute 5: the times record starts at 40.
    ASSERT_EQ(a[40], 0x41);
    const uint64_t expected = (1700000000ull + 11644473600ull) * 10000000ull;
    EXPECT_EQ(Get64(a, 41), expected);
    EXPECT_EQ(Get64(a, 49), expected);
    EXPECT_EQ(Get64(a, 57), expected);
    EXPECT_EQ(lzhsfx::UnixToFileTime(0), 116444736000000000ull);
}

TEST(LzhWriterTest, PacksWhatShrinksAndStoresWhatDoesNot) {
    LzhWriter writer;
    const std::vector<uint8_t> text = TextLike(20000, 1);
    const std::vector<uint8_t> noise = RandomBytes(20000, 2);
    const lzhsfx::MemberResult packed = writer.AddFile(File("t"), text.data(), text.size());
    const lzhsfx::MemberResult stored = writer.AddFile(File("r"), noise.data(), noise.size());
    const lzhsfx::MemberResult empty = writer.AddFile(File("e"), nullptr, 0, Method::kLh5);
    EXPECT_EQ(packed.method, '7');
    EXPECT_LT(packed.packed_size, text.size());
    EXPECT_EQ(stored.method, '0');
    EXPECT_EQ(stored.packed_size, noise.size());
    EXPECT_EQ(empty.method, '0');
    EXPECT_EQ(empty.packed_size, 0u);
    EXPECT_EQ(empty.crc, 0);

    const std::vector<uint8_t> a = writer.Finish();
    const std::vector<lzhsfx::ArchiveMember> members = lzhsfx::ReadArchive(a.data(), a.size());
    ASSERT_EQ(members.size(), 3u);
    EXPECT_EQ(members[0].method, "-lh7-");
    const DecodeReport report = ReferenceDecode(
        '7',
        std::vector<uint8_t>(a.begin() + members[0].data_offset,
                             a.begin() + members[0].data_offset + members[0].packed_size),
        text.size());
    EXPECT_EQ(report.error, "");
    EXPECT_TRUE(report.output == text);
    EXPECT_EQ(members[1].method, "-lh0-");
    EXPECT_TRUE(std::equal(noise.begin(), noise.end(), a.begin() + members[1].data_offset));
    EXPECT_EQ(members[2].method, "-lh0-");
    EXPECT_EQ(members[2].unpacked_size, 0u);
}

TEST(LzhWriterTest, PutsTheChecksumOfAllDataCrcsInFrontOnlyWhenAsked) {
    const std::vector<uint8_t> one = Bytes("first member"), two = TextLike(5000, 3);
    LzhWriter with(true), without;
    for (LzhWriter *w : {&with, &without}) {
        w->AddFile(File("1"), one.data(), one.size());
        w->AddDirectory(File("", {"d"}));
        w->AddFile(File("2"), two.data(), two.size());
        w->AddNotice("notice");
    }
    const uint16_t expected = lzhsfx::Crc16(one.data(), one.size()) ^
                              lzhsfx::Crc16(two.data(), two.size()) ^
                              lzhsfx::Crc16(reinterpret_cast<const uint8_t *>("notice"), 6);
    EXPECT_EQ(with.Checksum(), expected);
    const std::vector<uint8_t> a = with.Finish(), b = without.Finish();
    ASSERT_EQ(a.size(), b.size() + 2);
    EXPECT_EQ(Get16(a, 0), expected);
    EXPECT_TRUE(std::equal(b.begin(), b.end(), a.begin() + 2));
}

TEST(LzhWriterTest, WritesDirectoryEntriesWithoutDataAndWithATrailingSeparator) {
    LzhWriter writer;
    MemberInfo info = File("", {"Program", "Data"});
    info.attribute = 0x10;
    const lzhsfx::MemberResult result = writer.AddDirectory(info);
    EXPECT_EQ(result.method, 'd');
    EXPECT_EQ(result.packed_size, 0u);
    const std::vector<uint8_t> a = writer.Finish();
    EXPECT_EQ(Text(a, 2, 5), "-lhd-");
    EXPECT_EQ(Get32(a, 7), 0u);
    EXPECT_EQ(Get32(a, 11), 0u);
    EXPECT_EQ(Get16(a, 21), 0u);
    // Common record, then an empty file name record, then the directory.
    EXPECT_EQ(a[31], 0x01);
    EXPECT_EQ(Get16(a, 32), 3 + 13u);
    EXPECT_EQ(a[34], 0x02);
    EXPECT_EQ(Text(a, 35, 13), "Program\xFF"
                               "Data\xFF");
    EXPECT_EQ(a.size(), Get16(a, 0) + 1u); // no data, then the end mark

    EXPECT_THROW(writer.AddDirectory(File("x", {"d"})), LzhError);
    EXPECT_THROW(writer.AddDirectory(File("")), LzhError);
}

TEST(LzhWriterTest, RefusesPathsAndNamesTheStubCannotHold) {
    LzhWriter writer;
    const uint8_t byte = 'x';
    // Directory and name together: 259 bytes fit, 260 do not.
    const std::string dir(200, 'd');
    EXPECT_NO_THROW(writer.AddFile(File(std::string(58, 'n'), {dir}), &byte, 1));
    EXPECT_THROW(writer.AddFile(File(std::string(59, 'n'), {dir}), &byte, 1), LzhError);
    EXPECT_THROW(writer.AddFile(File("a/b"), &byte, 1), LzhError);
    EXPECT_THROW(writer.AddFile(File("a\\b"), &byte, 1), LzhError);
    EXPECT_THROW(writer.AddFile(File("a\xFF"
                                     "b"),
                                &byte, 1),
                 LzhError);
    EXPECT_THROW(writer.AddFile(File(std::string("a\0b", 3)), &byte, 1), LzhError);
    EXPECT_THROW(writer.AddFile(File(""), &byte, 1), LzhError);
    EXPECT_THROW(writer.AddFile(File("x", {".."}), &byte, 1), LzhError);
    EXPECT_THROW(writer.AddFile(File("x", {""}), &byte, 1), LzhError);
    // Shift-JIS: a 0x5C trail byte is part of the character; a lead byte without a
    // trail byte would swallow the separator behind it.
    EXPECT_NO_THROW(writer.AddFile(File("\x95\x5C.txt", {"\x83\x5C"}), &byte, 1));
    EXPECT_THROW(writer.AddFile(File("x", {"ab\x83"}), &byte, 1), LzhError);
    // The notice and directive names are taken only at the top and only for them.
    EXPECT_THROW(writer.AddFile(File("!"), &byte, 1), LzhError);
    EXPECT_THROW(writer.AddFile(File("$"), &byte, 1), LzhError);
    EXPECT_NO_THROW(writer.AddFile(File("!", {"sub"}), &byte, 1));
    // The stub's stored copy counts in signed 32 bits.
    EXPECT_THROW(writer.AddPacked(File("big"), '5', &byte, 1, 0x80000000u, 0), LzhError);
    EXPECT_THROW(writer.AddPacked(File("m"), '1', &byte, 1, 1, 0), LzhError);
    EXPECT_THROW(writer.AddPacked(File("m"), '0', &byte, 1, 2, 0), LzhError);
}

TEST(LzhWriterTest, RefusesAFileListWithABadNameBeforeAddingAny) {
    LzhWriter writer;
    const std::vector<uint8_t> data = Bytes("data");
    const std::vector<lzhsfx::FileData> files = {{File("good"), data.data(), data.size()},
                                                 {File("b/ad"), data.data(), data.size()}};
    EXPECT_THROW(writer.AddFiles(files), LzhError);
    EXPECT_EQ(writer.Finish(), std::vector<uint8_t>{0});
}

TEST(LzhWriterTest, AddsTheNoticeAndDirectivesWithinTheStubsLimits) {
    LzhWriter writer;
    writer.AddNotice(std::string(1023, 'n'));
    writer.AddDirectives("$InstallDir=%ProgramFiles%\\App\r\n");
    EXPECT_THROW(writer.AddNotice(std::string(1024, 'n')), LzhError);
    EXPECT_THROW(writer.AddDirectives(std::string(4096, 'd')), LzhError);
    EXPECT_THROW(writer.AddNotice(std::string("a\0b", 3)), LzhError);
    const std::vector<uint8_t> a = writer.Finish();
    const std::vector<lzhsfx::ArchiveMember> members = lzhsfx::ReadArchive(a.data(), a.size());
    ASSERT_EQ(members.size(), 2u);
    EXPECT_EQ(members[0].info.name, "!");
    EXPECT_TRUE(members[0].info.directory.empty());
    EXPECT_EQ(members[0].unpacked_size, 1023u);
    EXPECT_EQ(members[0].method, "-lh7-");
    EXPECT_EQ(members[1].info.name, "$");
}

TEST(LzhWriterTest, PadsAHeaderWhoseSizeIsAMultipleOf256) {
    // Fixed 26, common 5, attribute 5, times 27: a name of 190 bytes makes 256.
    LzhWriter writer;
    const uint8_t byte = 'x';
    writer.AddFile(File(std::string(190, 'p')), &byte, 1);
    writer.AddFile(File(std::string(189, 'p')), &byte, 1);
    const std::vector<uint8_t> a = writer.Finish();
    EXPECT_EQ(Get16(a, 0), 257u);
    EXPECT_NE(a[0], 0);
    // The common record holds the byte more, behind the header CRC.
    EXPECT_EQ(Get16(a, 24), 6u);
    EXPECT_EQ(a[29], 0);
    EXPECT_EQ(Get16(a, 27), HeaderCrc(std::vector<uint8_t>(a.begin(), a.begin() + 257), 27));
    const size_t second = 257 + 1;
    EXPECT_EQ(Get16(a, second), 255u);
    EXPECT_EQ(Get16(a, second + 24), 5u);
    EXPECT_EQ(lzhsfx::ReadArchive(a.data(), a.size()).size(), 2u);
}

TEST(LzhWriterTest, GivesTheSameArchiveForAnyNumberOfThreads) {
    std::vector<std::vector<uint8_t>> data;
    for (uint32_t i = 0; i < 6; ++i) {
        data.push_back(i % 2 ? TextLike(30000 + 1000 * i, i) : BinaryLike(40000, i));
    }
    data.push_back(std::vector<uint8_t>(4200000, 'z')); // compressed on all threads by itself
    std::vector<lzhsfx::FileData> files;
    LzhWriter one_by_one;
    for (size_t i = 0; i < data.size(); ++i) {
        files.push_back({File("f" + std::to_string(i)), data[i].data(), data[i].size()});
        one_by_one.AddFile(files.back().info, data[i].data(), data[i].size(), Method::kLh7, 2);
    }
    LzhWriter serial, parallel;
    serial.AddFiles(files, Method::kLh7, 2, 1);
    parallel.AddFiles(files, Method::kLh7, 2, 3);
    EXPECT_TRUE(serial.Finish() == one_by_one.Finish());
    EXPECT_TRUE(parallel.Finish() == serial.Finish());
}

// ---------------------------------------------------------------------------
// Reading archives of levels 0 to 2

// A level-0 or level-1 header: size and sum, then the fields from the method on.
std::vector<uint8_t> OldHeader(int level, const std::string &method, uint32_t packed,
                               uint32_t unpacked, uint32_t dos_time, const std::string &name,
                               uint16_t crc, const std::vector<uint8_t> &records = {}) {
    std::vector<uint8_t> h(2);
    auto put16 = [&h](unsigned v) {
        h.push_back(static_cast<uint8_t>(v));
        h.push_back(static_cast<uint8_t>(v >> 8));
    };
    auto put32 = [&](uint32_t v) {
        put16(v & 0xFFFF);
        put16(v >> 16);
    };
    h.insert(h.end(), method.begin(), method.end());
    // Level 1 counts the records behind the fixed part as packed data.
    put32(packed + static_cast<uint32_t>(records.empty() ? 0 : records.size() - 2));
    put32(unpacked);
    put32(dos_time);
    h.push_back(0x20);
    h.push_back(static_cast<uint8_t>(level));
    h.push_back(static_cast<uint8_t>(name.size()));
    h.insert(h.end(), name.begin(), name.end());
    put16(crc);
    if (level == 1) {
        h.push_back('M');
        put16(records.empty() ? 0 : Get16(records, 0));
    }
    h[0] = static_cast<uint8_t>(h.size() - 2);
    unsigned sum = 0;
    for (size_t i = 2; i < h.size(); ++i) {
        sum += h[i];
    }
    h[1] = static_cast<uint8_t>(sum);
    // The records follow the fixed part; the first one's size is its last field.
    if (!records.empty()) {
        h.insert(h.end(), records.begin() + 2, records.end());
    }
    return h;
}

// 2023-11-14 22:13:20 as an MS-DOS date and time.
constexpr uint32_t kDosTime =
    ((2023 - 1980) << 25) | (11 << 21) | (14 << 16) | (22 << 11) | (13 << 5) | (20 / 2);

TEST(ArchiveReaderTest, ReadsLevel0HeadersWithTheirPathAndDosTime) {
    const std::vector<uint8_t> data = Bytes("stored");
    std::vector<uint8_t> a = OldHeader(0, "-lh0-", 6, 6, kDosTime, "DIR\\SUB\\FILE.TXT",
                                       lzhsfx::Crc16(data.data(), data.size()));
    a.insert(a.end(), data.begin(), data.end());
    a.push_back(0);
    const std::vector<lzhsfx::ArchiveMember> m = lzhsfx::ReadArchive(a.data(), a.size());
    ASSERT_EQ(m.size(), 1u);
    EXPECT_EQ(m[0].header_level, 0);
    EXPECT_EQ(m[0].method, "-lh0-");
    // An MS-DOS path in capitals only is taken in small letters.
    EXPECT_EQ(m[0].info.directory, (std::vector<std::string>{"dir", "sub"}));
    EXPECT_EQ(m[0].info.name, "file.txt");
    EXPECT_EQ(m[0].info.time, 1700000000u);
    EXPECT_EQ(m[0].packed_size, 6u);
    EXPECT_EQ(m[0].data_offset, a.size() - 7);
    EXPECT_EQ(m[0].crc, lzhsfx::Crc16(data.data(), data.size()));

    lzhsfx::ReadOptions japan;
    japan.dos_time_offset = 9 * 3600;
    EXPECT_EQ(lzhsfx::ReadArchive(a.data(), a.size(), japan)[0].info.time, 1700000000u - 32400);
}

TEST(ArchiveReaderTest, ReadsLevel1HeadersWhosePackedSizeIncludesTheirRecords) {
    // A directory record and a Unix time record, each announced by the size in front
    // of it, counted from its type to the next size: 9 and 7.
    const std::vector<uint8_t> chain = {9, 0, 0x02, 'a',  'p',  'p',  0xFF, 'x', 0xFF,
                                        7, 0, 0x54, 0x00, 0xF2, 0x53, 0x65, 0,   0};
    const std::vector<uint8_t> data = Bytes("abc");
    std::vector<uint8_t> a = OldHeader(1, "-lh0-", 3, 3, kDosTime, "F\x83\x5C.TXT", 0x9738, chain);
    a.insert(a.end(), data.begin(), data.end());
    const std::vector<lzhsfx::ArchiveMember> m = lzhsfx::ReadArchive(a.data(), a.size());
    ASSERT_EQ(m.size(), 1u);
    EXPECT_EQ(m[0].header_level, 1);
    EXPECT_EQ(m[0].packed_size, 3u);
    EXPECT_EQ(m[0].data_offset, a.size() - 3);
    EXPECT_EQ(m[0].info.directory, (std::vector<std::string>{"app", "x"}));
    EXPECT_EQ(m[0].info.name, "F\x83\x5C.TXT"); // 0x5C after a lead byte is no separator
    EXPECT_EQ(m[0].info.time, 0x6553F200u);     // the Unix time record wins

    const Installed installed = ForInstaller(a);
    EXPECT_FALSE(installed.as_stored);
    const std::vector<uint8_t> &b = installed.bytes;
    const std::vector<lzhsfx::ArchiveMember> again = lzhsfx::ReadArchive(b.data(), b.size());
    ASSERT_EQ(again.size(), 1u);
    EXPECT_EQ(again[0].header_level, 2);
    EXPECT_EQ(again[0].info.directory, m[0].info.directory);
    EXPECT_EQ(again[0].info.name, m[0].info.name);
    EXPECT_EQ(again[0].info.time, m[0].info.time);
    EXPECT_EQ(again[0].crc, 0x9738);
    EXPECT_EQ(Text(b, again[0].data_offset, 3), "abc");
}

TEST(ArchiveReaderTest, ReadsBackWhatTheWriterWrote) {
    LzhWriter writer(false);
    MemberInfo info = File("b.bin", {"x", "y"});
    info.windows_times = lzhsfx::FileTimes{1, 2, 3};
    info.attribute = 0x01;
    const std::vector<uint8_t> data = BinaryLike(10000, 4);
    writer.AddFile(info, data.data(), data.size(), Method::kLh6);
    writer.AddDirectory(File("", {"x", "y"}));
    const std::vector<uint8_t> a = writer.Finish();
    const std::vector<lzhsfx::ArchiveMember> m = lzhsfx::ReadArchive(a.data(), a.size());
    ASSERT_EQ(m.size(), 2u);
    EXPECT_EQ(m[0].method, "-lh6-");
    EXPECT_EQ(m[0].info.directory, info.directory);
    EXPECT_EQ(m[0].info.name, "b.bin");
    EXPECT_EQ(m[0].info.attribute, 0x01);
    ASSERT_TRUE(m[0].info.windows_times.has_value());
    EXPECT_EQ(m[0].info.windows_times->last_write, 2u);
    EXPECT_EQ(m[0].unpacked_size, data.size());
    EXPECT_EQ(m[1].method, "-lhd-");
    EXPECT_EQ(m[1].info.directory, (std::vector<std::string>{"x", "y"}));
    EXPECT_EQ(m[1].info.name, "");
}

TEST(ArchiveReaderTest, RefusesDamagedHeaders) {
    LzhWriter writer;
    const std::vector<uint8_t> data = Bytes("some data");
    writer.AddFile(File("name"), data.data(), data.size());
    const std::vector<uint8_t> good = writer.Finish();
    EXPECT_NO_THROW(lzhsfx::ReadArchive(good.data(), good.size()));

    std::vector<uint8_t> renamed = good;
    renamed[32] ^= 1; // a byte of the name, without a new header CRC
    EXPECT_THROW(lzhsfx::ReadArchive(renamed.data(), renamed.size()), LzhError);
    // Packed data cut short.
    EXPECT_THROW(lzhsfx::ReadArchive(good.data(), good.size() - 3), LzhError);
    // A header cut short.
    EXPECT_THROW(lzhsfx::ReadArchive(good.data(), 30), LzhError);
    // A record whose size leads out of the header.
    std::vector<uint8_t> wild = good;
    wild[29] = 0xF0;
    EXPECT_THROW(lzhsfx::ReadArchive(wild.data(), wild.size()), LzhError);

    std::vector<uint8_t> old = OldHeader(0, "-lh0-", 0, 0, kDosTime, "E", 0);
    old[1] ^= 0x55; // the header sum
    old.push_back(0);
    EXPECT_THROW(lzhsfx::ReadArchive(old.data(), old.size()), LzhError);

    lzhsfx::ArchiveMember lzs;
    lzs.method = "-lzs-";
    lzs.info = File("old");
    EXPECT_THROW(lzhsfx::InstallerHeader(lzs), LzhError);
}

// Gives the first header of `a` a new size field and the CRC the stub would check over
// its first `extent` bytes.
void Resize(std::vector<uint8_t> &a, size_t size, size_t extent) {
    a[0] = static_cast<uint8_t>(size);
    a[1] = static_cast<uint8_t>(size >> 8);
    const uint16_t crc = HeaderCrc(std::vector<uint8_t>(a.begin(), a.begin() + extent), 27);
    a[27] = static_cast<uint8_t>(crc);
    a[28] = static_cast<uint8_t>(crc >> 8);
}

TEST(ArchiveReaderTest, ReadsAHeaderSizeTwoShortOfItsRecordsAndNoOtherMismatch) {
    LzhWriter writer;
    const std::vector<uint8_t> data = Bytes("data after the header");
    writer.AddFile(File("a.txt"), data.data(), data.size(), Method::kLh5);
    const std::vector<uint8_t> good = writer.Finish();
    const size_t header = Get16(good, 0);

    std::vector<uint8_t> short2 = good;
    Resize(short2, header - 2, header);
    const std::vector<lzhsfx::ArchiveMember> m = lzhsfx::ReadArchive(short2.data(), short2.size());
    ASSERT_EQ(m.size(), 1u);
    EXPECT_EQ(m[0].data_offset, header);
    EXPECT_EQ(m[0].quirks, std::vector<std::string>{"a header size 2 bytes short of its records"});
    // The records must still end inside the archive, and 4 short is damage.
    std::vector<uint8_t> short4 = good;
    Resize(short4, header - 4, header);
    EXPECT_THROW(lzhsfx::ReadArchive(short4.data(), short4.size()), LzhError);
    EXPECT_THROW(lzhsfx::ReadArchive(short2.data(), header - 1), LzhError);
    // A size beyond the records is padding the installer reads past, as it always was.
    std::vector<uint8_t> long2 = good;
    long2.insert(long2.begin() + static_cast<std::ptrdiff_t>(header), {0, 0});
    Resize(long2, header + 2, header + 2);
    const std::vector<lzhsfx::ArchiveMember> padded =
        lzhsfx::ReadArchive(long2.data(), long2.size());
    ASSERT_EQ(padded.size(), 1u);
    EXPECT_EQ(padded[0].data_offset, header + 2);
    EXPECT_TRUE(padded[0].quirks.empty());
}

TEST(InstallerArchiveTest, FindsPathsThroughFilesWithoutRegardToAsciiCase) {
    const auto entry = [](const std::string &name, std::vector<std::string> directory,
                          bool folder = false) {
        lzhsfx::InstallerMember e;
        e.member.info = File(name, std::move(directory));
        e.member.method = folder ? "-lhd-" : "-lh0-";
        return e;
    };
    // The index of the first member that conflicts with an earlier one, or -1.
    lzhsfx::PathConflict c;
    const auto first_conflict = [&](const std::vector<lzhsfx::InstallerMember> &members) {
        lzhsfx::PathTracker paths;
        for (size_t i = 0; i < members.size(); ++i) {
            if (!paths.Add(members[i], i, &c)) {
                return static_cast<int>(i);
            }
        }
        return -1;
    };
    // Shift-JIS "ア" and "ャ" differ only in a trail byte that is an ASCII letter's.
    EXPECT_EQ(first_conflict({entry("\x83\x41", {}), entry("x", {"\x83\x61"}), entry("y", {"Docs"}),
                              entry("z", {"docs"}), entry("", {"Docs", "sub"}, true)}),
              -1);
    EXPECT_EQ(first_conflict(
                  {entry("x", {}), entry("Readme", {"Docs"}), entry("in.txt", {"DOCS", "readme"})}),
              2);
    EXPECT_EQ(c.earlier, 1u);
    EXPECT_TRUE(c.through_file);
    EXPECT_EQ(first_conflict({entry("", {"a", "b"}, true), entry("B", {"A"})}), 1);
    EXPECT_FALSE(c.through_file);
    // A member left out, and the notice, make nothing.
    std::vector<lzhsfx::InstallerMember> members = {entry("a", {}), entry("!", {}),
                                                    entry("x", {"a"}), entry("y", {"!"})};
    members[0].refusal = "left out";
    EXPECT_EQ(first_conflict(members), -1);
}

TEST(LzhWriterTest, WritesAnAbsolutePathWithALeadingSeparator) {
    LzhWriter writer;
    MemberInfo info = File("a.txt", {"Untitled"});
    info.absolute = true;
    const uint8_t byte = 'x';
    writer.AddPacked(info, '0', &byte, 1, 1, lzhsfx::Crc16(&byte, 1));
    MemberInfo top = File("b.txt");
    top.absolute = true;
    writer.AddPacked(top, '0', &byte, 1, 1, lzhsfx::Crc16(&byte, 1));
    const std::vector<uint8_t> a = writer.Finish();
    const std::vector<lzhsfx::ArchiveMember> m = lzhsfx::ReadArchive(a.data(), a.size());
    ASSERT_EQ(m.size(), 2u);
    EXPECT_TRUE(m[0].absolute);
    EXPECT_EQ(m[0].info.directory, std::vector<std::string>{"Untitled"});
    EXPECT_TRUE(m[1].absolute);
    EXPECT_TRUE(m[1].info.directory.empty());
    EXPECT_TRUE(m[0].quirks.empty());
}

// ---------------------------------------------------------------------------
// The LHA peers

struct Peer {
    const char *program;
    const char *extract; // the command line with %a for the archive, %o for the folder
};

const Peer kPeers[] = {
    {"lhasa", "lhasa xqfw=%o %a"},
    {"7z", "7z x -y -o%o %a"},
    {"unar", "unar -q -f -D -o %o %a"},
};

std::string Expand(std::string pattern, const std::string &archive, const std::string &out) {
    for (size_t at; (at = pattern.find("%a")) != std::string::npos;) {
        pattern.replace(at, 2, "'" + archive + "'");
    }
    for (size_t at; (at = pattern.find("%o")) != std::string::npos;) {
        pattern.replace(at, 2, "'" + out + "'");
    }
    return pattern;
}

// Extracts `archive` with every peer and checks each file of `expected`.
void CheckWithPeers(const TempDir &dir, const std::string &archive,
                    const std::vector<std::pair<std::string, std::vector<uint8_t>>> &expected,
                    const std::vector<std::string> &directories = {}) {
    for (const Peer &peer : kPeers) {
        if (!tooltest::HaveProgram(peer.program)) {
            ADD_FAILURE() << peer.program << " is not installed";
            continue;
        }
        const std::string out = dir / (std::string("out-") + peer.program);
        std::filesystem::create_directories(out);
        const std::string log = dir / "log";
        if (tooltest::Run(Expand(peer.extract, archive, out), log) != 0) {
            const std::vector<uint8_t> output = tooltest::ReadBytes(log);
            ADD_FAILURE() << peer.program
                          << " failed: " << std::string(output.begin(), output.end());
            continue;
        }
        for (const auto &[path, bytes] : expected) {
            const std::string file = out + "/" + path;
            ASSERT_TRUE(std::filesystem::is_regular_file(file)) << peer.program << " " << path;
            EXPECT_TRUE(tooltest::ReadBytes(file) == bytes) << peer.program << " " << path;
        }
        for (const std::string &d : directories) {
            EXPECT_TRUE(std::filesystem::is_directory(out + "/" + d)) << peer.program << " " << d;
        }
        std::filesystem::remove_all(out);
    }
}

class LhaPeerTest : public ::testing::TestWithParam<Method> {};

TEST_P(LhaPeerTest, LhasaSevenZipAndUnarExtractEdgeSizesExactly) {
    const Method method = GetParam();
    TempDir dir;
    std::vector<std::pair<std::string, std::vector<uint8_t>>> files = {
        {"empty", {}},
        {"one", {'1'}},
        {"sub/text65535", TextLike(65535, 1)},
        {"sub/deeper/bin65536", BinaryLike(65536, 2)},
        {"text65537", TextLike(65537, 3)},
        {"zeros", std::vector<uint8_t>(100000, 0)},
        {"noise", RandomBytes(30000, 4)},
        {"mixed", BinaryLike(400000, 5)},
    };
    // A repeat far back: within -lh7-'s dictionary, beyond the others'.
    std::vector<uint8_t> far = RandomBytes(50000, 6);
    far.insert(far.end(), far.begin(), far.begin() + 5000);
    files.push_back({"far", far});

    LzhWriter writer;
    writer.AddDirectory(File("", {"emptydir"}));
    for (const auto &[path, bytes] : files) {
        std::vector<std::string> parts;
        size_t start = 0;
        for (size_t slash; (slash = path.find('/', start)) != std::string::npos;
             start = slash + 1) {
            parts.push_back(path.substr(start, slash - start));
        }
        writer.AddFile(File(path.substr(start), parts), bytes.data(), bytes.size(), method);
    }
    const std::string archive = dir / "test.lzh";
    tooltest::WriteBytes(archive, writer.Finish());
    CheckWithPeers(dir, archive, files, {"emptydir"});
}

INSTANTIATE_TEST_SUITE_P(Methods, LhaPeerTest,
                         ::testing::Values(Method::kLh5, Method::kLh6, Method::kLh7),
                         [](const ::testing::TestParamInfo<Method> &info) {
                             return std::string("lh") + lzhsfx::ParamsOf(info.param).id;
                         });

TEST(LhaPeerTest, ReadAPaddedHeader) {
    TempDir dir;
    LzhWriter writer;
    const std::vector<uint8_t> data = Bytes("padded");
    writer.AddFile(File(std::string(190, 'p')), data.data(), data.size());
    writer.AddFile(File("after"), data.data(), data.size());
    const std::string archive = dir / "padded.lzh";
    tooltest::WriteBytes(archive, writer.Finish());
    CheckWithPeers(dir, archive, {{std::string(190, 'p'), data}, {"after", data}});
}

TEST(LhaPeerTest, ALevel1ArchiveOfJlhaRewrittenToLevel2Extracts) {
    if (!tooltest::HaveProgram("jlha")) {
        GTEST_SKIP() << "jlha is not installed";
    }
    TempDir dir;
    const std::vector<uint8_t> text = TextLike(30000, 8);
    std::filesystem::create_directories(dir / "in/docs");
    tooltest::WriteBytes(dir / "in/docs/read.txt", text);
    const std::string log = dir / "log";
    ASSERT_EQ(tooltest::Run("cd '" + dir / "in" + "' && jlha c1o5q1 '" + dir / "old.lzh" +
                                "' docs/read.txt",
                            log),
              0);
    const std::vector<uint8_t> old = tooltest::ReadBytes(dir / "old.lzh");
    const std::vector<lzhsfx::ArchiveMember> members = lzhsfx::ReadArchive(old.data(), old.size());
    ASSERT_EQ(members.size(), 1u);
    EXPECT_EQ(members[0].header_level, 1);
    EXPECT_EQ(members[0].method, "-lh5-");
    EXPECT_EQ(members[0].info.directory, (std::vector<std::string>{"docs"}));
    EXPECT_EQ(members[0].info.name, "read.txt");
    tooltest::WriteBytes(dir / "new.lzh", ForInstaller(old).bytes);
    CheckWithPeers(dir, dir / "new.lzh", {{"docs/read.txt", text}});
}

} // namespace
