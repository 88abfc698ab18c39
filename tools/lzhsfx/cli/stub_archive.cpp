// The walk of the installer's archive pass, done with the stub's procedures over
// the one `RunState` record, minus what the tool does not need: no notice box, no
// directives applied, no destination path built, no overwrite question.
#include "stub_archive.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "archive/errors.h"
#include "archive/member_header.h"
#include "archive_reader.h"
#include "console.h"
#include "decode/crc.h"
#include "decode/decoder.h"
#include "files/text.h"
#include "platform.h"
#include "startup/run_state.h"
#include "win32_runtime.h"

namespace cli {
namespace {

// What the archive pass does for one member in either mode: stored members are
// copied, directory entries have no data, the others are decoded.
void DecodeCurrentMember() {
    State->RunningCrc = 0;
    State->InputIndex = 0xFFFFFFFF;
    const char method = MemberMethod();
    if (method == '0') {
        CopyStored(static_cast<LONG>(MemberUnpackedSize()));
    } else if (method != 'd') {
        DecodeMember();
    }
}

void ReleaseHeader() {
    if (State->HeaderBuffer != nullptr) {
        LocalFree(State->HeaderBuffer);
        State->HeaderBuffer = nullptr;
    }
}

std::string Quoted(const std::string &path) {
    return "\"" + path + "\"";
}

std::vector<uint8_t> ReadWhole(const std::string &path) {
    std::vector<uint8_t> data;
    if (!platform::ReadWholeFile(path, &data)) {
        throw Failure(Quoted(path) + ": cannot read: " + platform::LastError());
    }
    return data;
}

// Whether `h` (at least 22 bytes) starts a level-0 or level-1 header.
bool IsOldHeader(const uint8_t *h) {
    return h[0] != 0 && h[2] == '-' && h[6] == '-' && (h[20] == 0 || h[20] == 1);
}

} // namespace

StubArchive::StubArchive(const std::string &path, int32_t dos_time_offset) : path_(path) {
    uint8_t start[kSettingsOffset + kSettingsSize] = {};
    size_t got = 0;
    {
        const platform::NativeFile file = platform::OpenForReading(path);
        if (file == platform::kNoFile) {
            throw Failure(Quoted(path) + ": cannot open: " + platform::LastError());
        }
        const bool ok = platform::Size(file, &location_.file_size) &&
                        platform::Read(file, start, sizeof start, &got);
        const std::string error = ok ? "" : platform::LastError();
        platform::Close(file);
        if (!ok) {
            throw Failure(Quoted(path) + ": cannot read: " + error);
        }
    }

    if (got >= 2 && start[0] == 'M' && start[1] == 'Z') {
        if (got < sizeof start) {
            throw Failure(Quoted(path) + " is a program too short to hold a settings record");
        }
        location_.installer = true;
        location_.settings = ReadSettingsRecord(start + kSettingsOffset);
        location_.archive_offset = location_.settings.archive_offset;
        location_.has_checksum = (location_.settings.flags & kArchiveChecksum) != 0;
        if (location_.archive_offset == 0) {
            throw Failure(Quoted(path) + " is a stub without an archive: its settings record is "
                                         "empty");
        }
        if (location_.archive_offset > location_.file_size) {
            throw Failure(Quoted(path) + ": the archive should start at byte " +
                          std::to_string(location_.archive_offset) +
                          ", beyond the end of the file");
        }
    } else if (got >= 2) {
        const std::vector<uint8_t> data = ReadWhole(path);
        lzhsfx::ReadOptions options;
        options.dos_time_offset = dos_time_offset;
        try {
            lzhsfx::InstallerArchive archive =
                lzhsfx::ForInstaller(data.data(), data.size(), options);
            if (!archive.as_stored) {
                converted_ = std::move(archive.rewritten);
                stored_ = std::move(archive.members);
                trailing_ = archive.trailing;
                location_.file_size = converted_.size();
            }
        } catch (const lzhsfx::LzhError &e) {
            // A damaged level-2 archive is left to the stub's reader, which says where.
            if (got >= 22 && IsOldHeader(start)) {
                throw Failure(Quoted(path) + ": " + e.what());
            }
        }
    }

    state_ = static_cast<RunState *>(std::calloc(1, sizeof(RunState)));
    if (state_ == nullptr) {
        throw Failure("not enough memory");
    }
    State = state_;
    State->ArchiveFile = HFILE_ERROR;
    State->OutputFile = INVALID_HANDLE_VALUE;
    runtime::SetArchiveName(path);
    BuildCrcTable(0xA001);
    Open();
}

StubArchive::~StubArchive() {
    ReleaseHeader();
    runtime::Close(State->ArchiveFile);
    std::free(state_);
    State = nullptr;
}

void StubArchive::Open() {
    State->ArchiveFile = converted() ? runtime::OpenMemory(converted_.data(), converted_.size())
                                     : runtime::OpenFile(path_);
    if (State->ArchiveFile == HFILE_ERROR) {
        throw Failure(Quoted(path_) + ": cannot open: " + platform::LastError());
    }
}

bool StubArchive::StoredChecksum(uint16_t *checksum) {
    BYTE bytes[2];
    if (!location_.has_checksum || !runtime::Seek(State->ArchiveFile, location_.archive_offset) ||
        runtime::Read(State->ArchiveFile, bytes, 2) != 2) {
        return false;
    }
    *checksum = ReadLe16(bytes);
    return true;
}

namespace {

// A member the stub's code never sees, from its own header.
Member Refused(const lzhsfx::InstallerMember &entry) {
    const lzhsfx::ArchiveMember &a = entry.member;
    Member m;
    std::string path = a.absolute ? "/" : "";
    for (const std::string &part : a.info.directory) {
        path += part + "/";
    }
    m.path = path + a.info.name;
    m.method = a.method == "-lhd-" && a.link_target.empty() ? 'd' : 0;
    m.method_name = a.method;
    m.packed_size = a.packed_size;
    m.unpacked_size = a.unpacked_size;
    m.time = a.info.time;
    m.creation_time = m.modification_time = m.access_time = a.info.time;
    if (a.info.windows_times) {
        // FILETIME counts 100 ns from 1601, Unix seconds from 1970.
        const auto unix_time = [](uint64_t t) {
            constexpr uint64_t kFrom1601 = 11644473600;
            const uint64_t s = t / 10000000;
            return static_cast<uint32_t>(
                s < kFrom1601 ? 0 : std::min<uint64_t>(s - kFrom1601, UINT32_MAX));
        };
        m.creation_time = unix_time(a.info.windows_times->creation);
        m.modification_time = unix_time(a.info.windows_times->last_write);
        m.access_time = unix_time(a.info.windows_times->last_access);
    }
    m.crc = a.crc;
    m.attribute = a.info.attribute;
    m.refusal = entry.refusal;
    return m;
}

} // namespace

bool StubArchive::ReadHeaders(std::vector<Member> *members) {
    std::vector<Member> read;
    const bool ok = ReadStubHeaders(&read);
    if (!converted()) {
        *members = std::move(read);
        return ok;
    }
    // The rewritten archive holds the members the installer takes, in their order.
    members->clear();
    size_t next = 0;
    for (const lzhsfx::InstallerMember &entry : stored_) {
        if (!entry.refusal.empty()) {
            members->push_back(Refused(entry));
            continue;
        }
        if (next == read.size()) {
            return false;
        }
        Member m = read[next++];
        m.method_name = entry.member.method;
        m.quirks = entry.member.quirks;
        m.comment = entry.member.comment;
        members->push_back(std::move(m));
    }
    return ok;
}

bool StubArchive::ReadStubHeaders(std::vector<Member> *members) {
    members->clear();
    uint64_t at = location_.archive_offset + (location_.has_checksum ? 2 : 0);
    if (at > location_.file_size) {
        ReportDataMissing();
        return false;
    }
    for (;;) {
        ReleaseHeader();
        if (!runtime::Seek(State->ArchiveFile, at)) {
            ReportReadError();
            return false;
        }
        const HeaderResult r = ReadMemberHeader();
        if (r == kHeaderEnd) {
            return true;
        }
        if (r != kHeaderValid) {
            return false;
        }
        Member m;
        m.header_offset = at;
        m.method_name = std::string("-lh") + MemberMethod() + "-";
        m.data_offset = runtime::Tell(State->ArchiveFile);
        m.path = State->MemberPath;
        m.method = MemberMethod();
        m.packed_size = MemberPackedSize();
        m.unpacked_size = MemberUnpackedSize();
        m.time = MemberTime();
        m.creation_time = State->CreationTime;
        m.modification_time = State->ModificationTime;
        m.access_time = State->AccessTime;
        m.crc = MemberDataCrc();
        m.attribute = State->Attribute;
        // The scan pass passes over every member's packed data, a directory's too.
        if (m.packed_size > location_.file_size - m.data_offset) {
            ReportDataMissing();
            return false;
        }
        at = m.data_offset + m.packed_size;
        members->push_back(m);
    }
}

DecodeResult StubArchive::Decode(const Member &member, HANDLE output,
                                 const std::string &destination) {
    DecodeResult result;
    ReleaseHeader();
    if (!runtime::Seek(State->ArchiveFile, member.header_offset) ||
        ReadMemberHeader() != kHeaderValid) {
        // The file changed under the tool; end as the abort path does.
        ReportReadError();
        runtime::CloseOutput(output);
        if (!destination.empty()) {
            runtime::DeleteOutput(destination);
        }
        return result;
    }
    State->OutputFile = output;
    State->SpecialMode = 0;
    CopyText(State->DestinationPath, destination.c_str(), kDestinationPathSize);
    // The abort path deletes the file being written, which the tool writes in place.
    CopyText(OutputTempPath, destination.c_str(), kOutputTempPathSize);
    const uint64_t before = runtime::BytesWritten();
    result.completed = runtime::RunUntilAbort(DecodeCurrentMember);
    result.produced = runtime::BytesWritten() - before;
    result.crc = State->RunningCrc;
    if (result.completed) {
        const uint64_t end = member.data_offset + member.packed_size;
        const uint64_t at = runtime::Tell(State->ArchiveFile);
        result.position_error = static_cast<int64_t>(at) - static_cast<int64_t>(end);
    } else {
        // The abort path has closed the output and the archive.
        Open();
    }
    State->OutputFile = INVALID_HANDLE_VALUE;
    State->DestinationPath[0] = 0;
    OutputTempPath[0] = 0;
    return result;
}

} // namespace cli
