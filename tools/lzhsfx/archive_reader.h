// Reads the member headers of an existing LZH archive of header level 0 to 3, as the
// LHA tools of many systems write them, so that its members can be listed and written
// again with the installer's level-2 headers and their packed data unchanged.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "byte_source.h"
#include "lzh_writer.h"

namespace lzhsfx {

struct ArchiveMember {
    std::string method; // the five method bytes, as "-lh5-"; "-lhd-" for any directory
    int header_level = 0;
    // Path, time stamp (Unix seconds), DOS attribute, and the Windows time stamps
    // when the header records them. A directory entry's path is all directory.
    MemberInfo info;
    uint64_t packed_size = 0;
    uint64_t unpacked_size = 0;
    uint16_t crc = 0; // of the unpacked data
    uint64_t header_offset = 0;
    uint64_t data_offset = 0; // of the packed data, from the start of the archive
    // The text after a zero byte in the name (Amiga file comments).
    std::string comment;
    // What the header does differently from the installer's own, in words; empty when
    // the installer reads the header as stored exactly as it is read here.
    std::vector<std::string> quirks;
    // Bytes of packed data a directory carries (OS/2 keeps a folder's extended
    // attributes so); they are passed over.
    uint64_t dropped_data = 0;
    // The path began with a separator: the installer takes it from the drive's root.
    bool absolute = false;
    // A directory entry without a name: the folder the archive was made of, which the
    // installer's folder stands for; there is nothing to make of it.
    bool itself = false;
    // What a symbolic link points to: the Unix LHA tools store a link as a directory
    // entry named "link|target". Empty for any other member.
    std::string link_target;
};

struct ReadOptions {
    // Seconds east of UTC of the zone the level-0 and level-1 MS-DOS times were
    // taken in; they are converted to Unix seconds with it.
    int32_t dos_time_offset = 0;
    // Whether names are Shift-JIS: a separator byte right after a lead byte is then
    // part of a character.
    bool shift_jis = true;
};

// Reads the member headers of an archive one after the other, a header at a time,
// up to the end mark or the end of the source.
class ArchiveWalker {
  public:
    explicit ArchiveWalker(const ByteSource &source, const ReadOptions &options = {});

    // Reads the next header into `member`; false at the end of the archive. Throws
    // LzhError for a damaged or truncated header, a header checksum or CRC that does
    // not match, a header level above 3, or packed data that reaches beyond the end.
    bool Next(ArchiveMember *member);
    // Once Next has returned false: the end of the last member's packed data, and the
    // bytes after the end mark.
    uint64_t end() const {
        return end_;
    }
    uint64_t trailing() const {
        return trailing_;
    }

  private:
    struct Records;
    // The `n` bytes at `offset` (within the source), valid until the next call.
    const uint8_t *Bytes(uint64_t offset, size_t n);
    uint64_t ReadHeader(uint64_t pos, ArchiveMember &member);
    uint64_t ReadRecords(uint64_t header, uint64_t at, uint64_t limit, size_t width,
                         Records &records);
    void CheckHeaderCrc(uint64_t pos, uint64_t end, const Records &records, ArchiveMember &member);

    const ByteSource &source_;
    ReadOptions options_;
    uint64_t pos_ = 0;
    bool done_ = false;
    uint64_t end_ = 0, trailing_ = 0;
    // Headers are read through a buffer of the source's bytes from `base_` on.
    std::vector<uint8_t> buffer_;
    uint64_t base_ = 0;
    size_t filled_ = 0;
};

// All member headers of the archive in memory, as ArchiveWalker reads them.
std::vector<ArchiveMember> ReadArchive(const uint8_t *data, size_t size,
                                       const ReadOptions &options = {});

// Why the installer cannot take `member` as it is (a method or a header level it does
// not read, sizes it cannot hold); empty when it can.
std::string InstallerRefusal(const ArchiveMember &member);

// The level-2 header the installer's archive gives `member`, whose packed data it
// keeps as stored. Throws LzhError for a member the installer cannot take.
std::vector<uint8_t> InstallerHeader(const ArchiveMember &member);

} // namespace lzhsfx
