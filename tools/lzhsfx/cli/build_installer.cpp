// The installer is written in one sequential stream to a temporary file: the stub
// with its settings record, then the archive member by member, then the end mark;
// the checksum in front of the archive, when asked for, is filled in last. Before the
// file takes the output's name, the stub's own header reader walks it.
//
// Files are compressed in batches of small files, so that memory holds one batch of
// input and its output at a time, and a large file a window of a few segments per thread
// at a time; each member's bytes depend on its own data only, so neither changes the
// result.
#include "build_installer.h"

#include <atomic>
#include <cstring>

#include "archive_reader.h"
#include "commands.h"
#include "console.h"
#include "crc16.h"
#include "directive_check.h"
#include "encoder.h"
#include "file_source.h"
#include "inputs.h"
#include "lzh_writer.h"
#include "output_file.h"
#include "parallel.h"
#include "platform.h"
#include "stub_archive.h"
#include "stub_features.h"
#include "text_codec.h"

namespace cli {
namespace {

// A batch ends after this much input, or this many members.
constexpr uint64_t kBatchBytes = uint64_t{16} << 20;
constexpr size_t kBatchMembers = 4096;
// As the archive writer does: a file this large is compressed on all threads alone, and
// is never held whole.
constexpr uint64_t kLargeFile = uint64_t{4} << 20;

std::string Quoted(const std::string &s) {
    return "\"" + s + "\"";
}

std::vector<uint8_t> ReadFile(const std::string &path, const char *what) {
    std::vector<uint8_t> data;
    if (!platform::ReadWholeFile(path, &data)) {
        throw Failure(Quoted(path) + ": cannot read the " + what + ": " + platform::LastError());
    }
    return data;
}

// ---- The stub -------------------------------------------------------------------

uint32_t Le32(const uint8_t *p) {
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
           static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}

// Reads the stub and checks that it has room for the settings record where the stub
// reads it: between its DOS header and its PE header, still empty.
std::vector<uint8_t> ReadStub(const std::string &path) {
    std::vector<uint8_t> stub = ReadFile(path, "stub");
    const size_t end = kSettingsOffset + kSettingsSize;
    if (stub.size() < end || stub[0] != 'M' || stub[1] != 'Z') {
        throw Failure(Quoted(path) + " is not the installer stub: too short or not a program");
    }
    const uint32_t pe = Le32(stub.data() + 0x3C);
    if (pe < end || pe > stub.size() - 4 || std::memcmp(stub.data() + pe, "PE\0\0", 4) != 0) {
        throw Failure(Quoted(path) +
                      " is not the installer stub: its PE header does not leave room for the "
                      "settings record at offset 512");
    }
    for (size_t i = kSettingsOffset; i < end; ++i) {
        if (stub[i] != 0) {
            throw Failure(Quoted(path) +
                          " already holds a settings record: it is an installer, not the stub");
        }
    }
    return stub;
}

// ---- Texts ----------------------------------------------------------------------

// The notice or directive file as the installer holds it: Shift-JIS with CR LF.
std::string ReadText(const std::string &path, const char *what, size_t limit) {
    const std::vector<uint8_t> bytes = ReadFile(path, what);
    const std::string utf8 = WithoutBom(std::string(bytes.begin(), bytes.end()));
    if (utf8.find('\0') != std::string::npos) {
        throw Failure(Quoted(path) + ": the " + what +
                      " holds a zero byte, which ends it for the "
                      "installer");
    }
    // Line by line, so that an error can name its line.
    std::string sjis;
    size_t start = 0;
    for (int line = 1; start <= utf8.size(); ++line) {
        size_t end = utf8.find('\n', start);
        if (end == std::string::npos) {
            end = utf8.size();
        } else {
            ++end;
        }
        std::string piece, problem;
        if (!ToShiftJis(utf8.substr(start, end - start), &piece, &problem)) {
            throw Failure(path + ":" + std::to_string(line) + ": the " + what + " holds " +
                          problem);
        }
        sjis += piece;
        if (end == utf8.size()) {
            break;
        }
        start = end;
    }
    sjis = ToCrLf(sjis);
    if (sjis.size() > limit) {
        throw Failure(Quoted(path) + ": the " + what + " is " + std::to_string(sjis.size()) +
                      " bytes in Shift-JIS with CR LF line ends; the installer holds at most " +
                      std::to_string(limit));
    }
    return sjis;
}

// ---- Members --------------------------------------------------------------------

lzhsfx::Method MethodOf(char id) {
    return id == '5'   ? lzhsfx::Method::kLh5
           : id == '6' ? lzhsfx::Method::kLh6
                       : lzhsfx::Method::kLh7;
}

lzhsfx::MemberInfo InfoOf(const InputEntry &e) {
    lzhsfx::MemberInfo info;
    info.directory = Components(e.sjis);
    if (!e.directory) {
        info.name = info.directory.back();
        info.directory.pop_back();
    }
    info.time = e.time;
    info.attribute = e.attribute;
    return info;
}

// The header of a file packed with `method` into `packed` bytes, or stored when that is
// not smaller, as the archive writer's AddFile gives it.
std::vector<uint8_t> FileHeader(const InputEntry &e, const lzhsfx::MemberInfo &info, char method,
                                uint64_t packed, uint64_t size, uint16_t crc) {
    try {
        return lzhsfx::PackedHeader(info, method, packed, static_cast<uint32_t>(size), crc);
    } catch (const lzhsfx::LzhError &error) {
        throw Failure(Quoted(e.source) + ": " + error.what());
    }
}

void CheckSize(const InputEntry &e, uint64_t size) {
    if (size > 0x7FFFFFFF) {
        throw Failure(Quoted(e.source) + " is 2 GiB or larger; the installer cannot hold it");
    }
}

// Writes the archive's members, without end mark, as each is ready, and keeps the XOR of
// their data CRCs.
class ArchiveStream {
  public:
    ArchiveStream(OutputFile &out, const BuildOptions &options) : out_(out), options_(options) {}

    // The notice and the directives, as the installer expects them.
    void AddTexts(const std::string &notice, const std::string &directives) {
        lzhsfx::LzhWriter writer;
        const auto add = [&](const char *name, const std::string &text) {
            if (options_.method == '0') {
                lzhsfx::MemberInfo info;
                info.name = name;
                const uint8_t *bytes = reinterpret_cast<const uint8_t *>(text.data());
                writer.AddPacked(info, '0', bytes, text.size(), static_cast<uint32_t>(text.size()),
                                 lzhsfx::Crc16(bytes, text.size()));
            } else if (*name == '!') {
                writer.AddNotice(text, MethodOf(options_.method));
            } else {
                writer.AddDirectives(text, MethodOf(options_.method));
            }
            ++members_;
        };
        // The directives come first, so that the notice already shows their title.
        if (!options_.directives_file.empty()) {
            add("$", directives);
        }
        if (!options_.notice_file.empty()) {
            add("!", notice);
        }
        const std::vector<uint8_t> bytes = writer.Finish();
        out_.Write(bytes.data(), bytes.size() - 1); // without the end mark
        checksum_ ^= writer.Checksum();
    }

    // Compresses the files of `batch`, each smaller than kLargeFile, one per thread,
    // and writes them in order, with the directory entries among them. Each file is
    // read on the thread that packs it, and only the smaller of its data and its
    // packed stream is kept until the batch is written.
    void AddBatch(const std::vector<InputEntry> &batch, Progress &progress) {
        struct Packed {
            std::vector<uint8_t> bytes;
            uint64_t size = 0;
            uint16_t crc = 0;
            bool stored = true;
        };
        std::vector<Packed> files(batch.size());
        std::vector<size_t> order;
        for (size_t i = 0; i < batch.size(); ++i) {
            if (!batch[i].directory) {
                order.push_back(i);
            }
        }
        // The largest first, so that the threads finish together.
        std::stable_sort(order.begin(), order.end(),
                         [&](size_t a, size_t b) { return batch[a].size > batch[b].size; });
        std::atomic<uint64_t> done{done_};
        lzhsfx::ParallelFor(order.size(), options_.threads, [&](size_t k) {
            const size_t i = order[k];
            Packed &file = files[i];
            file.bytes = ReadFile(batch[i].source, "file");
            file.size = file.bytes.size();
            CheckSize(batch[i], file.size);
            file.crc = lzhsfx::Crc16(file.bytes.data(), file.bytes.size());
            if (options_.method != '0') {
                std::vector<uint8_t> packed =
                    lzhsfx::Compress(MethodOf(options_.method), file.bytes.data(),
                                     file.bytes.size(), options_.level, 1);
                if (packed.size() < file.bytes.size()) {
                    file.bytes.swap(packed);
                    file.stored = false;
                }
            }
            progress.Update(done += file.size);
        });
        for (size_t i = 0; i < batch.size(); ++i) {
            const InputEntry &e = batch[i];
            const lzhsfx::MemberInfo info = InfoOf(e);
            if (e.directory) {
                try {
                    Put(lzhsfx::DirectoryHeader(info), nullptr, 0, 0);
                } catch (const lzhsfx::LzhError &error) {
                    throw Failure(Quoted(e.source) + ": " + error.what());
                }
                continue;
            }
            Packed &file = files[i];
            Put(FileHeader(e, info, file.stored ? '0' : options_.method, file.bytes.size(),
                           file.size, file.crc),
                file.bytes.data(), file.bytes.size(), file.crc);
            done_ += file.size;
            std::vector<uint8_t>().swap(file.bytes);
        }
        progress.Update(done_);
    }

    // A file too large to hold with others: read and packed a window at a time on all
    // threads and written as it is packed, under a header filled in once its packed size
    // is known. When packing does not make it smaller, it is copied over what was
    // packed, stored.
    void AddLarge(const InputEntry &e, Progress &progress) {
        const FileSource source(e.source);
        const uint64_t size = source.size();
        CheckSize(e, size);
        const lzhsfx::MemberInfo info = InfoOf(e);
        // Every header of the member has the length of this one.
        const uint64_t header_at = out_.size();
        const std::vector<uint8_t> placeholder = FileHeader(e, info, '0', size, size, 0);
        out_.Write(placeholder.data(), placeholder.size());
        const uint64_t data_at = out_.size();
        uint16_t crc = 0;
        uint64_t summed = 0; // the CRC covers the bytes before this
        const auto read = [&](uint64_t offset, uint8_t *out, size_t n) {
            try {
                source.Read(offset, out, n);
            } catch (const lzhsfx::LzhError &error) {
                throw Failure(error.what());
            }
            if (offset + n > summed) {
                const size_t skip = static_cast<size_t>(summed - offset);
                crc = lzhsfx::Crc16(out + skip, n - skip, crc);
                summed = offset + n;
            }
        };
        uint64_t packed = 0;
        if (options_.method != '0') {
            std::atomic<uint64_t> done{done_};
            lzhsfx::CompressStream(
                MethodOf(options_.method), size, read,
                [&](const uint8_t *bytes, size_t n) {
                    out_.Write(bytes, n);
                    packed += n;
                },
                options_.level, options_.threads,
                [&](size_t part) { progress.Update(done += part); });
        }
        char method = options_.method;
        if (method == '0' || packed >= size) {
            method = '0';
            out_.Truncate(data_at);
            std::vector<uint8_t> buffer(static_cast<size_t>(std::min<uint64_t>(size, 1 << 20)));
            for (uint64_t at = 0; at < size; at += buffer.size()) {
                const size_t n = static_cast<size_t>(std::min<uint64_t>(buffer.size(), size - at));
                read(at, buffer.data(), n);
                out_.Write(buffer.data(), n);
            }
            packed = size;
        }
        const std::vector<uint8_t> header = FileHeader(e, info, method, packed, size, crc);
        out_.WriteAt(header_at, header.data(), header.size());
        checksum_ ^= crc;
        ++members_;
        done_ += size;
        progress.Update(done_);
    }

    // Members written elsewhere, as they stand: `n` bytes of `source` from `offset`.
    void AddRaw(const lzhsfx::ByteSource &source, uint64_t offset, uint64_t n, uint16_t checksum,
                size_t members) {
        lzhsfx::CopyOut(source, offset, n,
                        [&](const uint8_t *bytes, size_t size) { out_.Write(bytes, size); });
        checksum_ ^= checksum;
        members_ += members;
    }

    uint16_t checksum() const {
        return checksum_;
    }
    size_t members() const {
        return members_;
    }

  private:
    void Put(const std::vector<uint8_t> &header, const uint8_t *data, size_t n, uint16_t crc) {
        out_.Write(header.data(), header.size());
        out_.Write(data, n);
        checksum_ ^= crc;
        ++members_;
    }

    OutputFile &out_;
    const BuildOptions &options_;
    uint16_t checksum_ = 0;
    size_t members_ = 0;
    uint64_t done_ = 0;
};

// Packs the inputs in member-path order as the walk finds them, `total` bytes of files
// in all as the first walk found them.
void AddInputs(ArchiveStream &stream, const std::vector<std::string> &paths, uint64_t total) {
    Progress progress("packing", total);
    std::vector<InputEntry> batch;
    uint64_t batch_bytes = 0;
    const auto flush = [&] {
        if (!batch.empty()) {
            stream.AddBatch(batch, progress);
        }
        batch.clear();
        batch_bytes = 0;
    };
    WalkInputs(paths, false, [&](const InputEntry &e) {
        if (!e.directory && e.size >= kLargeFile) {
            flush();
            stream.AddLarge(e, progress);
            return;
        }
        batch_bytes += e.size;
        batch.push_back(e);
        if (batch_bytes >= kBatchBytes || batch.size() >= kBatchMembers) {
            flush();
        }
    });
    flush();
}

std::string MemberName(const lzhsfx::ArchiveMember &m) {
    std::string name = m.absolute ? "/" : "";
    for (const std::string &part : m.info.directory) {
        name += part + "/";
    }
    return ShowShiftJis(name + m.info.name);
}

// The name of the member `index` of the archive in `source`.
std::string MemberName(const lzhsfx::ByteSource &source, const lzhsfx::ReadOptions &options,
                       size_t index) {
    lzhsfx::ArchiveWalker walker(source, options);
    lzhsfx::ArchiveMember m;
    for (size_t i = 0; walker.Next(&m) && i < index; ++i) {
    }
    return MemberName(m);
}

// Adds the members of an existing archive: as they stand when the installer reads
// them so, else rewritten with its own level-2 headers and the packed data as it is.
// Every member must land where `lzhsfx extract` puts it: both read the archive the
// installer gets from ForInstaller.
void AddArchive(ArchiveStream &stream, const BuildOptions &options) {
    const std::string &path = options.from_archive;
    const FileSource source(path);
    uint8_t start[2] = {};
    try {
        source.Read(0, start, static_cast<size_t>(std::min<uint64_t>(source.size(), 2)));
    } catch (const lzhsfx::LzhError &e) {
        throw Failure(e.what());
    }
    if (source.size() >= 2 && start[0] == 'M' && start[1] == 'Z') {
        throw Failure(Quoted(path) +
                      " is a program, not an LZH archive; `lzhsfx extract` takes an installer "
                      "apart");
    }
    lzhsfx::ReadOptions read_options;
    read_options.dos_time_offset = options.dos_time_offset;
    FileSpool spool;
    lzhsfx::PathTracker paths;
    size_t index = 0;
    const auto check = [&](const lzhsfx::InstallerMember &entry) {
        const lzhsfx::ArchiveMember &m = entry.member;
        if (m.itself) {
            ++index; // the install folder stands for the folder the archive was made of
            return;
        }
        const std::string member = Quoted(path) + ": the member " + Quoted(MemberName(m));
        if (!entry.refusal.empty()) {
            throw Failure(member + " cannot go into the installer: " + ShowShiftJis(entry.refusal));
        }
        const std::string outside = lzhsfx::OutsideReason(m);
        if (!outside.empty() && !options.allow_outside) {
            throw Failure(member + " would be installed outside the install folder: " + outside +
                          " (--allow-outside-paths keeps such paths)");
        }
        if (m.info.directory.empty() && !m.absolute &&
            ((m.info.name == "!" && !options.notice_file.empty()) ||
             (m.info.name == "$" && !options.directives_file.empty()))) {
            throw Failure(Quoted(path) + " already holds the installer's " +
                          (m.info.name == "!" ? "notice" : "directives") + " (member " +
                          Quoted(m.info.name) + ")");
        }
        lzhsfx::PathConflict conflict;
        if (!paths.Add(entry, index, &conflict)) {
            const std::string earlier = Quoted(MemberName(source, read_options, conflict.earlier));
            throw Failure(
                member +
                (conflict.through_file
                     ? " would go into a folder where the earlier member " + earlier +
                           " made a file"
                     : " would be a file where the earlier member " + earlier + " made a folder") +
                "; the installer could not create it");
        }
        if (m.dropped_data != 0) {
            PrintWarning(member + " is a directory with " + std::to_string(m.dropped_data) +
                         " bytes of data (extended attributes, as OS/2 keeps them): made a "
                         "directory entry without them");
        }
        ++index;
    };
    lzhsfx::InstallerArchive archive;
    try {
        archive = lzhsfx::ForInstaller(source, spool, check, read_options);
    } catch (const lzhsfx::LzhError &e) {
        throw Failure(Quoted(path) + ": " + e.what());
    }
    if (archive.trailing != 0) {
        PrintWarning(Quoted(path) + ": " + std::to_string(archive.trailing) +
                     " bytes after the end mark are not part of the archive and are left out");
    }
    try {
        if (archive.as_stored) {
            stream.AddRaw(source, 0, archive.end, archive.checksum, archive.taken);
        } else {
            stream.AddRaw(archive.rewritten, 0, archive.rewritten.size() - 1, archive.checksum,
                          archive.taken);
        }
    } catch (const lzhsfx::LzhError &e) {
        throw Failure(e.what());
    }
}

// Walks the written file with the stub's reader; with `full`, decodes it too.
void CheckWritten(const OutputFile &out, size_t expected_members, const BuildOptions &options) {
    bool ok;
    size_t members = 0;
    {
        StubArchive archive(out.temporary_path(), options.dos_time_offset);
        Member m;
        StubArchive::Step step;
        while ((step = archive.Next(&m)) == StubArchive::Step::kMember) {
        }
        ok = step == StubArchive::Step::kEnd;
        members = archive.count();
    }
    if (!ok || members != expected_members) {
        throw Failure(Quoted(options.output) +
                      ": the installer's own reader does not read back what was written");
    }
    if (options.verify &&
        TestArchive(out.temporary_path(), options.dos_time_offset, options.threads, true) != 0) {
        throw Failure(Quoted(options.output) + ": the written installer does not test clean");
    }
}

} // namespace

StubChoice DefaultStub() {
    StubChoice choice;
    if (platform::EnvironmentVariable(kStubVariable, &choice.path)) {
        choice.from_environment = true;
        return choice;
    }
    const std::string folder = platform::ExecutableFolder();
    // Copied beside the tool, installed (bin/lzhsfx and share/lzhsfx/sfxstub.exe), or in
    // the build tree, where the tool is in build/host or build/release and the stub in
    // build/win32.
    for (const std::string &candidate :
         {folder + "/sfxstub.exe", folder + "/../share/lzhsfx/sfxstub.exe",
          folder + "/../win32/sfxstub.exe"}) {
        choice.looked_in.push_back(candidate);
        if (platform::IsReadable(candidate)) {
            // Shown without the "..": the tool's folder has its links resolved already.
            if (!platform::FullName(candidate, &choice.path)) {
                choice.path = candidate;
            }
            return choice;
        }
    }
    return choice;
}

std::string LookedIn(const StubChoice &choice) {
    std::string places;
    for (size_t i = 0; i < choice.looked_in.size(); ++i) {
        places += (i == 0 ? "" : i + 1 == choice.looked_in.size() ? " and " : ", ");
        places += Quoted(choice.looked_in[i]);
    }
    return places;
}

void BuildInstaller(const BuildOptions &options) {
    std::string stub_path = options.stub;
    if (stub_path.empty()) {
        const StubChoice choice = DefaultStub();
        if (choice.path.empty()) {
            throw Failure("no stub found (looked for " + LookedIn(choice) +
                          "); give one with --stub or " + kStubVariable);
        }
        stub_path = choice.path;
    }
    // Everything that can be refused is checked before the output is touched.
    std::vector<uint8_t> stub = ReadStub(stub_path);
    SetExecutionLevel(&stub, options.execution_level, stub_path);
    ImageVersion version;
    if ((options.settings.flags & kSilentCommand) &&
        !(ReadImageVersion(stub.data(), stub.size(), &version) && KnowsSilentSwitch(version))) {
        PrintWarning(Quoted(stub_path) +
                     " is older than the silent switch -s: --silent-command changes nothing");
    }
    const std::vector<uint8_t> record =
        MakeSettingsRecord(options.settings, static_cast<uint32_t>(stub.size()));
    std::string notice, directives;
    if (!options.notice_file.empty()) {
        notice = ReadText(options.notice_file, "notice", lzhsfx::kMaxNoticeText);
    }
    if (!options.directives_file.empty()) {
        directives = ReadText(options.directives_file, "directives", lzhsfx::kMaxDirectiveText);
        for (const DirectiveWarning &w : CheckDirectives(directives)) {
            PrintWarning(options.directives_file + ":" + std::to_string(w.line) + ": " + w.text);
        }
    }
    // A first walk checks every input and sums their sizes before anything is packed;
    // the second packs them, as it finds them then.
    uint64_t total = 0;
    if (options.from_archive.empty()) {
        platform::FileStatus output;
        const bool exists = platform::Status(options.output, &output);
        WalkInputs(options.paths, true, [&](const InputEntry &e) {
            if (exists && e.volume == output.volume && e.file == output.file) {
                throw Failure("the output " + Quoted(options.output) + " is among the inputs (as " +
                              Quoted(e.source) + "); write it elsewhere");
            }
            total += e.size;
        });
    }

    OutputFile out(options.output);
    std::vector<uint8_t> head = stub;
    std::copy(record.begin(), record.end(), head.begin() + kSettingsOffset);
    out.Write(head.data(), head.size());
    const bool checksum = (options.settings.flags & kArchiveChecksum) != 0;
    if (checksum) {
        const uint8_t placeholder[2] = {0, 0};
        out.Write(placeholder, 2);
    }
    ArchiveStream stream(out, options);
    stream.AddTexts(notice, directives);
    if (options.from_archive.empty()) {
        AddInputs(stream, options.paths, total);
    } else {
        AddArchive(stream, options);
    }
    const uint8_t end_mark = 0;
    out.Write(&end_mark, 1);
    if (checksum) {
        const uint8_t sum[2] = {static_cast<uint8_t>(stream.checksum()),
                                static_cast<uint8_t>(stream.checksum() >> 8)};
        out.WriteAt(stub.size(), sum, 2);
    }
    // The stub keeps its own size, and every position in the file, in 32 bits.
    if (out.size() > UINT32_MAX) {
        throw Failure(Quoted(options.output) + ": the installer would be " +
                      std::to_string(out.size()) + " bytes; it can be at most 4 GiB - 1");
    }
    CheckWritten(out, stream.members(), options);
    out.Commit();
    PrintNote("wrote " + options.output + ": " + std::to_string(stream.members()) + " members, " +
              std::to_string(out.size()) + " bytes (stub " + std::to_string(stub.size()) +
              ", archive " + std::to_string(out.size() - stub.size()) + ")");
}

} // namespace cli
