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

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    // In a buffer of its own size, so that a read past the data is caught.
    const std::vector<uint8_t> input(data, data + size);
    lzhsfx::InstallerArchive first;
    try {
        first = lzhsfx::ForInstaller(input.data(), input.size());
    } catch (const lzhsfx::LzhError &) {
        return 0;
    }
    FUZZ_CHECK(first.end <= size && first.trailing <= size - first.end);

    std::vector<uint8_t> installed = first.rewritten;
    if (first.as_stored) {
        installed.assign(input.begin(), input.begin() + static_cast<long>(first.end));
        installed.push_back(0);
    }
    const lzhsfx::InstallerArchive again = lzhsfx::ForInstaller(installed.data(), installed.size());
    FUZZ_CHECK(again.as_stored && again.trailing == 0 && again.checksum == first.checksum);

    size_t taken = 0;
    for (const lzhsfx::InstallerMember &m : first.members) {
        if (!m.refusal.empty()) {
            continue;
        }
        FUZZ_CHECK(taken < again.members.size());
        FUZZ_CHECK(again.members[taken].refusal.empty());
        FUZZ_CHECK(SameMember(m.member, again.members[taken].member));
        ++taken;
    }
    FUZZ_CHECK(taken == again.members.size());
    return 0;
}
