// Reads the member headers of an existing LZH archive of header level 0, 1 or 2, so
// that its members can be written again with level-2 headers and their packed data
// unchanged.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "lzh_writer.h"

namespace lzhsfx {

struct ArchiveMember {
    std::string method; // the five method bytes, as "-lh5-"
    int header_level;
    // Path, time stamp (Unix seconds), DOS attribute, and the Windows time stamps
    // when the header records them. A directory entry's path is all directory.
    MemberInfo info;
    uint64_t packed_size;
    uint32_t unpacked_size;
    uint16_t crc;       // of the unpacked data
    size_t data_offset; // of the packed data, from the start of the archive
};

struct ReadOptions {
    // Seconds east of UTC of the zone the level-0 and level-1 MS-DOS times were
    // taken in; they are converted to Unix seconds with it.
    int32_t dos_time_offset = 0;
    // Whether names are Shift-JIS: a separator byte right after a lead byte is then
    // part of a character.
    bool shift_jis = true;
};

// Reads all member headers of the archive in `data`, which ends at the end mark or at
// the end of the data. Throws LzhError for a damaged or truncated header, a header
// checksum or CRC that does not match, a header level above 2, or packed data that
// reaches beyond the end.
std::vector<ArchiveMember> ReadArchive(const uint8_t *data, size_t size,
                                       const ReadOptions &options = {});

// Adds `member` of `archive` (the data ReadArchive read) to `writer` with its packed
// data unchanged. Throws LzhError for a method the stub cannot extract.
MemberResult AddArchiveMember(LzhWriter &writer, const ArchiveMember &member,
                              const uint8_t *archive);

} // namespace lzhsfx
