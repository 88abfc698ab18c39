// The walk of the installer's archive pass, done with the stub's procedures over
// the one `RunState` record, minus what the tool does not need: no notice box, no
// directives applied, no destination path built, no overwrite question.
#include "stub_archive.h"

#include <algorithm>
#include <atomic>
#include <exception>
#include <cstdlib>
#include <cstring>

#include "archive/errors.h"
#include "archive/member_header.h"
#include "archive_reader.h"
#include "console.h"
#include "decode/crc.h"
#include "decode/decoder.h"
#include "files/text.h"
#include "parallel.h"
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

// Whether `h` (at least 22 bytes) starts a level-0 or level-1 header.
bool IsOldHeader(const uint8_t *h) {
    return h[0] != 0 && h[2] == '-' && h[6] == '-' && (h[20] == 0 || h[20] == 1);
}

} // namespace

StubArchive::StubArchive(const std::string &path, int32_t dos_time_offset) : path_(path) {
    uint8_t start[kSettingsOffset + kSettingsSize] = {};
    file_ = std::make_unique<FileSource>(path);
    location_.file_size = file_->size();
    const size_t got = static_cast<size_t>(std::min<uint64_t>(file_->size(), sizeof start));
    try {
        file_->Read(0, start, got);
    } catch (const lzhsfx::LzhError &e) {
        throw Failure(e.what());
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
        options_.dos_time_offset = dos_time_offset;
        size_t index = 0;
        try {
            rewritten_ = lzhsfx::ForInstaller(
                *file_, spool_,
                [&](const lzhsfx::InstallerMember &entry) {
                    if (!entry.refusal.empty() || entry.member.itself) {
                        left_out_.push_back({index, entry.refusal});
                    }
                    ++index;
                },
                options_);
            if (!rewritten_.as_stored) {
                converted_ = true;
                trailing_ = rewritten_.trailing;
                location_.file_size = rewritten_.rewritten.size();
                stored_ = std::make_unique<lzhsfx::ArchiveWalker>(*file_, options_);
            }
        } catch (const lzhsfx::LzhError &e) {
            // A damaged level-2 archive is left to the stub's reader, which says where.
            if (got >= 22 && IsOldHeader(start)) {
                throw Failure(Quoted(path) + ": " + e.what());
            }
            left_out_.clear();
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
    for (RunState *helper : helpers_) {
        std::free(helper);
    }
}

void StubArchive::OnThreads(size_t count, int threads, const std::function<void(size_t)> &task) {
    const size_t workers =
        std::min<size_t>(count, static_cast<size_t>(lzhsfx::ThreadCount(threads)));
    if (workers <= 1) {
        for (size_t i = 0; i < count; ++i) {
            task(i);
        }
        return;
    }
    while (helpers_.size() < workers - 1) {
        RunState *helper = static_cast<RunState *>(std::calloc(1, sizeof(RunState)));
        if (helper == nullptr) {
            throw Failure("not enough memory");
        }
        std::memcpy(helper->CrcTable, state_->CrcTable, sizeof helper->CrcTable);
        helper->ArchiveFile = HFILE_ERROR;
        helper->OutputFile = INVALID_HANDLE_VALUE;
        helpers_.push_back(helper);
    }
    std::atomic<size_t> claimed{0};
    lzhsfx::TaskQueue queue(count);
    auto work = [&] {
        // This thread's run state: the archive's own on the calling thread, else a
        // helper's, with an archive handle opened here.
        const bool helper = State == nullptr;
        if (helper) {
            State = helpers_[claimed++];
            Open();
        }
        queue.Work(task);
        if (helper) {
            ReleaseHeader();
            runtime::Close(State->ArchiveFile);
            State->ArchiveFile = HFILE_ERROR;
            State = nullptr;
        }
    };
    lzhsfx::threading::RunOnThreads(
        workers - 1, [](void *context) { (*static_cast<decltype(work) *>(context))(); }, &work);
    queue.Rethrow();
}

void StubArchive::Open() {
    State->ArchiveFile = runtime::OpenSource(
        converted_ ? static_cast<const lzhsfx::ByteSource *>(&rewritten_.rewritten) : file_.get());
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
Member LeftOut(const lzhsfx::ArchiveMember &a, const std::string &refusal) {
    Member m;
    std::string path = a.absolute ? "/" : "";
    for (const std::string &part : a.info.directory) {
        path += part + "/";
    }
    m.path = a.itself ? "." : path + a.info.name;
    m.itself = a.itself;
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
    m.refusal = refusal;
    m.quirks = a.quirks;
    m.comment = a.comment;
    return m;
}

} // namespace

StubArchive::Step StubArchive::Next(Member *member) {
    if (ended_) {
        return end_;
    }
    Step step;
    if (!converted_) {
        step = NextStubMember(member);
    } else {
        // The rewritten archive holds the members the installer takes, in their order.
        lzhsfx::ArchiveMember stored;
        bool more;
        try {
            more = stored_->Next(&stored);
        } catch (const lzhsfx::LzhError &e) {
            throw Failure(Quoted(path_) + " changed while it was read: " + e.what());
        }
        if (!more) {
            step = NextStubMember(member);
            if (step == Step::kMember) {
                throw Failure(Quoted(path_) + " changed while it was read");
            }
        } else if (next_left_out_ < left_out_.size() && left_out_[next_left_out_].first == count_) {
            *member = LeftOut(stored, left_out_[next_left_out_++].second);
            step = Step::kMember;
        } else {
            step = NextStubMember(member);
            member->method_name = stored.method;
            member->quirks = stored.quirks;
            member->comment = stored.comment;
        }
    }
    if (step == Step::kMember) {
        ++count_;
    } else {
        ended_ = true;
        end_ = step;
    }
    return step;
}

uint64_t StubArchive::position() const {
    return count_ == 0 ? location_.archive_offset : at_;
}

uint64_t StubArchive::read_position() const {
    return runtime::Tell(State->ArchiveFile);
}

StubArchive::Step StubArchive::NextStubMember(Member *member) {
    if (!started_) {
        started_ = true;
        at_ = location_.archive_offset + (location_.has_checksum ? 2 : 0);
        if (at_ > location_.file_size) {
            ReportDataMissing();
            return Step::kDamaged;
        }
    }
    ReleaseHeader();
    if (!runtime::Seek(State->ArchiveFile, at_)) {
        ReportReadError();
        return Step::kDamaged;
    }
    const HeaderResult r = ReadMemberHeader();
    if (r == kHeaderEnd) {
        return Step::kEnd;
    }
    if (r != kHeaderValid) {
        return Step::kDamaged;
    }
    Member m;
    m.header_offset = at_;
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
        return Step::kDamaged;
    }
    at_ = m.data_offset + m.packed_size;
    *member = std::move(m);
    return Step::kMember;
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
