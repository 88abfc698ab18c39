// Level-2 headers. Layout: size (2), method (5), packed size (4), unpacked size (4),
// time stamp (4, Unix seconds), attribute (1), level (1) = 2, data CRC (2), OS
// identifier (1), then a chain of extended records, each announced by the 2-byte
// size in front of it (type, data, size of the next record; 0 ends the chain).
#include "lzh_writer.h"

#include <algorithm>

#include "crc16.h"
#include "parallel.h"

namespace lzhsfx {
namespace {

constexpr char kOsIdentifier = 'W';
constexpr size_t kMaxHeaderSize = 32767;          // the stub reads the size as signed 16 bits
constexpr uint64_t kMaxUnpackedSize = 0x7FFFFFFF; // the stub's stored copy counts signed
constexpr uint8_t kSeparator = 0xFF;
// A file this large is compressed on all threads by itself.
constexpr size_t kLargeFile = size_t{4} << 20;

bool IsTrailByte(uint8_t b) {
    return b >= 0x40 && b <= 0xFC && b != 0x7F;
}

// Refuses a path component the stub would read differently: empty, "." or "..", a
// zero byte (ends the name), a separator ('/', '\' or 0xFF outside a double-byte
// character) or a broken double-byte character (it would swallow the separator
// behind it).
void CheckComponent(const std::string &part, const char *what) {
    auto fail = [&](const char *why) {
        throw LzhError(std::string(what) + " \"" + part + "\" " + why);
    };
    if (part.empty()) {
        fail("is empty");
    }
    if (part == "." || part == "..") {
        fail("is not a name");
    }
    for (size_t i = 0; i < part.size(); ++i) {
        const uint8_t b = static_cast<uint8_t>(part[i]);
        if (IsLeadByte(b)) {
            if (i + 1 == part.size() || !IsTrailByte(static_cast<uint8_t>(part[i + 1]))) {
                fail("holds a broken double-byte character");
            }
            ++i;
        } else if (b == 0 || b == '/' || b == '\\' || b == kSeparator) {
            fail("holds a zero byte or a path separator");
        }
    }
}

void Put16(std::vector<uint8_t> &out, unsigned v) {
    out.push_back(static_cast<uint8_t>(v));
    out.push_back(static_cast<uint8_t>(v >> 8));
}

void Put32(std::vector<uint8_t> &out, uint32_t v) {
    Put16(out, v & 0xFFFF);
    Put16(out, v >> 16);
}

// Appends an extended record: its type and data, with its size in the 2 bytes that
// end the previous record (or the fixed part).
void PutRecord(std::vector<uint8_t> &header, uint8_t type, const std::string &data) {
    const size_t size = 3 + data.size();
    header[header.size() - 2] = static_cast<uint8_t>(size);
    header[header.size() - 1] = static_cast<uint8_t>(size >> 8);
    header.push_back(type);
    header.insert(header.end(), data.begin(), data.end());
    Put16(header, 0);
}

std::string Bytes16(unsigned v) {
    return {static_cast<char>(v & 0xFF), static_cast<char>((v >> 8) & 0xFF)};
}

std::string Bytes64(uint64_t v) {
    std::string s;
    for (int i = 0; i < 8; ++i) {
        s.push_back(static_cast<char>((v >> (8 * i)) & 0xFF));
    }
    return s;
}

// `special` allows the names of the notice and the directives.
std::vector<uint8_t> MakeHeader(const MemberInfo &info, char method, uint64_t packed_size,
                                uint64_t unpacked_size, uint16_t crc, bool special) {
    std::string directory = info.absolute ? std::string(1, static_cast<char>(kSeparator)) : "";
    for (const std::string &part : info.directory) {
        CheckComponent(part, "directory");
        directory += part;
        directory.push_back(static_cast<char>(kSeparator));
    }
    if (method == 'd') {
        if (!info.name.empty() || info.directory.empty()) {
            throw LzhError("a directory entry needs a directory and no file name");
        }
    } else {
        CheckComponent(info.name, "file name");
        if (!special && directory.empty() && (info.name == "!" || info.name == "$")) {
            throw LzhError("file name \"" + info.name +
                           "\" at the top is reserved for the notice and the directives");
        }
    }
    if (directory.size() + info.name.size() > kMaxMemberPath) {
        throw LzhError("path \"" + directory + info.name + "\" is longer than " +
                       std::to_string(kMaxMemberPath) + " bytes");
    }
    if (packed_size > 0xFFFFFFFF || unpacked_size > kMaxUnpackedSize) {
        throw LzhError("member \"" + info.name + "\" is 2 GiB or larger");
    }

    std::vector<uint8_t> header;
    Put16(header, 0); // header size, set below
    header.push_back('-');
    header.push_back('l');
    header.push_back('h');
    header.push_back(static_cast<uint8_t>(method));
    header.push_back('-');
    Put32(header, static_cast<uint32_t>(packed_size));
    Put32(header, static_cast<uint32_t>(unpacked_size));
    Put32(header, info.time);
    header.push_back(info.attribute);
    header.push_back(2);
    Put16(header, crc);
    header.push_back(kOsIdentifier);
    Put16(header, 0); // size of the first extended record

    // Readers take a first byte of 0 for the end mark, so a header whose size would be
    // a multiple of 256 carries one byte more in its common record, where every
    // reader ignores it.
    const size_t records =
        5 + (3 + info.name.size()) + (directory.empty() ? 0 : 3 + directory.size()) + 5 + 27;
    const bool pad = ((header.size() + records) & 0xFF) == 0;
    PutRecord(header, 0x00, pad ? Bytes16(0) + '\0' : Bytes16(0));
    const size_t crc_field = header.size() - (pad ? 5 : 4);
    PutRecord(header, 0x01, info.name);
    if (!directory.empty()) {
        PutRecord(header, 0x02, directory);
    }
    PutRecord(header, 0x40, Bytes16(info.attribute));
    const FileTimes times = info.windows_times.value_or(
        FileTimes{UnixToFileTime(info.time), UnixToFileTime(info.time), UnixToFileTime(info.time)});
    PutRecord(header, 0x41,
              Bytes64(times.creation) + Bytes64(times.last_write) + Bytes64(times.last_access));
    if (header.size() > kMaxHeaderSize) {
        throw LzhError("header of \"" + info.name + "\" is larger than 32767 bytes");
    }
    header[0] = static_cast<uint8_t>(header.size());
    header[1] = static_cast<uint8_t>(header.size() >> 8);
    const uint16_t header_crc = Crc16(header.data(), header.size());
    header[crc_field] = static_cast<uint8_t>(header_crc);
    header[crc_field + 1] = static_cast<uint8_t>(header_crc >> 8);
    return header;
}

void CheckFileSize(const MemberInfo &info, uint64_t size) {
    if (size > kMaxUnpackedSize) {
        throw LzhError("file \"" + info.name + "\" is 2 GiB or larger");
    }
}

} // namespace

uint64_t UnixToFileTime(uint32_t unix_seconds) {
    constexpr uint64_t kSecondsFrom1601To1970 = 11644473600;
    return (unix_seconds + kSecondsFrom1601To1970) * 10000000;
}

std::vector<uint8_t> PackedHeader(const MemberInfo &info, char method, uint64_t packed_size,
                                  uint32_t unpacked_size, uint16_t crc) {
    if (method != '0' && (method < '4' || method > '7')) {
        throw LzhError(std::string("method -lh") + method + "- cannot be extracted by the stub");
    }
    if (method == '0' && packed_size != unpacked_size) {
        throw LzhError("stored member \"" + info.name +
                       "\" has different packed and unpacked sizes");
    }
    // A notice or directive member taken over from another archive: only its size
    // can be checked without decoding it.
    const bool special = info.directory.empty() && (info.name == "!" || info.name == "$");
    const size_t limit = info.name == "!" ? kMaxNoticeText : kMaxDirectiveText;
    if (special && unpacked_size > limit) {
        throw LzhError("member \"" + info.name + "\" is longer than " + std::to_string(limit) +
                       " bytes");
    }
    return MakeHeader(info, method, packed_size, unpacked_size, crc, special);
}

std::vector<uint8_t> FileHeader(const MemberInfo &info, char method, uint64_t packed_size,
                                uint64_t size, uint16_t crc) {
    CheckFileSize(info, size);
    return MakeHeader(info, method, packed_size, size, crc, false);
}

std::vector<uint8_t> DirectoryHeader(const MemberInfo &info) {
    return MakeHeader(info, 'd', 0, 0, 0, false);
}

MemberResult LzhWriter::AddMember(const std::vector<uint8_t> &header, char method,
                                  const uint8_t *packed, size_t packed_size, uint16_t crc) {
    members_.insert(members_.end(), header.begin(), header.end());
    members_.insert(members_.end(), packed, packed + packed_size);
    checksum_ ^= crc;
    return {method, packed_size, crc};
}

MemberResult LzhWriter::AddData(const MemberInfo &info, const uint8_t *data, size_t size,
                                Method method, int level, bool special) {
    CheckFileSize(info, size);
    return AddCompressed(info, data, size, Crc16(data, size), Compress(method, data, size, level),
                         method, special);
}

// Adds the file as packed, or stored when packing did not make it smaller.
MemberResult LzhWriter::AddCompressed(const MemberInfo &info, const uint8_t *data, size_t size,
                                      uint16_t crc, const std::vector<uint8_t> &packed,
                                      Method method, bool special) {
    const bool smaller = packed.size() < size;
    const char id = smaller ? ParamsOf(method).id : '0';
    const uint8_t *bytes = smaller ? packed.data() : data;
    const size_t n = smaller ? packed.size() : size;
    return AddMember(MakeHeader(info, id, n, size, crc, special), id, bytes, n, crc);
}

std::vector<MemberResult> LzhWriter::AddFiles(const std::vector<FileData> &files, Method method,
                                              int level, int threads) {
    // Every refusal comes before any work and before anything is added.
    for (const FileData &file : files) {
        CheckFileSize(file.info, file.size);
        MakeHeader(file.info, '0', file.size, file.size, 0, false);
    }
    // Small files go one per thread, largest first so that the threads finish
    // together; a large one has its segments spread over the threads instead.
    std::vector<size_t> order;
    for (size_t i = 0; i < files.size(); ++i) {
        if (files[i].size < kLargeFile) {
            order.push_back(i);
        }
    }
    std::stable_sort(order.begin(), order.end(),
                     [&](size_t a, size_t b) { return files[a].size > files[b].size; });
    std::vector<std::vector<uint8_t>> packed(files.size());
    std::vector<uint16_t> crcs(files.size());
    ParallelFor(order.size(), threads, [&](size_t k) {
        const FileData &file = files[order[k]];
        packed[order[k]] = Compress(method, file.data, file.size, level, 1);
        crcs[order[k]] = Crc16(file.data, file.size);
    });
    std::vector<MemberResult> results;
    for (size_t i = 0; i < files.size(); ++i) {
        const FileData &file = files[i];
        if (file.size >= kLargeFile) {
            packed[i] = Compress(method, file.data, file.size, level, threads);
            crcs[i] = Crc16(file.data, file.size);
        }
        results.push_back(
            AddCompressed(file.info, file.data, file.size, crcs[i], packed[i], method, false));
        std::vector<uint8_t>().swap(packed[i]);
    }
    return results;
}

MemberResult LzhWriter::AddFile(const MemberInfo &info, const uint8_t *data, size_t size,
                                Method method, int level) {
    return AddData(info, data, size, method, level, false);
}

MemberResult LzhWriter::AddDirectory(const MemberInfo &info) {
    return AddMember(DirectoryHeader(info), 'd', nullptr, 0, 0);
}

MemberResult LzhWriter::AddPacked(const MemberInfo &info, char method, const uint8_t *packed,
                                  size_t packed_size, uint32_t unpacked_size, uint16_t crc) {
    return AddMember(PackedHeader(info, method, packed_size, unpacked_size, crc), method, packed,
                     packed_size, crc);
}

MemberResult LzhWriter::AddSpecial(const std::string &name, const std::string &text, size_t limit,
                                   Method method) {
    if (text.size() > limit) {
        throw LzhError("member \"" + name + "\" is longer than " + std::to_string(limit) +
                       " bytes");
    }
    if (text.find('\0') != std::string::npos) {
        throw LzhError("member \"" + name + "\" holds a zero byte");
    }
    MemberInfo info;
    info.name = name;
    return AddData(info, reinterpret_cast<const uint8_t *>(text.data()), text.size(), method,
                   kMaxLevel, true);
}

MemberResult LzhWriter::AddNotice(const std::string &text, Method method) {
    return AddSpecial("!", text, kMaxNoticeText, method);
}

MemberResult LzhWriter::AddDirectives(const std::string &text, Method method) {
    return AddSpecial("$", text, kMaxDirectiveText, method);
}

std::vector<uint8_t> LzhWriter::Finish() const {
    std::vector<uint8_t> archive;
    if (checksum_wanted_) {
        Put16(archive, checksum_);
    }
    archive.insert(archive.end(), members_.begin(), members_.end());
    archive.push_back(0);
    return archive;
}

} // namespace lzhsfx
