// Builds level-2 LZH members and whole installer files for tests, including the
// malformed ones no encoder would write.
#pragma once

#include <stdint.h>

#include <string>
#include <vector>

#include "startup/run_state.h"

// CRC-16/ARC computed bit by bit, independent of the code under test.
uint16_t ReferenceCrc(const std::string &bytes);

struct TestMember {
    std::string method = "-lh0-";
    std::string name;           // file-name record bytes; no record when empty
    std::string dir;            // directory-name record bytes; no record when empty
    std::string packed;         // packed data
    int64_t packed_size = -1;   // -1: packed.size()
    int64_t unpacked_size = -1; // -1: packed.size()
    int32_t data_crc = -1;      // -1: the CRC of `packed`
    uint32_t time = 0x4B000000;
    uint8_t attribute = 0x20;
    char os = 'W';
    int attribute_record = -1; // 0x40 record value, -1: none
    bool windows_times = false;
    uint64_t file_times[3] = {};            // creation, last write, last access
    std::vector<std::string> extra_records; // raw records: type byte then data
    bool common_record = true;
    bool bad_header_crc = false;
};

// One member: header then packed data.
// The time stamp the tests' members carry: 2011-03-13.
const uint32_t kMemberTime = 1300000000;

// A stored member of `data` named `name`, in the folder `dir` when one is given.
TestMember Stored(const std::string &name, const std::string &data, uint32_t time = kMemberTime,
                  const std::string &dir = "");
// A directory entry for `dir`.
TestMember Directory(const std::string &dir);

std::string MemberBytes(const TestMember &m);

// A FILETIME value for a Unix time.
uint64_t FileTimeOf(uint32_t unix_seconds);

// An installer file: `stub_size` bytes with the settings at offset 512, then the
// archive. `settings.ArchiveOffset` 0 means "right after the stub".
std::string InstallerBytes(SettingsBlock settings, const std::string &archive,
                           size_t stub_size = 2048);
