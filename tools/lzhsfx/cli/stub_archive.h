// An installer's archive, or a plain .lzh, read exactly as the installer reads it:
// with the stub's own header reader and decoder on the tool's Win32 runtime. The
// stub's code reports its findings itself (through the error box, on standard error);
// the results here say what happened, so the commands can count faults and go on.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <windows.h>

#include "file_source.h"
#include "installer_archive.h"
#include "settings_record.h"

struct RunState;

namespace cli {

// Where a file keeps its archive.
struct ArchiveLocation {
    bool installer = false;  // an executable with a settings record
    StoredSettings settings; // of an installer
    uint64_t file_size = 0;
    uint64_t archive_offset = 0; // of the checksum when there is one, else of the first header
    bool has_checksum = false;
};

// One member as the stub's header reader took it.
struct Member {
    uint64_t header_offset = 0;
    uint64_t data_offset = 0;
    std::string path;        // MemberPath: Shift-JIS, "/" separators
    char method = 0;         // '0', '4' to '7' or 'd'
    std::string method_name; // as "-lh5-"
    uint64_t packed_size = 0;
    uint64_t unpacked_size = 0;
    uint32_t time = 0; // the header's time stamp
    uint32_t creation_time = 0, modification_time = 0, access_time = 0;
    uint16_t crc = 0;
    uint16_t attribute = 0;
    // Of a plain archive that the installer does not read as it is stored: why the
    // installer cannot take this member (it is then not in the archive the stub's
    // code reads, and only the fields above are set, from its own header), what its
    // header does differently from the installer's, and its comment.
    std::string refusal;
    std::vector<std::string> quirks;
    std::string comment;
    // A directory entry of the folder the plain archive was made of: not in the
    // installer's archive, and nothing to make.
    bool itself = false;
};

struct DecodeResult {
    bool completed = false; // false: the decoder's abort path ended it (reported)
    uint16_t crc = 0;       // of the bytes delivered
    uint64_t produced = 0;  // bytes delivered
    // Where the archive stands after decoding, from the end of the member's packed
    // data: negative when bytes were left unread, positive when more were read. The
    // installer reads its next header there, so anything but 0 breaks the walk.
    int64_t position_error = 0;
};

class StubArchive {
  public:
    // Opens the file: an installer, found by its "MZ" signature and settings record,
    // or a plain archive. A plain archive that the installer would not read as it is
    // stored (level-0, level-1 or level-3 headers, or those of other systems' LHA tools)
    // is read as the builder would wrap it, with the installer's level-2 headers
    // (written to a scratch file) and the packed data where it lies in the file;
    // `dos_time_offset` (seconds east of UTC) converts its MS-DOS times. Throws Failure
    // when the file cannot be opened or holds no archive.
    StubArchive(const std::string &path, int32_t dos_time_offset);
    ~StubArchive();
    StubArchive(const StubArchive &) = delete;
    StubArchive &operator=(const StubArchive &) = delete;

    const ArchiveLocation &location() const {
        return location_;
    }
    // Whether the headers were rewritten.
    bool converted() const {
        return converted_;
    }
    // Bytes after the end mark of a plain archive.
    uint64_t trailing() const {
        return trailing_;
    }

    enum class Step { kMember, kEnd, kDamaged };
    // Reads the next header, in order: kMember with `member` set; kEnd after the last;
    // kDamaged when one is damaged or its data runs past the end of the file (the stub
    // has reported it). The walk ends at kEnd or kDamaged.
    Step Next(Member *member);
    // The members read so far, and the end of the last one's packed data (the start
    // of the archive before the first).
    size_t count() const {
        return count_;
    }
    uint64_t position() const;
    // Where the stub's reads of the archive stand, up to location().file_size.
    uint64_t read_position() const;
    // The checksum stored in front of the first header; false when it is missing.
    bool StoredChecksum(uint16_t *checksum);

    // Decodes `member` into `output`, an output handle of the runtime, exactly as the
    // installer's extract pass does. `destination` is the name the stub's messages give
    // the output (empty: none). When decoding does not complete, `output` has been
    // closed and the file of that name deleted, as the installer's abort path does.
    DecodeResult Decode(const Member &member, HANDLE output, const std::string &destination);

    // Runs task(i) for every i below `count` on up to `threads` threads (0: one per
    // processor), as lzhsfx::ParallelFor does; each thread has a run state and an
    // archive handle of its own, so that the tasks may call Decode.
    void OnThreads(size_t count, int threads, const std::function<void(size_t)> &task);

  private:
    void Open();
    Step NextStubMember(Member *member);

    std::string path_;
    ArchiveLocation location_;
    std::unique_ptr<FileSource> file_;
    // A rewritten archive: its layout, with its new headers in the scratch file, and a
    // second walk over the members as stored, beside the stub's over the new headers.
    bool converted_ = false;
    FileSpool spool_;
    lzhsfx::InstallerArchive rewritten_;
    std::unique_ptr<lzhsfx::ArchiveWalker> stored_;
    lzhsfx::ReadOptions options_;
    // The members the rewritten archive leaves out, by their index, with the reason
    // (none for the folder itself).
    std::vector<std::pair<size_t, std::string>> left_out_;
    size_t next_left_out_ = 0;
    uint64_t trailing_ = 0;
    size_t count_ = 0;
    uint64_t at_ = 0; // the next header the stub reads
    bool started_ = false, ended_ = false;
    Step end_ = Step::kEnd;
    RunState *state_ = nullptr;
    // The run states of the other threads of OnThreads.
    std::vector<RunState *> helpers_;
};

} // namespace cli
