// Header levels 0 and 1 begin with a 1-byte size (of the header from its third byte
// on) and a 1-byte sum of those bytes, store an MS-DOS time, and carry the path in
// the fixed part; level 1 adds extended records behind the fixed part, whose sizes
// its packed-size field includes. Level 2 begins with a 2-byte size of the whole
// header, stores Unix seconds and guards the header with a CRC in its common
// record. Level 3 is level 2 with 4-byte sizes: the header's at offset 24, and each
// record's.
//
// The LHA tools of other systems write headers the installer would read otherwise
// than they mean: these are read as lhasa reads them, and each such header says in
// `quirks` how it differs.
#include "archive_reader.h"

#include <algorithm>
#include <cstring>

#include "crc16.h"

namespace lzhsfx {
namespace {

constexpr uint8_t kSeparator = 0xFF;

[[noreturn]] void Fail(uint64_t offset, const std::string &what) {
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

bool IsSeparator(uint8_t b) {
    return b == '/' || b == '\\' || b == kSeparator;
}

// How a stored path begins and ends.
struct PathShape {
    bool leading = false;  // with a separator
    bool trailing = false; // with a separator outside a double-byte character
};

// Appends the components of `path` to `parts`, cutting at '/', '\' and 0xFF and
// dropping empty and "." components.
PathShape SplitPath(const std::string &path, bool shift_jis, std::vector<std::string> &parts) {
    PathShape shape;
    shape.leading = !path.empty() && IsSeparator(static_cast<uint8_t>(path[0]));
    std::string part;
    auto finish = [&] {
        if (!part.empty() && part != ".") {
            parts.push_back(part);
        }
        part.clear();
    };
    for (size_t i = 0; i < path.size(); ++i) {
        const uint8_t b = static_cast<uint8_t>(path[i]);
        shape.trailing = false;
        if (shift_jis && IsLeadByte(b) && i + 1 < path.size()) {
            part += path.substr(i, 2);
            ++i;
        } else if (IsSeparator(b)) {
            finish();
            shape.trailing = true;
        } else {
            part.push_back(static_cast<char>(b));
        }
    }
    finish();
    return shape;
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

size_t GetSize(const uint8_t *p, size_t width) {
    return width == 2 ? Get16(p) : Get32(p);
}

// Headers are read in blocks of this size, so that the walk over small members takes
// one read for many headers.
constexpr size_t kReadBlock = 16384;
// The largest level-3 header taken: real ones are a few hundred bytes.
constexpr uint64_t kMaxLevel3Header = uint64_t{1} << 20;

std::string Plural(uint64_t n, const char *unit) {
    return std::to_string(n) + " " + unit + (n == 1 ? "" : "s");
}

// The offset of the first single-byte `c` in `s`, passing over double-byte characters
// when `shift_jis`, or npos.
size_t FindCharacter(const std::string &s, char c, bool shift_jis) {
    for (size_t i = 0; i < s.size(); ++i) {
        if (shift_jis && IsLeadByte(static_cast<uint8_t>(s[i]))) {
            ++i;
        } else if (s[i] == c) {
            return i;
        }
    }
    return std::string::npos;
}

// Whether a header of `level` written on the system `os_id` has MS-DOS names, which
// LHA tools for MS-DOS and OS/2 store in capitals: level 0 has no system byte and is
// taken as MS-DOS, as a zero system byte is.
bool HasDosNames(int level, uint8_t os_id) {
    return level == 0 || os_id == 'M' || os_id == '2' || os_id == 0;
}

// Puts an MS-DOS path that has no small letter at all into small letters, as lhasa and
// the Unix LHA tools extract it; double-byte characters are kept as they are, where a
// byte-wise conversion would change their trail bytes. Returns whether a letter changed.
bool LowerDosCapitals(std::string &directory, std::string &name, bool shift_jis) {
    bool capitals = false;
    for (const std::string *s : {&directory, &name}) {
        for (size_t i = 0; i < s->size(); ++i) {
            const uint8_t b = static_cast<uint8_t>((*s)[i]);
            if (shift_jis && IsLeadByte(b)) {
                ++i;
            } else if (b >= 'a' && b <= 'z') {
                return false;
            } else if (b >= 'A' && b <= 'Z') {
                capitals = true;
            }
        }
    }
    for (std::string *s : {&directory, &name}) {
        for (size_t i = 0; capitals && i < s->size(); ++i) {
            const uint8_t b = static_cast<uint8_t>((*s)[i]);
            if (shift_jis && IsLeadByte(b)) {
                ++i;
            } else if (b >= 'A' && b <= 'Z') {
                (*s)[i] = static_cast<char>(b + ('a' - 'A'));
            }
        }
    }
    return capitals;
}

// Sets the member's path from the stored directory and file names.
void SetPath(std::string directory, std::string name, bool dos_names, const ReadOptions &options,
             ArchiveMember &member) {
    const size_t zero = name.find('\0');
    if (zero != std::string::npos) {
        member.comment = name.substr(zero + 1);
        name.resize(zero);
        member.quirks.push_back("a comment after the name");
    }
    if (member.method == "-lhd-") {
        const size_t bar = FindCharacter(name, '|', options.shift_jis);
        if (bar != std::string::npos) {
            member.link_target = name.substr(bar + 1);
            name.resize(bar);
        }
    }
    if (dos_names && LowerDosCapitals(directory, name, options.shift_jis)) {
        member.quirks.push_back("an MS-DOS name in capitals, taken in small letters");
    }
    std::vector<std::string> parts;
    const PathShape folder = SplitPath(directory, options.shift_jis, parts);
    std::vector<std::string> name_parts;
    const PathShape file = SplitPath(name, options.shift_jis, name_parts);
    member.absolute = directory.empty() ? file.leading : folder.leading;
    if (member.header_level >= 2 && !directory.empty() && !folder.trailing) {
        member.quirks.push_back("a directory name without a separator at its end");
    }
    bool folder_entry = member.method == "-lhd-" && member.link_target.empty();
    if (folder_entry && member.packed_size != 0) {
        member.dropped_data = member.packed_size;
        member.quirks.push_back("a directory entry with " + Plural(member.packed_size, "byte") +
                                " of data, which is dropped");
    } else if (!folder_entry && (member.info.attribute & 0x10) != 0) {
        // OS/2 LH/2 keeps a folder's extended attributes as the data of its entry.
        folder_entry = true;
        member.dropped_data = member.packed_size;
        member.quirks.push_back(member.packed_size == 0
                                    ? "a directory stored as " + member.method
                                    : "a directory stored with " +
                                          Plural(member.unpacked_size, "byte") +
                                          " of data (its extended attributes), which is dropped");
    } else if (!folder_entry && file.trailing && member.packed_size == 0 &&
               member.unpacked_size == 0) {
        folder_entry = true;
        member.quirks.push_back("a directory stored as " + member.method +
                                " with a name ending in a separator");
    } else if (!folder_entry && name_parts.empty() && !parts.empty() && member.packed_size == 0 &&
               member.unpacked_size == 0) {
        // Amiga LhA stores an empty folder so: a directory record and no file name.
        folder_entry = true;
        member.quirks.push_back("a directory stored as " + member.method +
                                " with a directory record and no file name");
    }
    if (folder_entry) {
        member.method = "-lhd-";
        parts.insert(parts.end(), name_parts.begin(), name_parts.end());
        // Unix LHa and OSK LHa store the folder the archive was made of as a directory
        // entry without a name.
        member.itself = parts.empty();
    } else if (!name_parts.empty()) {
        member.info.name = name_parts.back();
        name_parts.pop_back();
        parts.insert(parts.end(), name_parts.begin(), name_parts.end());
    }
    member.info.directory = parts;
}

} // namespace

// What the extended records of a header say.
struct ArchiveWalker::Records {
    bool has_name = false, has_directory = false, has_crc = false;
    std::string name, directory;
    uint64_t crc_offset = 0; // of the header CRC within the header
    uint16_t header_crc = 0;
    bool has_attribute = false;
    uint8_t attribute = 0;
    bool has_unix_time = false;
    uint32_t unix_time = 0;
    bool has_windows_times = false;
    FileTimes windows_times;
    bool has_sizes64 = false;
    uint64_t packed64 = 0, unpacked64 = 0;
};

ArchiveWalker::ArchiveWalker(const ByteSource &source, const ReadOptions &options)
    : source_(source), options_(options) {}

const uint8_t *ArchiveWalker::Bytes(uint64_t offset, size_t n) {
    if (offset < base_ || offset - base_ > filled_ || n > filled_ - (offset - base_)) {
        const uint64_t left = source_.size() - offset;
        const size_t want = static_cast<size_t>(std::min<uint64_t>(std::max(n, kReadBlock), left));
        if (buffer_.size() < want) {
            buffer_.resize(want);
        }
        filled_ = 0;
        source_.Read(offset, buffer_.data(), want);
        base_ = offset;
        filled_ = want;
    }
    return buffer_.data() + (offset - base_);
}

// Reads the chain of extended records that starts with the size field at `at` and
// whose records lie in [at + width, limit); `width` is the size fields' width, 2 or 4
// (level 3). Returns the offset after the chain's last record. `header` is where the
// header starts, for CRC offsets and messages.
uint64_t ArchiveWalker::ReadRecords(uint64_t header, uint64_t at, uint64_t limit, size_t width,
                                    Records &records) {
    size_t next_size = GetSize(Bytes(at, width), width);
    uint64_t pos = at + width;
    while (next_size != 0) {
        if (next_size < 1 + width || next_size > limit - pos) {
            Fail(header, "an extended record that does not fit");
        }
        const uint8_t *record = Bytes(pos, next_size);
        const size_t length = next_size - 1 - width; // data bytes after the type
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
        case 0x42:
            if (length >= 16) {
                records.has_sizes64 = true;
                records.packed64 = Get64(record + 1);
                records.unpacked64 = Get64(record + 9);
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
        pos += next_size;
        next_size = GetSize(record + next_size - width, width);
    }
    return pos;
}

// Checks the CRC of the header [pos, end), taken with its own two bytes zeroed, when
// it has one.
void ArchiveWalker::CheckHeaderCrc(uint64_t pos, uint64_t end, const Records &records,
                                   ArchiveMember &member) {
    if (!records.has_crc) {
        member.quirks.push_back("no header CRC");
        return;
    }
    if (records.crc_offset + 2 > end - pos) {
        Fail(pos, "a header CRC outside the header");
    }
    const size_t size = static_cast<size_t>(end - pos);
    const size_t at = static_cast<size_t>(records.crc_offset);
    const uint8_t *h = Bytes(pos, size);
    const uint8_t zeros[2] = {0, 0};
    const uint16_t crc = Crc16(h + at + 2, size - at - 2, Crc16(zeros, 2, Crc16(h, at)));
    if (crc != records.header_crc) {
        Fail(pos, "a header CRC mismatch");
    }
}

// Reads the header at `pos` into `member`; returns the offset of the next header.
uint64_t ArchiveWalker::ReadHeader(uint64_t pos, ArchiveMember &member) {
    const uint64_t size = source_.size();
    const uint64_t left = size - pos;
    if (left < 22) {
        Fail(pos, "a truncated fixed part");
    }
    // The fixed part, and the whole of a level-0 or level-1 header (at most 257 bytes).
    uint8_t h[257 + 2];
    const size_t have = static_cast<size_t>(std::min<uint64_t>(left, sizeof h));
    std::memcpy(h, Bytes(pos, have), have);
    member.header_offset = pos;
    member.header_level = h[20];
    member.method.assign(reinterpret_cast<const char *>(h + 2), 5);
    if (member.method[0] != '-' || member.method[4] != '-') {
        Fail(pos, "no method");
    }
    member.unpacked_size = Get32(h + 11);
    member.info.attribute = h[19];
    Records records;
    std::string fixed_name;
    uint64_t data_offset = 0;
    uint64_t packed = Get32(h + 7);
    uint16_t crc = 0;
    uint32_t dos_time = Get32(h + 15);
    uint8_t os_id = 0;

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
            os_id = h[22 + name_length + 2];
            data_offset = ReadRecords(pos, pos + total - 2, size, 2, records);
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
        os_id = h[23];
        uint64_t end = ReadRecords(pos, pos + 24, size, 2, records);
        if (end > pos + total) {
            // OS-9/68k LHa counts the header 2 bytes short; its records say where it ends.
            if (end - (pos + total) != 2) {
                Fail(pos, "extended records beyond the header size");
            }
            member.quirks.push_back("a header size 2 bytes short of its records");
        } else {
            end = pos + total;
        }
        CheckHeaderCrc(pos, end, records, member);
        data_offset = end;
    } else if (member.header_level == 3) {
        if (left < 32 || Get16(h) != 4) {
            Fail(pos, "a truncated header");
        }
        const uint64_t total = Get32(h + 24);
        if (total > left || total < 32) {
            Fail(pos, "a truncated header");
        }
        if (total > kMaxLevel3Header) {
            Fail(pos, "a level-3 header of more than 1 MiB");
        }
        crc = static_cast<uint16_t>(Get16(h + 21));
        os_id = h[23];
        ReadRecords(pos, pos + 28, pos + total, 4, records);
        CheckHeaderCrc(pos, pos + total, records, member);
        data_offset = pos + total;
    } else {
        Fail(pos, "header level " + std::to_string(member.header_level));
    }
    if (records.has_sizes64) {
        packed = records.packed64;
        member.unpacked_size = records.unpacked64;
        member.quirks.push_back("64-bit sizes");
    }

    if (packed > size - data_offset) {
        Fail(pos, "packed data beyond the end of the archive");
    }
    member.packed_size = packed;
    member.crc = crc;
    member.data_offset = data_offset;
    member.info.time = member.header_level >= 2 ? Get32(h + 15)
                       : records.has_unix_time  ? records.unix_time
                                                : DosTimeToUnix(dos_time, options_.dos_time_offset);
    if (records.has_attribute) {
        member.info.attribute = records.attribute;
    }
    if (records.has_windows_times) {
        member.info.windows_times = records.windows_times;
    }
    SetPath(records.has_directory ? records.directory : std::string(),
            records.has_name ? records.name : fixed_name, HasDosNames(member.header_level, os_id),
            options_, member);
    member.info.absolute = member.absolute;
    return data_offset + packed;
}

bool ArchiveWalker::Next(ArchiveMember *member) {
    if (done_) {
        return false;
    }
    const uint64_t size = source_.size();
    // A zero byte is the end mark; a level-2 header whose size is a multiple of 256
    // also starts with one, and is told apart by its level byte.
    if (pos_ < size) {
        const uint8_t *p = Bytes(pos_, static_cast<size_t>(std::min<uint64_t>(size - pos_, 22)));
        if (p[0] != 0 || (size - pos_ >= 22 && p[20] == 2 && p[1] != 0)) {
            *member = ArchiveMember();
            pos_ = ReadHeader(pos_, *member);
            return true;
        }
    }
    done_ = true;
    end_ = pos_;
    uint64_t pos = pos_;
    if (pos < size) {
        // The end mark, and a second zero byte of a two-byte one.
        ++pos;
        if (pos + 1 == size && Bytes(pos, 1)[0] == 0) {
            ++pos;
        }
    }
    trailing_ = size - pos;
    return false;
}

std::vector<ArchiveMember> ReadArchive(const uint8_t *data, size_t size,
                                       const ReadOptions &options) {
    const MemorySource source(data, size);
    ArchiveWalker walker(source, options);
    std::vector<ArchiveMember> members;
    ArchiveMember m;
    while (walker.Next(&m)) {
        members.push_back(std::move(m));
    }
    return members;
}

std::string InstallerRefusal(const ArchiveMember &member) {
    const std::string &m = member.method;
    if (member.header_level > 2) {
        return "it has a level-" + std::to_string(member.header_level) +
               " header, which the installer cannot read";
    }
    if (!member.link_target.empty()) {
        return "it is a symbolic link to \"" + member.link_target +
               "\", which the installer cannot make";
    }
    if (m != "-lhd-" && m != "-lh0-" &&
        !(m.compare(0, 3, "-lh") == 0 && m[3] >= '4' && m[3] <= '7')) {
        return "it uses the method " + m + ", which the installer cannot extract";
    }
    if (m == "-lhd-") {
        return "";
    }
    if (member.unpacked_size > 0xFFFFFFFF || member.packed_size > 0xFFFFFFFF) {
        return "it is " + std::to_string(member.unpacked_size) +
               " bytes, more than the installer's 32-bit sizes hold";
    }
    if (member.unpacked_size > 0x7FFFFFFF) {
        return "it is " + std::to_string(member.unpacked_size) +
               " bytes; the installer holds members below 2 GiB";
    }
    if (m == "-lh0-" && member.packed_size != member.unpacked_size) {
        return "it is stored (-lh0-) with a packed size of " + std::to_string(member.packed_size) +
               " but a size of " + std::to_string(member.unpacked_size);
    }
    return "";
}

std::vector<uint8_t> InstallerHeader(const ArchiveMember &member) {
    const std::string refusal = InstallerRefusal(member);
    if (!refusal.empty()) {
        throw LzhError(refusal);
    }
    if (member.method == "-lhd-") {
        return DirectoryHeader(member.info);
    }
    return PackedHeader(member.info, member.method[3], member.packed_size,
                        static_cast<uint32_t>(member.unpacked_size), member.crc);
}

} // namespace lzhsfx
