// Header levels 0 and 1 begin with a 1-byte size (of the header from its third byte
// on) and a 1-byte sum of those bytes, store an MS-DOS time, and carry the path in
// the fixed part; level 1 adds extended records behind the fixed part, whose sizes
// its packed-size field includes. Level 2 begins with a 2-byte size of the whole
// header, stores Unix seconds and guards the header with a CRC in its common
// record.
#include "archive_reader.h"

#include <algorithm>

#include "crc16.h"

namespace lzhsfx {
namespace {

constexpr uint8_t kSeparator = 0xFF;

[[noreturn]] void Fail(size_t offset, const std::string &what) {
    throw LzhError("archive: " + what + " in the header at offset " + std::to_string(offset));
}

unsigned Get16(const uint8_t *p) {
    return p[0] | (unsigned{p[1]} << 8);
}

uint32_t Get32(const uint8_t *p) {
    return Get16(p) | (uint32_t{Get16(p + 2)} << 16);
}

uint64_t Get64(const uint8_t *p) {
    return Get32(p) | (uint64_t{Get32(p + 4)} << 32);
}

bool IsLeadByte(uint8_t b) {
    return (b >= 0x81 && b <= 0x9F) || (b >= 0xE0 && b <= 0xFC);
}

// Appends the components of `path` to `parts`, cutting at '/', '\' and 0xFF and
// dropping empty and "." components.
void SplitPath(const std::string &path, bool shift_jis, std::vector<std::string> &parts) {
    std::string part;
    auto finish = [&] {
        if (!part.empty() && part != ".") {
            parts.push_back(part);
        }
        part.clear();
    };
    for (size_t i = 0; i < path.size(); ++i) {
        const uint8_t b = static_cast<uint8_t>(path[i]);
        if (shift_jis && IsLeadByte(b) && i + 1 < path.size()) {
            part += path.substr(i, 2);
            ++i;
        } else if (b == '/' || b == '\\' || b == kSeparator) {
            finish();
        } else {
            part.push_back(static_cast<char>(b));
        }
    }
    finish();
}

// Days from 1970-01-01 to the given date of the proleptic Gregorian calendar.
int64_t DaysFromCivil(int64_t year, unsigned month, unsigned day) {
    year -= month <= 2;
    const int64_t era = (year >= 0 ? year : year - 399) / 400;
    const unsigned year_of_era = static_cast<unsigned>(year - era * 400);
    const unsigned day_of_year = (153 * (month > 2 ? month - 3 : month + 9) + 2) / 5 + day - 1;
    const unsigned day_of_era =
        year_of_era * 365 + year_of_era / 4 - year_of_era / 100 + day_of_year;
    return era * 146097 + static_cast<int64_t>(day_of_era) - 719468;
}

uint32_t DosTimeToUnix(uint32_t dos, int32_t offset) {
    const unsigned second = (dos & 0x1F) * 2;
    const unsigned minute = (dos >> 5) & 0x3F;
    const unsigned hour = (dos >> 11) & 0x1F;
    const unsigned day = std::max(1u, (dos >> 16) & 0x1Fu);
    const unsigned month = std::min(12u, std::max(1u, (dos >> 21) & 0x0Fu));
    const int64_t year = 1980 + (dos >> 25);
    const int64_t t =
        DaysFromCivil(year, month, day) * 86400 + hour * 3600 + minute * 60 + second - offset;
    return static_cast<uint32_t>(std::min<int64_t>(std::max<int64_t>(t, 0), UINT32_MAX));
}

// What the extended records of a level-1 or level-2 header say.
struct Records {
    bool has_name = false, has_directory = false, has_crc = false;
    std::string name, directory;
    size_t crc_offset = 0; // of the header CRC within the header
    uint16_t header_crc = 0;
    bool has_attribute = false;
    uint8_t attribute = 0;
    bool has_unix_time = false;
    uint32_t unix_time = 0;
    bool has_windows_times = false;
    FileTimes windows_times;
};

// Reads the chain of extended records that starts with the size field at `at` and
// whose records lie in data[at + 2, limit). Returns the offset after the chain's
// last record. `header` is where the header starts, for CRC offsets and messages.
size_t ReadRecords(const uint8_t *data, size_t header, size_t at, size_t limit, Records &records) {
    size_t next_size = Get16(data + at);
    size_t pos = at + 2;
    while (next_size != 0) {
        if (next_size < 3 || next_size > limit - pos) {
            Fail(header, "an extended record that does not fit");
        }
        const uint8_t *record = data + pos;
        const size_t length = next_size - 3; // data bytes after the type
        const std::string bytes(reinterpret_cast<const char *>(record + 1), length);
        switch (record[0]) {
        case 0x00:
            if (length >= 2) {
                records.has_crc = true;
                records.crc_offset = pos + 1 - header;
                records.header_crc = static_cast<uint16_t>(Get16(record + 1));
            }
            break;
        case 0x01:
            records.has_name = true;
            records.name = bytes;
            break;
        case 0x02:
            records.has_directory = true;
            records.directory = bytes;
            break;
        case 0x40:
            if (length >= 1) {
                records.has_attribute = true;
                records.attribute = record[1];
            }
            break;
        case 0x41:
            if (length >= 24) {
                records.has_windows_times = true;
                records.windows_times = {Get64(record + 1), Get64(record + 9), Get64(record + 17)};
            }
            break;
        case 0x54:
            if (length >= 4) {
                records.has_unix_time = true;
                records.unix_time = Get32(record + 1);
            }
            break;
        default:
            break;
        }
        next_size = Get16(record + next_size - 2);
        pos += length + 3;
    }
    return pos;
}

// Reads the header at `pos` into `member`; returns the offset of the next header.
size_t ReadHeader(const uint8_t *data, size_t size, size_t pos, const ReadOptions &options,
                  ArchiveMember &member) {
    const size_t left = size - pos;
    if (left < 22) {
        Fail(pos, "a truncated fixed part");
    }
    const uint8_t *h = data + pos;
    member.header_level = h[20];
    member.method.assign(reinterpret_cast<const char *>(h + 2), 5);
    if (member.method[0] != '-' || member.method[4] != '-') {
        Fail(pos, "no method");
    }
    member.unpacked_size = Get32(h + 11);
    member.info.attribute = h[19];
    Records records;
    std::string fixed_name;
    size_t data_offset = 0;
    uint64_t packed = Get32(h + 7);
    uint16_t crc = 0;
    uint32_t dos_time = Get32(h + 15);

    if (member.header_level == 0 || member.header_level == 1) {
        const size_t total = size_t{h[0]} + 2;
        if (total > left || total < 24) {
            Fail(pos, "a truncated header");
        }
        unsigned sum = 0;
        for (size_t i = 2; i < total; ++i) {
            sum += h[i];
        }
        if ((sum & 0xFF) != h[1]) {
            Fail(pos, "a checksum mismatch");
        }
        const size_t name_length = h[21];
        if (22 + name_length + 2 > total) {
            Fail(pos, "a name that does not fit");
        }
        fixed_name.assign(reinterpret_cast<const char *>(h + 22), name_length);
        crc = static_cast<uint16_t>(Get16(h + 22 + name_length));
        data_offset = pos + total;
        if (member.header_level == 1) {
            if (22 + name_length + 5 > total) {
                Fail(pos, "a truncated header");
            }
            data_offset = ReadRecords(data, pos, pos + total - 2, size, records);
            const uint64_t records_size = data_offset - (pos + total);
            if (records_size > packed) {
                Fail(pos, "extended records larger than the packed size");
            }
            packed -= records_size;
        }
    } else if (member.header_level == 2) {
        const size_t total = Get16(h);
        if (total > left || total < 26) {
            Fail(pos, "a truncated header");
        }
        crc = static_cast<uint16_t>(Get16(h + 21));
        ReadRecords(data, pos, pos + 24, pos + total, records);
        if (records.has_crc) {
            std::vector<uint8_t> copy(h, h + total);
            copy[records.crc_offset] = copy[records.crc_offset + 1] = 0;
            if (Crc16(copy.data(), copy.size()) != records.header_crc) {
                Fail(pos, "a header CRC mismatch");
            }
        }
        data_offset = pos + total;
    } else {
        Fail(pos, "header level " + std::to_string(member.header_level));
    }

    if (packed > size - data_offset) {
        Fail(pos, "packed data beyond the end of the archive");
    }
    member.packed_size = packed;
    member.crc = crc;
    member.data_offset = data_offset;
    member.info.time = member.header_level == 2 ? Get32(h + 15)
                       : records.has_unix_time  ? records.unix_time
                                                : DosTimeToUnix(dos_time, options.dos_time_offset);
    if (records.has_attribute) {
        member.info.attribute = records.attribute;
    }
    if (records.has_windows_times) {
        member.info.windows_times = records.windows_times;
    }

    std::vector<std::string> parts;
    SplitPath(records.has_directory ? records.directory : std::string(), options.shift_jis, parts);
    std::vector<std::string> name_parts;
    SplitPath(records.has_name ? records.name : fixed_name, options.shift_jis, name_parts);
    if (member.method == "-lhd-") {
        parts.insert(parts.end(), name_parts.begin(), name_parts.end());
    } else if (!name_parts.empty()) {
        member.info.name = name_parts.back();
        name_parts.pop_back();
        parts.insert(parts.end(), name_parts.begin(), name_parts.end());
    }
    member.info.directory = parts;
    return data_offset + packed;
}

} // namespace

std::vector<ArchiveMember> ReadArchive(const uint8_t *data, size_t size,
                                       const ReadOptions &options) {
    std::vector<ArchiveMember> members;
    size_t pos = 0;
    // A zero byte is the end mark; a level-2 header whose size is a multiple of 256
    // also starts with one, and is told apart by its level byte.
    while (pos < size &&
           (data[pos] != 0 || (size - pos >= 22 && data[pos + 20] == 2 && data[pos + 1] != 0))) {
        ArchiveMember member;
        pos = ReadHeader(data, size, pos, options, member);
        members.push_back(std::move(member));
    }
    return members;
}

MemberResult AddArchiveMember(LzhWriter &writer, const ArchiveMember &member,
                              const uint8_t *archive) {
    const std::string &m = member.method;
    if (m == "-lhd-") {
        return writer.AddDirectory(member.info);
    }
    if (m.size() == 5 && m.compare(0, 3, "-lh") == 0 &&
        (m[3] == '0' || (m[3] >= '4' && m[3] <= '7'))) {
        return writer.AddPacked(member.info, m[3], archive + member.data_offset, member.packed_size,
                                member.unpacked_size, member.crc);
    }
    throw LzhError("archive: method " + m + " cannot be extracted by the stub");
}

} // namespace lzhsfx
