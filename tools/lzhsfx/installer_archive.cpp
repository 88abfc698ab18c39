#include "installer_archive.h"

#include <map>

#include "crc16.h"
#include "encoder.h"
#include "lh1_decoder.h"

namespace lzhsfx {
namespace {

bool LeadsUp(const ArchiveMember &m) {
    for (const std::string &part : m.info.directory) {
        if (part == "..") {
            return true;
        }
    }
    return m.info.name == "..";
}

// A member's bytes in the installer's archive: its new header, then its packed data
// from `data` (the source or the spool) at `offset`.
struct Rewritten {
    std::vector<uint8_t> header;
    const ByteSource *data = nullptr;
    uint64_t offset = 0, size = 0;
    uint16_t crc = 0;
};

// Decodes a -lh1- member, the method older LHA versions wrote by default, and packs it
// anew with -lh7- (stored when that is not smaller) into `spool`.
Rewritten PackAnew(const ByteSource &source, Spool &spool, const ArchiveMember &m) {
    std::vector<uint8_t> packed(static_cast<size_t>(m.packed_size));
    source.Read(m.data_offset, packed.data(), packed.size());
    const std::vector<uint8_t> data =
        DecodeLh1(packed.data(), packed.size(), static_cast<size_t>(m.unpacked_size));
    if (data.size() != m.unpacked_size) {
        throw LzhError("it decodes to " + std::to_string(data.size()) + " bytes, the header says " +
                       std::to_string(m.unpacked_size));
    }
    if (Crc16(data.data(), data.size()) != m.crc) {
        throw LzhError("its data does not match the CRC of its header");
    }
    packed = Compress(Method::kLh7, data.data(), data.size());
    const bool smaller = packed.size() < data.size();
    const std::vector<uint8_t> &bytes = smaller ? packed : data;
    Rewritten r;
    r.header = FileHeader(m.info, smaller ? '7' : '0', bytes.size(), data.size(), m.crc);
    r.data = &spool;
    r.offset = spool.Append(bytes.data(), bytes.size());
    r.size = bytes.size();
    r.crc = m.crc;
    return r;
}

// What the installer's archive holds of one member it can take; throws LzhError with
// the reason when it cannot.
Rewritten Rewrite(const ByteSource &source, Spool &spool, const ArchiveMember &m) {
    if (LeadsUp(m)) {
        throw LzhError("its path leads up out of the folder with \"..\"");
    }
    if (m.method == "-lh1-" && m.header_level <= 2 && m.unpacked_size <= 0x7FFFFFFF) {
        return PackAnew(source, spool, m);
    }
    Rewritten r;
    r.header = InstallerHeader(m);
    if (m.method != "-lhd-") {
        r.data = &source;
        r.offset = m.data_offset;
        r.size = m.packed_size;
        r.crc = m.crc;
    }
    return r;
}

// Whether the installer can read the member's header as it is stored.
bool StoredAsTheInstallerReads(const ArchiveMember &m) {
    return m.header_level == 2 && m.quirks.empty() && m.method != "-lh1-" && !m.itself;
}

// Lays out the installer's archive in `archive.rewritten`.
class Layout {
  public:
    Layout(const ByteSource &source, Spool &spool, InstallerArchive &archive)
        : source_(source), spool_(spool), archive_(archive) {}

    void Add(const Rewritten &r) {
        archive_.rewritten.Add(&spool_, spool_.Append(r.header.data(), r.header.size()),
                               r.header.size());
        archive_.rewritten.Add(r.data, r.offset, r.size);
        archive_.checksum ^= r.crc;
    }

    // The members before `count`, all taken as they are stored, with headers of their
    // own.
    void AddStored(size_t count, const ReadOptions &options) {
        archive_.checksum = 0;
        ArchiveWalker walker(source_, options);
        ArchiveMember m;
        for (size_t i = 0; i < count && walker.Next(&m); ++i) {
            Add(Rewrite(source_, spool_, m));
        }
    }

    void Finish() {
        const uint8_t end_mark = 0;
        archive_.rewritten.Add(&spool_, spool_.Append(&end_mark, 1), 1);
    }

  private:
    const ByteSource &source_;
    Spool &spool_;
    InstallerArchive &archive_;
};

} // namespace

InstallerArchive ForInstaller(const ByteSource &source, Spool &spool,
                              const std::function<void(const InstallerMember &)> &visit,
                              const ReadOptions &options) {
    // The archive is taken as stored until a member says otherwise; the headers of the
    // members before it are then written anew, and those of all after it.
    InstallerArchive archive;
    Layout layout(source, spool, archive);
    bool rewriting = false;
    ArchiveWalker walker(source, options);
    InstallerMember entry;
    while (walker.Next(&entry.member)) {
        if (!rewriting && !StoredAsTheInstallerReads(entry.member)) {
            rewriting = true;
            layout.AddStored(archive.members, options);
        }
        entry.refusal.clear();
        Rewritten r;
        try {
            if (!entry.member.itself) {
                r = Rewrite(source, spool, entry.member);
            }
        } catch (const LzhError &e) {
            entry.refusal = e.what();
        }
        if (!rewriting && !entry.refusal.empty()) {
            rewriting = true;
            layout.AddStored(archive.members, options);
        }
        if (!rewriting) {
            archive.checksum ^= entry.member.crc;
        } else if (entry.refusal.empty() && !entry.member.itself) {
            layout.Add(r);
        }
        archive.taken += entry.refusal.empty() && !entry.member.itself;
        visit(entry);
        ++archive.members;
    }
    archive.end = walker.end();
    archive.trailing = walker.trailing();
    if (!rewriting && archive.trailing != 0) {
        rewriting = true;
        layout.AddStored(archive.members, options);
    }
    if (rewriting) {
        layout.Finish();
    }
    archive.as_stored = !rewriting;
    return archive;
}

std::string FoldedName(const std::string &part) {
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

bool PathTracker::Add(const InstallerMember &entry, size_t index, PathConflict *conflict) {
    const ArchiveMember &m = entry.member;
    if (!entry.refusal.empty() || m.itself ||
        (m.info.directory.empty() && !m.absolute && (m.info.name == "!" || m.info.name == "$"))) {
        return true; // not extracted
    }
    std::string key = m.absolute ? "/" : "";
    for (const std::string &part : m.info.directory) {
        key += FoldedName(part) + '/';
        const auto it = made_.find(key);
        if (it != made_.end() && it->second.file) {
            *conflict = {it->second.by, true};
            return false;
        }
        made_.insert({key, {false, index}});
    }
    if (m.method != "-lhd-") {
        key += FoldedName(m.info.name) + '/';
        const auto it = made_.find(key);
        if (it != made_.end() && !it->second.file) {
            *conflict = {it->second.by, false};
            return false;
        }
        made_[key] = {true, index};
    }
    return true;
}

} // namespace lzhsfx
