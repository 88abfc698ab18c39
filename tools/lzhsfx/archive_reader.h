// Reads the member headers of an existing LZH archive of header level 0 to 3, as the
// LHA tools of many systems write them, so that its members can be listed and written
// again with the installer's level-2 headers and their packed data unchanged.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

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
    size_t header_offset = 0;
    size_t data_offset = 0; // of the packed data, from the start of the archive
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

struct ArchiveContents {
    std::vector<ArchiveMember> members;
    size_t end = 0;      // of the last member's packed data
    size_t trailing = 0; // bytes after the end mark
};

// Reads all member headers of the archive in `data`, which ends at the end mark or at
// the end of the data. Throws LzhError for a damaged or truncated header, a header
// checksum or CRC that does not match, a header level above 3, or packed data that
// reaches beyond the end.
ArchiveContents ReadArchiveContents(const uint8_t *data, size_t size,
                                    const ReadOptions &options = {});
std::vector<ArchiveMember> ReadArchive(const uint8_t *data, size_t size,
                                       const ReadOptions &options = {});

// Why the installer cannot take `member` as it is (a method or a header level it does
// not read, sizes it cannot hold); empty when it can.
std::string InstallerRefusal(const ArchiveMember &member);

// Adds `member` of `archive` (the data ReadArchive read) to `writer` with its packed
// data unchanged. Throws LzhError for a member the installer cannot take.
MemberResult AddArchiveMember(LzhWriter &writer, const ArchiveMember &member,
                              const uint8_t *archive);

// Adds `member` from `data`, the bytes its packed data decodes to, compressed anew with
// `method`: for members packed with a method the installer cannot read. Throws
// LzhError when the data's size or CRC is not the header's.
MemberResult AddDecodedMember(LzhWriter &writer, const ArchiveMember &member,
                              const std::vector<uint8_t> &data, Method method = Method::kLh7);

} // namespace lzhsfx
