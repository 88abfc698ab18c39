// An existing archive as the installer will take it: every member with what keeps the
// installer from taking it, and, unless the installer reads the archive as it is
// stored, the members it can take rewritten with its own level-2 headers.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
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
    size_t members = 0; // all of them, those it leaves out included
    size_t taken = 0;   // those the installer's archive holds
    // The installer reads the stored members, source[0, end), as they are.
    bool as_stored = false;
    // Otherwise the archive it reads: the members it can take with its own headers and
    // the end mark, laid out from the source and the spool.
    PieceSource rewritten;
    uint16_t checksum = 0; // XOR of the data CRCs of the members it takes
    uint64_t end = 0;      // of the stored members
    uint64_t trailing = 0; // bytes after the end mark
};

// Reads the archive in `source` a header at a time and hands each member, with what
// keeps the installer from taking it, to `visit`, once and in order. A directory entry
// of the folder itself (ArchiveMember::itself) is left out, and not refused. The headers
// written anew, and the members packed anew, go to `spool`; `rewritten` reads from
// `source` and `spool`, which must outlive it. Throws LzhError as ArchiveWalker does.
InstallerArchive ForInstaller(const ByteSource &source, Spool &spool,
                              const std::function<void(const InstallerMember &)> &visit,
                              const ReadOptions &options = {});

// A name with its ASCII letters in lower case, double-byte characters kept: names as
// Windows compares them.
std::string FoldedName(const std::string &name);

// Why the member would land outside the install folder (an absolute path or one with a
// drive letter, which the installer honours), or empty.
std::string OutsideReason(const ArchiveMember &member);

// A member whose path runs through a file an earlier member made, or that is a file
// where an earlier member made a folder: the installer could not create it.
struct PathConflict {
    size_t earlier = 0;        // the index given to Add with the earlier member
    bool through_file = false; // else: a file over a folder
};

// The paths the members the installer takes make, in archive order. Names are compared
// without regard to ASCII case, as Windows does.
class PathTracker {
  public:
    // Adds the member; false with `conflict` set when it conflicts with an earlier
    // one. Members the installer does not extract (refused, the notice, the
    // directives, the folder itself) make nothing.
    bool Add(const InstallerMember &entry, size_t index, PathConflict *conflict);

  private:
    struct Made {
        bool file;
        size_t by;
    };
    std::map<std::string, Made> made_;
};

} // namespace lzhsfx
