#include "installer_archive.h"

#include <map>

#include "lh1_decoder.h"

namespace lzhsfx {
namespace {

// A path component with its ASCII letters in lower case, double-byte characters kept.
std::string Folded(const std::string &part) {
    std::string s = part;
    for (size_t i = 0; i < s.size(); ++i) {
        const uint8_t b = static_cast<uint8_t>(s[i]);
        if (IsLeadByte(b)) {
            ++i;
        } else if (b >= 'A' && b <= 'Z') {
            s[i] = static_cast<char>(b + ('a' - 'A'));
        }
    }
    return s;
}

bool LeadsUp(const ArchiveMember &m) {
    for (const std::string &part : m.info.directory) {
        if (part == "..") {
            return true;
        }
    }
    return m.info.name == "..";
}

// Adds one member the installer can take; throws LzhError with the reason when it
// cannot. A -lh1- member, the method older LHA versions wrote by default, is decoded
// by the tool and packed anew in a method the installer reads.
void AddForInstaller(LzhWriter &writer, const ArchiveMember &m, const uint8_t *data) {
    if (LeadsUp(m)) {
        throw LzhError("its path leads up out of the folder with \"..\"");
    }
    if (m.method == "-lh1-" && m.header_level <= 2 && m.unpacked_size <= 0x7FFFFFFF) {
        AddDecodedMember(writer, m,
                         DecodeLh1(data + m.data_offset, static_cast<size_t>(m.packed_size),
                                   static_cast<size_t>(m.unpacked_size)));
        return;
    }
    AddArchiveMember(writer, m, data);
}

} // namespace

InstallerArchive ForInstaller(const uint8_t *data, size_t size, const ReadOptions &options) {
    ArchiveContents contents = ReadArchiveContents(data, size, options);
    InstallerArchive archive;
    archive.end = contents.end;
    archive.trailing = contents.trailing;
    archive.as_stored = contents.trailing == 0;
    LzhWriter writer;
    for (ArchiveMember &m : contents.members) {
        InstallerMember entry;
        try {
            AddForInstaller(writer, m, data);
        } catch (const LzhError &e) {
            entry.refusal = e.what();
        }
        archive.as_stored =
            archive.as_stored && entry.refusal.empty() && m.header_level == 2 && m.quirks.empty();
        entry.member = std::move(m);
        archive.members.push_back(std::move(entry));
    }
    if (archive.as_stored) {
        for (const InstallerMember &entry : archive.members) {
            archive.checksum ^= entry.member.crc;
        }
    } else {
        archive.rewritten = writer.Finish();
        archive.checksum = writer.Checksum();
    }
    return archive;
}

std::string OutsideReason(const ArchiveMember &m) {
    if (m.absolute) {
        return "its path starts at the root of the drive";
    }
    const std::string &first = m.info.directory.empty() ? m.info.name : m.info.directory[0];
    const uint8_t letter = first.empty() ? 0 : static_cast<uint8_t>(first[0]);
    if (first.size() >= 2 && first[1] == ':' && letter < 0x80) {
        return "its path starts with a drive letter";
    }
    return "";
}

bool FindPathConflict(const std::vector<InstallerMember> &members, PathConflict *conflict) {
    struct Made {
        bool file;
        size_t by;
    };
    std::map<std::string, Made> made;
    for (size_t i = 0; i < members.size(); ++i) {
        const ArchiveMember &m = members[i].member;
        if (!members[i].refusal.empty() || (m.info.directory.empty() && !m.absolute &&
                                            (m.info.name == "!" || m.info.name == "$"))) {
            continue; // not extracted
        }
        std::string key = m.absolute ? "/" : "";
        for (const std::string &part : m.info.directory) {
            key += Folded(part) + '/';
            const auto it = made.find(key);
            if (it != made.end() && it->second.file) {
                *conflict = {i, it->second.by, true};
                return true;
            }
            made.insert({key, {false, i}});
        }
        if (m.method != "-lhd-") {
            key += Folded(m.info.name) + '/';
            const auto it = made.find(key);
            if (it != made.end() && !it->second.file) {
                *conflict = {i, it->second.by, false};
                return true;
            }
            made[key] = {true, i};
        }
    }
    return false;
}

} // namespace lzhsfx
