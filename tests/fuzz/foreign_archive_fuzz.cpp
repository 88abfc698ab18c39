// The tool's reading of archives from any LHA tool and their rewriting for the installer,
// on arbitrary bytes. A run either refuses the archive with LzhError, or yields an archive
// the installer reads as its own: read again, it needs no rewriting, and it holds exactly
// the members the first reading took, with their paths, times, sizes and CRCs, and the same
// checksum. Nothing is read or written outside a buffer.
#include <vector>

#include "fuzz_support.h"
#include "installer_archive.h"

namespace {

bool SameMember(const lzhsfx::ArchiveMember &was, const lzhsfx::ArchiveMember &is) {
    // A -lh1- member is packed anew; any other keeps its method.
    const bool method = was.method == "-lh1-" ? is.method != "-lh1-" : was.method == is.method;
    // A directory entry carries no data: what a folder stored as data held is dropped.
    const bool data = was.method == "-lhd-"
                          ? is.unpacked_size == 0 && is.packed_size == 0 && is.crc == 0
                          : was.unpacked_size == is.unpacked_size && was.crc == is.crc;
    return method && data && is.header_level == 2 && is.quirks.empty() && is.comment.empty() &&
           was.info.directory == is.info.directory && was.info.name == is.info.name &&
           was.info.time == is.info.time && was.info.attribute == is.info.attribute &&
           was.absolute == is.absolute;
}

// Reads `archive`: its members, with their refusals, and the bytes the installer gets
// (the stored members with an end mark, or the rewritten archive). Throws LzhError.
lzhsfx::InstallerArchive Read(const std::vector<uint8_t> &archive,
                              std::vector<lzhsfx::InstallerMember> *members,
                              std::vector<uint8_t> *installed) {
    const lzhsfx::MemorySource source(archive.data(), archive.size());
    lzhsfx::MemorySpool spool;
    lzhsfx::InstallerArchive a = lzhsfx::ForInstaller(
        source, spool, [&](const lzhsfx::InstallerMember &m) { members->push_back(m); });
    FUZZ_CHECK(a.members == members->size());
    const auto append = [&](const uint8_t *p, size_t n) {
        installed->insert(installed->end(), p, p + n);
    };
    if (a.as_stored) {
        lzhsfx::CopyOut(source, 0, a.end, append);
        installed->push_back(0);
    } else {
        lzhsfx::CopyOut(a.rewritten, 0, a.rewritten.size(), append);
    }
    return a;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    // In a buffer of its own size, so that a read past the data is caught.
    const std::vector<uint8_t> input(data, data + size);
    lzhsfx::InstallerArchive first;
    std::vector<lzhsfx::InstallerMember> members, again_members;
    std::vector<uint8_t> installed, installed_again;
    try {
        first = Read(input, &members, &installed);
    } catch (const lzhsfx::LzhError &) {
        return 0;
    }
    FUZZ_CHECK(first.end <= size && first.trailing <= size - first.end);

    const lzhsfx::InstallerArchive again = Read(installed, &again_members, &installed_again);
    FUZZ_CHECK(again.as_stored && again.trailing == 0 && again.checksum == first.checksum);

    size_t taken = 0;
    for (const lzhsfx::InstallerMember &m : members) {
        if (!m.refusal.empty() || m.member.itself) {
            continue; // not in the installer's archive
        }
        FUZZ_CHECK(taken < again_members.size());
        FUZZ_CHECK(again_members[taken].refusal.empty());
        FUZZ_CHECK(SameMember(m.member, again_members[taken].member));
        ++taken;
    }
    FUZZ_CHECK(taken == again_members.size() && taken == first.taken);
    return 0;
}
