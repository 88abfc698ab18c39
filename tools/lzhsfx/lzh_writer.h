// The level-2 LZH archive writer of the builder: members with level-2 headers, the
// optional archive checksum in front and the end mark behind.
//
// Every header carries OS identifier 'W' and the extended records common (0x00,
// header CRC), file name (0x01), directory name (0x02, when there is a directory),
// DOS attribute (0x40) and Windows time stamps (0x41). Names are byte strings in the
// installer's code page (Shift-JIS); the writer does not convert them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "encoder.h"

namespace lzhsfx {

// Whether `b` starts a double-byte character of Shift-JIS (code page 932).
inline bool IsLeadByte(uint8_t b) {
    return (b >= 0x81 && b <= 0x9F) || (b >= 0xE0 && b <= 0xFC);
}

// A member the stub could not extract as given, or an archive that cannot be read.
class LzhError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

// FILETIME values: 100-nanosecond steps since 1601-01-01 00:00:00 UTC.
struct FileTimes {
    uint64_t creation = 0;
    uint64_t last_write = 0;
    uint64_t last_access = 0;
};

uint64_t UnixToFileTime(uint32_t unix_seconds);

struct MemberInfo {
    // Directory components, outermost first. For a directory entry, the directory
    // itself.
    std::vector<std::string> directory;
    // The file name; empty for a directory entry.
    std::string name;
    // Last write time in Unix seconds, the header's time stamp.
    uint32_t time = 0;
    // DOS attribute byte.
    uint8_t attribute = 0x20;
    // Creation, last write and last access; when absent all three are `time`.
    std::optional<FileTimes> windows_times;
    // The path starts with a separator: the installer takes it from the root of the
    // destination's drive instead of the install folder.
    bool absolute = false;
};

// What became of one added member.
struct MemberResult {
    char method; // the method character of the header: '0', '4' to '7' or 'd'
    uint64_t packed_size;
    uint16_t crc; // CRC-16 of the unpacked data
};

// A file to compress, for LzhWriter::AddFiles. The data must stay valid during the
// call.
struct FileData {
    MemberInfo info;
    const uint8_t *data;
    size_t size;
};

// The longest member path the stub holds: directory and file name bytes together.
constexpr size_t kMaxMemberPath = 259;
// The stub keeps at most this many bytes of the notice and of the directives.
constexpr size_t kMaxNoticeText = 1023;
constexpr size_t kMaxDirectiveText = 4095;

// The level-2 headers the writer gives its members, for archives laid out elsewhere.
// Each throws LzhError for what the stub cannot hold, as the matching Add call does:
// data packed elsewhere (AddPacked), a file packed with `method` into `packed_size`
// bytes (AddFile) and a directory entry (AddDirectory).
std::vector<uint8_t> PackedHeader(const MemberInfo &info, char method, uint64_t packed_size,
                                  uint32_t unpacked_size, uint16_t crc);
std::vector<uint8_t> FileHeader(const MemberInfo &info, char method, uint64_t packed_size,
                                uint64_t size, uint16_t crc);
std::vector<uint8_t> DirectoryHeader(const MemberInfo &info);

class LzhWriter {
  public:
    // With `archive_checksum`, the archive starts with the 16-bit XOR of all members'
    // data CRCs (the stub's settings flag 0x04 expects it).
    explicit LzhWriter(bool archive_checksum = false) : checksum_wanted_(archive_checksum) {}

    // Compresses `size` bytes with `method` and adds them as a file. The member is
    // stored (-lh0-) when packing does not make it smaller. Throws LzhError for a name
    // or path the stub cannot hold, and for data of 2 GiB or more.
    MemberResult AddFile(const MemberInfo &info, const uint8_t *data, size_t size,
                         Method method = Method::kLh7, int level = kDefaultLevel);

    // Adds the files in order, as AddFile would, compressing them on up to `threads`
    // threads (0: one per processor). The archive is the same for any thread count.
    // Nothing is added when a file's name or size is refused.
    std::vector<MemberResult> AddFiles(const std::vector<FileData> &files,
                                       Method method = Method::kLh7, int level = kDefaultLevel,
                                       int threads = 0);

    // Adds a directory entry (-lhd-, no data) for `info.directory`; `info.name` must be
    // empty.
    MemberResult AddDirectory(const MemberInfo &info);

    // Adds data packed elsewhere, unchanged: `method` is '0' or '4' to '7', `crc` the
    // CRC-16 of the `unpacked_size` bytes it decodes to. A member named "!" or "$" at
    // the top stays the notice or the directives, within their size limits.
    MemberResult AddPacked(const MemberInfo &info, char method, const uint8_t *packed,
                           size_t packed_size, uint32_t unpacked_size, uint16_t crc);

    // Adds the notice the stub shows before installing (member "!") and the setup
    // directives (member "$"). The stub reads each only up to a zero byte and up to
    // its size limit, so a longer text or one with a zero byte is refused.
    MemberResult AddNotice(const std::string &text, Method method = Method::kLh7);
    MemberResult AddDirectives(const std::string &text, Method method = Method::kLh7);

    // The XOR of the data CRCs of the members added so far.
    uint16_t Checksum() const {
        return checksum_;
    }

    // The whole archive: the checksum if asked for, the members, the end mark.
    std::vector<uint8_t> Finish() const;

  private:
    // `special` allows the names of the notice and the directives.
    MemberResult AddData(const MemberInfo &info, const uint8_t *data, size_t size, Method method,
                         int level, bool special);
    MemberResult AddCompressed(const MemberInfo &info, const uint8_t *data, size_t size,
                               uint16_t crc, const std::vector<uint8_t> &packed, Method method,
                               bool special);
    MemberResult AddMember(const std::vector<uint8_t> &header, char method, const uint8_t *packed,
                           size_t packed_size, uint16_t crc);
    MemberResult AddSpecial(const std::string &name, const std::string &text, size_t limit,
                            Method method);

    bool checksum_wanted_;
    uint16_t checksum_ = 0;
    std::vector<uint8_t> members_;
};

} // namespace lzhsfx
