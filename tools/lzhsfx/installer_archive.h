// An existing archive as the installer will take it: every member with what keeps the
// installer from taking it, and, unless the installer reads the archive as it is
// stored, the members it can take rewritten with its own level-2 headers.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "archive_reader.h"

namespace lzhsfx {

struct InstallerMember {
    ArchiveMember member;
    // Why the installer cannot take the member, which is then left out; empty when it
    // can.
    std::string refusal;
};

struct InstallerArchive {
    std::vector<InstallerMember> members;
    // The installer reads the stored members, data[0, end), as they are.
    bool as_stored = false;
    // Otherwise the members it can take with its own headers, and the end mark.
    std::vector<uint8_t> rewritten;
    uint16_t checksum = 0; // XOR of the data CRCs of the members it takes
    size_t end = 0;        // of the stored members
    size_t trailing = 0;   // bytes after the end mark
};

// Reads the archive in `data`. Throws LzhError as ReadArchive does.
InstallerArchive ForInstaller(const uint8_t *data, size_t size, const ReadOptions &options = {});

// Why the member would land outside the install folder (an absolute path or one with a
// drive letter, which the installer honours), or empty.
std::string OutsideReason(const ArchiveMember &member);

// A member whose path runs through a file an earlier member made, or that is a file
// where an earlier member made a folder: the installer could not create it.
struct PathConflict {
    size_t member = 0;
    size_t earlier = 0;
    bool through_file = false; // else: a file over a folder
};

// The first conflict among the members the installer takes, in archive order; false
// when there is none. Names are compared without regard to ASCII case, as Windows does.
bool FindPathConflict(const std::vector<InstallerMember> &members, PathConflict *conflict);

} // namespace lzhsfx
