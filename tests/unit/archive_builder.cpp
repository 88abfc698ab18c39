#include "archive_builder.h"

#include <string.h>

uint16_t ReferenceCrc(const std::string &bytes) {
    uint16_t crc = 0;
    for (unsigned char b : bytes) {
        crc ^= b;
        for (int i = 0; i < 8; ++i) {
            crc = (crc & 1) ? static_cast<uint16_t>((crc >> 1) ^ 0xA001)
                            : static_cast<uint16_t>(crc >> 1);
        }
    }
    return crc;
}

static void Put16(std::string &s, size_t at, uint32_t v) {
    s[at] = static_cast<char>(v & 0xFF);
    s[at + 1] = static_cast<char>((v >> 8) & 0xFF);
}

static void Append16(std::string &s, uint32_t v) {
    s.push_back(static_cast<char>(v & 0xFF));
    s.push_back(static_cast<char>((v >> 8) & 0xFF));
}

static void Append32(std::string &s, uint32_t v) {
    Append16(s, v & 0xFFFF);
    Append16(s, v >> 16);
}

uint64_t FileTimeOf(uint32_t unix_seconds) {
    return 116444736000000000ULL + static_cast<uint64_t>(unix_seconds) * 10000000ULL;
}

TestMember Stored(const std::string &name, const std::string &data, uint32_t time,
                  const std::string &dir) {
    TestMember m;
    m.name = name;
    m.dir = dir;
    m.packed = data;
    m.time = time;
    return m;
}

TestMember Directory(const std::string &dir) {
    TestMember m;
    m.method = "-lhd-";
    m.dir = dir;
    m.time = kMemberTime;
    return m;
}

std::string MemberBytes(const TestMember &m) {
    std::vector<std::string> records;
    if (m.common_record) {
        records.push_back(std::string("\x00\x00\x00", 3));
    }
    if (!m.name.empty()) {
        records.push_back("\x01" + m.name);
    }
    if (!m.dir.empty()) {
        records.push_back("\x02" + m.dir);
    }
    if (m.attribute_record >= 0) {
        std::string r("\x40", 1);
        Append16(r, static_cast<uint32_t>(m.attribute_record));
        records.push_back(r);
    }
    if (m.windows_times) {
        std::string r("\x41", 1);
        for (uint64_t t : m.file_times) {
            Append32(r, static_cast<uint32_t>(t));
            Append32(r, static_cast<uint32_t>(t >> 32));
        }
        records.push_back(r);
    }
    for (const std::string &r : m.extra_records) {
        records.push_back(r);
    }

    std::string h;
    Append16(h, 0); // header size, patched below
    h += m.method.substr(0, 5);
    Append32(h, static_cast<uint32_t>(m.packed_size < 0 ? m.packed.size() : m.packed_size));
    Append32(h, static_cast<uint32_t>(m.unpacked_size < 0 ? m.packed.size() : m.unpacked_size));
    Append32(h, m.time);
    h.push_back(static_cast<char>(m.attribute));
    h.push_back(2);
    Append16(h, static_cast<uint32_t>(m.data_crc < 0 ? ReferenceCrc(m.packed) : m.data_crc));
    h.push_back(m.os);
    // Each size field announces the record after it; the last record ends with 0.
    size_t crc_at = 0;
    Append16(h, records.empty() ? 0 : static_cast<uint32_t>(records[0].size() + 2));
    for (size_t i = 0; i < records.size(); ++i) {
        if (records[i][0] == 0 && m.common_record && crc_at == 0) {
            crc_at = h.size() + 1;
        }
        h += records[i];
        Append16(h, i + 1 < records.size() ? static_cast<uint32_t>(records[i + 1].size() + 2) : 0);
    }
    Put16(h, 0, static_cast<uint32_t>(h.size()));
    if (crc_at != 0) {
        uint16_t crc = ReferenceCrc(h);
        Put16(h, crc_at, m.bad_header_crc ? crc ^ 0x0101 : crc);
    }
    return h + m.packed;
}

std::string InstallerBytes(SettingsBlock settings, const std::string &archive, size_t stub_size) {
    if (settings.ArchiveOffset == 0) {
        settings.ArchiveOffset = static_cast<DWORD>(stub_size);
    }
    std::string file(stub_size, '\0');
    file[0] = 'M';
    file[1] = 'Z';
    memcpy(&file[kSettingsOffset], &settings, sizeof settings);
    return file + archive;
}
