#include "commands.h"

#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <memory>
#include <set>
#include <vector>

#include "console.h"
#include "directive_check.h"
#include "installer_archive.h"
#include "lzh_writer.h"
#include "manifest.h"
#include "platform.h"
#include "stub_archive.h"
#include "stub_features.h"
#include "text_codec.h"
#include "win32_runtime.h"

namespace cli {
namespace {

std::string Quoted(const std::string &s) {
    return "\"" + s + "\"";
}

bool IsNotice(const Member &m) {
    return m.path == "!";
}

bool IsDirectives(const Member &m) {
    return m.path == "$";
}

std::string ShowName(const Member &m) {
    return ShowShiftJis(m.path);
}

std::string Hex16(uint16_t v) {
    char text[8];
    std::snprintf(text, sizeof text, "%04X", v);
    return text;
}

std::string UtcTime(uint32_t t) {
    const struct tm tm = platform::UtcCalendar(t);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &tm);
    return text;
}

std::string Attributes(uint16_t a) {
    std::string s = "-----";
    const char letters[] = "rhsda";
    const uint16_t bits[] = {0x01, 0x02, 0x04, 0x10, 0x20};
    for (int i = 0; i < 5; ++i) {
        if (a & bits[i]) {
            s[static_cast<size_t>(i)] = letters[i];
        }
    }
    return s;
}

std::string FlagNames(uint8_t flags) {
    std::string s;
    const struct {
        uint8_t bit;
        const char *name;
    } kNames[] = {{kAutoStart, "auto start"},
                  {kOverwriteSilently, "overwrite"},
                  {kArchiveChecksum, "archive checksum"},
                  {kNoSkipNotNewer, "no skip of newer files"},
                  {kSilentCommand, "command in silent installs"}};
    for (const auto &n : kNames) {
        if (flags & n.bit) {
            s += (s.empty() ? "" : ", ") + std::string(n.name);
        }
    }
    return s.empty() ? "none" : s;
}

// Says what keeps bytes of a plain archive out of it.
void WarnTrailing(const StubArchive &archive, const std::string &file) {
    if (archive.trailing() != 0) {
        PrintWarning(Quoted(file) + ": " + std::to_string(archive.trailing()) +
                     " bytes after the end mark are not part of the archive");
    }
}

// Says that the walk cannot go on past the member it stopped at.
void ReportDamage(const StubArchive &archive, const std::string &file) {
    const size_t n = archive.count();
    PrintError(Quoted(file) + ": the archive cannot be read past byte " +
               std::to_string(archive.position()) +
               (n == 0 && !archive.location().installer
                    ? ": not an installer or an LZH archive, or damaged at its start"
                    : " (after " + std::to_string(n) + " members)"));
}

// Reads the next header; says what the stub found wrong when the walk cannot go on,
// and counts it in `faults`.
bool NextMember(StubArchive &archive, const std::string &file, Member *m, int *faults) {
    const StubArchive::Step step = archive.Next(m);
    if (step == StubArchive::Step::kDamaged) {
        ReportDamage(archive, file);
        ++*faults;
    }
    return step == StubArchive::Step::kMember;
}

// Compares the checksum in front of the archive with `sum`, the XOR of the members'
// data CRCs, once the walk has read them all.
int CheckChecksum(StubArchive &archive, const std::string &file, uint16_t sum) {
    if (!archive.location().has_checksum) {
        return 0;
    }
    uint16_t stored = 0;
    if (!archive.StoredChecksum(&stored)) {
        PrintError(Quoted(file) + ": the archive checksum is missing");
        return 1;
    }
    if (sum != stored) {
        PrintError(Quoted(file) + ": the archive checksum is " + Hex16(stored) +
                   " but the members' CRCs give " + Hex16(sum) +
                   "; the installer would report 改竄されています (tampered with)");
        return 1;
    }
    return 0;
}

// What the decoder's progress step moves: the share of the archive read.
Progress *decoding = nullptr;
const StubArchive *decoded = nullptr;

void ProgressStep() {
    if (decoding != nullptr) {
        decoding->Update(decoded->read_position());
    }
}

class DecodeProgress {
  public:
    DecodeProgress(const char *label, const StubArchive &archive)
        : progress_(label, archive.location().file_size) {
        decoding = &progress_;
        decoded = &archive;
        runtime::SetProgressStep(ProgressStep);
    }
    ~DecodeProgress() {
        runtime::SetProgressStep(nullptr);
        decoding = nullptr;
        decoded = nullptr;
    }

  private:
    Progress progress_;
};

// Says why the installer cannot take a member; returns 1 when it cannot.
int Refusal(const std::string &file, const Member &m, const char *what) {
    if (m.refusal.empty()) {
        return 0;
    }
    PrintError(Quoted(file) + ": " + Quoted(ShowName(m)) + ": " + what + ": " +
               ShowShiftJis(m.refusal));
    return 1;
}

// Checks one decoded member; returns its faults, which are reported when `say`.
int CheckDecoded(const std::string &file, const Member &m, const DecodeResult &r, bool say = true) {
    const std::string name = Quoted(file) + ": " + Quoted(ShowName(m));
    int faults = 0;
    const auto fault = [&](const std::string &what) {
        if (say) {
            PrintError(name + ": " + what);
        }
        ++faults;
    };
    if (!r.completed) {
        fault("decoding failed");
        return faults;
    }
    if (r.crc != m.crc && m.method != 'd') {
        fault("CRC error: the header says " + Hex16(m.crc) + ", the data gives " + Hex16(r.crc));
    }
    if (r.produced != (m.method == 'd' ? 0 : m.unpacked_size)) {
        fault("decodes to " + std::to_string(r.produced) + " bytes, the header says " +
              std::to_string(m.unpacked_size));
    }
    if (r.position_error != 0) {
        const uint64_t n =
            static_cast<uint64_t>(r.position_error < 0 ? -r.position_error : r.position_error);
        fault("the installer would read the next header " + std::to_string(n) + " bytes " +
              (r.position_error < 0 ? "before" : "after") +
              " the end of this member's packed data");
    }
    return faults;
}

// ---- Walking in batches ---------------------------------------------------------

// A batch ends after this much member data, or this many members.
constexpr uint64_t kBatchBytes = uint64_t{32} << 20;
constexpr size_t kBatchMembers = 1024;

// What a walk keeps of a member while its batch is under way: the member, and what is
// said about it, on this thread or on the one that decodes it.
struct Slot {
    Member member;
    std::vector<std::string> said;
    int faults = 0; // found while it was prepared
    bool decode = false;
    DecodeResult result;
};

// Walks the archive member by member and decodes the members in batches, on up to
// `threads` threads at once. `work` prepares each member in order on this thread
// (Prepare: false when it must wait until the members before it are done), decodes
// it on any thread (Decode) and finishes it in order (Finish: its faults) once its
// batch is decoded and what was said about it is shown; Batched is told when a batch
// is done. Returns the faults, those of the walk and the archive checksum included.
template <typename Work>
int WalkInBatches(StubArchive &archive, const std::string &file, int threads, Work &work) {
    int faults = 0;
    std::vector<typename Work::Slot> batch;
    uint64_t bytes = 0;
    const auto run = [&] {
        archive.OnThreads(batch.size(), threads, [&](size_t i) {
            if (batch[i].decode) {
                CaptureMessages(&batch[i].said);
                work.Decode(batch[i]);
                CaptureMessages(nullptr);
            }
        });
        for (typename Work::Slot &slot : batch) {
            ShowMessages(slot.said);
            faults += slot.faults + work.Finish(slot);
        }
        batch.clear();
        bytes = 0;
        work.Batched();
    };
    uint16_t sum = 0;
    for (;;) {
        typename Work::Slot slot;
        CaptureMessages(&slot.said);
        const StubArchive::Step step = archive.Next(&slot.member);
        CaptureMessages(nullptr);
        if (step != StubArchive::Step::kMember) {
            run();
            ShowMessages(slot.said);
            if (step == StubArchive::Step::kDamaged) {
                ReportDamage(archive, file);
                ++faults;
            } else {
                faults += CheckChecksum(archive, file, sum);
            }
            return faults;
        }
        sum ^= slot.member.crc;
        if (batch.size() >= kBatchMembers || bytes >= kBatchBytes || work.Waits(slot.member)) {
            run();
        }
        CaptureMessages(&slot.said);
        work.Prepare(slot);
        CaptureMessages(nullptr);
        bytes += slot.decode ? slot.member.unpacked_size : 0;
        batch.push_back(std::move(slot));
    }
}

// Says what the installer will make of its notice or directives.
void CheckText(const std::string &file, const Member &m, const std::string &text) {
    const std::string name = Quoted(file) + ": the " + (IsNotice(m) ? "notice" : "directives");
    const size_t limit = IsNotice(m) ? lzhsfx::kMaxNoticeText : lzhsfx::kMaxDirectiveText;
    const size_t zero = text.find('\0');
    if (zero != std::string::npos && zero < limit) {
        PrintWarning(name + " holds a zero byte; the installer reads only the " +
                     std::to_string(zero) + " bytes before it");
    } else if (text.size() > limit) {
        PrintWarning(name + " is " + std::to_string(text.size()) +
                     " bytes; the installer reads only the first " + std::to_string(limit));
    }
    if (IsDirectives(m)) {
        for (const DirectiveWarning &w : CheckDirectives(text.substr(0, std::min(zero, limit)))) {
            PrintWarning(name + ", line " + std::to_string(w.line) + ": " + w.text);
        }
    }
}

// ---- Extraction -----------------------------------------------------------------

// Splits a member path into the components it names under the destination, in UTF-8,
// or says why it would leave the destination folder.
bool SafeComponents(std::string path, std::vector<std::string> *parts,
                    std::vector<std::string> *sjis_parts, std::string *why) {
    // A path from the root is taken below the folder, as tar and lhasa take it.
    path.erase(0, path.find_first_not_of('/'));
    const unsigned char first = static_cast<unsigned char>(path.empty() ? 0 : path[0]);
    if (path.size() >= 2 && path[1] == ':' && first < 0x80) {
        *why = "it starts with a drive letter";
        return false;
    }
    size_t start = 0;
    while (start <= path.size()) {
        size_t end = path.find('/', start);
        if (end == std::string::npos) {
            end = path.size();
        }
        const std::string part = path.substr(start, end - start);
        start = end + 1;
        if (part.empty() || part == ".") {
            continue;
        }
        if (part == "..") {
            *why = "it leads up out of the folder with \"..\"";
            return false;
        }
        std::string utf8;
        if (!FromShiftJis(part, &utf8)) {
            *why = "its name is not valid Shift-JIS";
            return false;
        }
        if (!platform::IsPlainName(utf8)) {
            *why = "its name " + Quoted(utf8) + " would name another place on this system";
            return false;
        }
        parts->push_back(utf8);
        sjis_parts->push_back(part);
    }
    if (parts->empty()) {
        *why = "it names no file";
        return false;
    }
    return true;
}

// The folders below the root that the last member went into, kept open: the members
// of one folder follow one another, and each would otherwise open them all anew.
class OpenFolders {
  public:
    explicit OpenFolders(const platform::Folder &root) : root_(root) {}

    // The folder `parts[0..count)` below the root, created where it is missing, through
    // no symbolic link; null with `why` set when it cannot be opened.
    const platform::Folder *Open(const std::vector<std::string> &parts, size_t count,
                                 std::string *why) {
        size_t same = 0;
        while (same < names_.size() && same < count && names_[same] == parts[same]) {
            ++same;
        }
        // Folders a member of the batch still uses are kept until the batch is done.
        while (folders_.size() > same) {
            retired_.push_back(std::move(folders_.back()));
            folders_.pop_back();
        }
        names_.resize(same);
        for (size_t i = same; i < count; ++i) {
            const platform::Folder &at = i == 0 ? root_ : *folders_[i - 1];
            if (!at.MakeFolder(parts[i])) {
                *why =
                    "cannot create the folder " + Quoted(parts[i]) + ": " + platform::LastError();
                return nullptr;
            }
            auto next = std::make_unique<platform::Folder>();
            if (!at.OpenFolder(parts[i], next.get())) {
                *why = Quoted(parts[i]) + (platform::LastErrorKind() == platform::ErrorKind::kLink
                                               ? " is a symbolic link or not a folder"
                                               : ": " + platform::LastError());
                return nullptr;
            }
            folders_.push_back(std::move(next));
            names_.push_back(parts[i]);
        }
        return count == 0 ? &root_ : folders_[count - 1].get();
    }

    // Closes the folders no longer on the way of the last member.
    void Release() {
        retired_.clear();
    }

  private:
    const platform::Folder &root_;
    std::vector<std::string> names_;
    std::vector<std::unique_ptr<platform::Folder>> folders_, retired_;
};

std::string Joined(const std::vector<std::string> &parts, const char *separator) {
    std::string s;
    for (size_t i = 0; i < parts.size(); ++i) {
        s += (i == 0 ? "" : separator) + parts[i];
    }
    return s;
}

class Extractor {
  public:
    struct Slot : cli::Slot {
        platform::NativeFile file = platform::kNoFile;
        const platform::Folder *folder = nullptr;
        std::string leaf, name, destination;
        bool closed = false;
        std::string close_error;
    };

    Extractor(StubArchive &archive, const std::string &file, const platform::Folder &root,
              const std::string &folder, bool force)
        : archive_(archive), file_(file), root_(root), folder_(folder), force_(force), open_(root) {
    }

    // Whether the member's name, or a folder on its way, is a file of the batch: the
    // files of the batch are made first and finished later, and a member that depends
    // on one must find it as it is after its member.
    bool Waits(const Member &m) const {
        std::string key;
        for (size_t start = 0; start <= m.path.size();) {
            size_t end = m.path.find('/', start);
            end = end == std::string::npos ? m.path.size() : end;
            const std::string part = m.path.substr(start, end - start);
            start = end + 1;
            if (part.empty() || part == ".") {
                continue;
            }
            key += lzhsfx::FoldedName(part) + '/';
            if (batch_files_.count(key) != 0) {
                return true;
            }
        }
        return false;
    }

    // Everything up to decoding, in order: the checks and the folders.
    void Prepare(Slot &slot) {
        const Member &m = slot.member;
        std::vector<std::string> parts, sjis;
        std::string why;
        slot.name = Quoted(file_) + ": " + Quoted(ShowName(m));
        if (Refusal(file_, m, "not extracted") != 0) {
            slot.faults = 1;
            return;
        }
        if (m.itself) {
            return; // the destination folder stands for it
        }
        if (!SafeComponents(m.path, &parts, &sjis, &why)) {
            PrintError(slot.name + ": not extracted: " + why);
            slot.faults = 1;
            return;
        }
        if (m.path[0] == '/') {
            PrintWarning(slot.name + ": extracted without its leading \"/\", below " +
                         Quoted(folder_));
        }
        if (m.method == 'd') {
            if (open_.Open(parts, parts.size(), &why) == nullptr) {
                PrintError(slot.name + ": " + why);
                slot.faults = 1;
                return;
            }
            folders_.push_back({Joined(parts, "/"), m.access_time, m.modification_time});
            return;
        }
        slot.folder = open_.Open(parts, parts.size() - 1, &why);
        if (slot.folder == nullptr) {
            PrintError(slot.name + ": " + why);
            slot.faults = 1;
            return;
        }
        slot.leaf = parts.back();
        std::string key;
        for (const std::string &part : sjis) {
            key += lzhsfx::FoldedName(part) + '/';
        }
        batch_files_.insert(key);
        // The stub names the file in its messages and deletes it after an abort.
        slot.destination = Joined(sjis, "/");
        slot.decode = true;
    }

    // Creates the file (no member of the batch before it makes one of its name), decodes
    // into it, gives it its times and closes it; a file with a fault goes.
    void Decode(Slot &slot) {
        slot.file = slot.folder->NewFile(slot.leaf, force_);
        if (slot.file == platform::kNoFile) {
            const platform::ErrorKind kind = platform::LastErrorKind();
            PrintError(slot.name + ": " +
                       (kind == platform::ErrorKind::kExists ? "exists; --force overwrites it"
                        : kind == platform::ErrorKind::kLink
                            ? "is a symbolic link; not followed"
                            : "cannot create: " + platform::LastError()));
            slot.faults = 1;
            return;
        }
        const HANDLE output = runtime::HandleForFile(slot.file);
        slot.result = archive_.Decode(slot.member, output, slot.destination);
        if (!slot.result.completed) {
            return; // the abort path has closed and deleted the file
        }
        const bool sound = CheckDecoded(file_, slot.member, slot.result, false) == 0;
        if (sound) {
            platform::SetTimes(slot.file, slot.member.access_time, slot.member.modification_time);
        }
        slot.closed = runtime::CloseOutput(output);
        if (!slot.closed) {
            slot.close_error = platform::LastError();
        }
        if (!sound || !slot.closed) {
            slot.folder->Remove(slot.leaf);
        }
    }

    int Finish(Slot &slot) {
        if (!slot.decode || slot.file == platform::kNoFile) {
            return 0;
        }
        int faults = CheckDecoded(file_, slot.member, slot.result);
        if (!slot.result.completed) {
            return faults;
        }
        if (!slot.closed) {
            PrintError(slot.name + ": cannot write: " + slot.close_error);
            ++faults;
        }
        if (faults != 0) {
            PrintError(slot.name + ": removed");
        } else {
            ++files_;
        }
        return faults;
    }

    void Batched() {
        batch_files_.clear();
        open_.Release();
    }

    // Gives the folders their times, innermost first, now that nothing more is
    // written into them.
    void StampFolders() {
        for (auto it = folders_.rbegin(); it != folders_.rend(); ++it) {
            root_.SetFolderTimes(it->path, it->access_time, it->modification_time);
        }
    }

    int files() const {
        return files_;
    }

  private:
    StubArchive &archive_;
    const std::string &file_;
    const platform::Folder &root_;
    const std::string &folder_;
    bool force_;
    int files_ = 0;
    OpenFolders open_;
    std::set<std::string> batch_files_;
    struct Stamp {
        std::string path;
        uint32_t access_time, modification_time;
    };
    std::vector<Stamp> folders_;
};

// Decodes each member as the installer would, its output kept only for the notice and
// the directives.
class Tester {
  public:
    struct Slot : cli::Slot {
        bool special = false;
        std::string text;
    };

    Tester(StubArchive &archive, const std::string &file) : archive_(archive), file_(file) {}

    bool Waits(const Member &) const {
        return false;
    }

    void Prepare(Slot &slot) {
        slot.faults = Refusal(file_, slot.member, "not tested");
        slot.decode = slot.faults == 0 && !slot.member.itself;
        slot.special = IsNotice(slot.member) || IsDirectives(slot.member);
    }

    void Decode(Slot &slot) {
        const HANDLE output =
            slot.special ? runtime::CaptureHandle(&slot.text, lzhsfx::kMaxDirectiveText + 1)
                         : runtime::DiscardHandle();
        slot.result = archive_.Decode(slot.member, output, "");
        if (slot.result.completed) {
            runtime::CloseOutput(output);
        }
    }

    int Finish(Slot &slot) {
        if (!slot.decode) {
            return 0;
        }
        const int faults = CheckDecoded(file_, slot.member, slot.result);
        if (faults == 0 && slot.special) {
            CheckText(file_, slot.member, slot.text);
        }
        return faults;
    }

    void Batched() {}

  private:
    StubArchive &archive_;
    const std::string &file_;
};

} // namespace

int ListArchive(const std::string &file, int32_t dos_time_offset) {
    StubArchive archive(file, dos_time_offset);
    const ArchiveLocation &at = archive.location();
    if (at.installer) {
        const StoredSettings &s = at.settings;
        std::printf("installer %s: archive from byte %" PRIu64 " of %" PRIu64 "\n",
                    Quoted(file).c_str(), at.archive_offset, at.file_size);
        std::printf("  title            %s\n", Quoted(ShowShiftJis(s.title)).c_str());
        std::printf("  install title    %s\n", Quoted(ShowShiftJis(s.install_title)).c_str());
        std::printf("  install folder   %s\n", Quoted(ShowShiftJis(s.install_dir)).c_str());
        std::printf("  command          %s\n", Quoted(ShowShiftJis(s.command)).c_str());
        std::printf("  flags            0x%02X (%s)\n", s.flags, FlagNames(s.flags).c_str());
        std::printf("  attributes       %s\n",
                    s.restore_attributes != 0 ? "restored" : "not restored");
        std::printf("  elevation        %s\n", ExecutionLevelOf(file, at.archive_offset).c_str());
        std::printf("  silent switch    %s\n", SilentSwitchOf(file, at.archive_offset).c_str());
    } else {
        std::printf("archive %s%s\n", Quoted(file).c_str(),
                    archive.converted() ? " (read as --from-archive would wrap it)" : "");
    }
    WarnTrailing(archive, file);
    int faults = 0;
    std::printf("%-6s %10s %10s %6s  %-19s  %-4s  %-5s  %s\n", "Method", "Packed", "Size", "Ratio",
                "Time (UTC)", "CRC", "Attr", "Name");
    uint64_t packed = 0, size = 0;
    Member m;
    while (NextMember(archive, file, &m, &faults)) {
        char ratio[16] = "     -";
        if (m.method != 'd' && m.unpacked_size != 0) {
            std::snprintf(ratio, sizeof ratio, "%5.1f%%", 100.0 * m.packed_size / m.unpacked_size);
        }
        std::string name = ShowName(m) + (m.method == 'd' && m.path.back() != '/' ? "/" : "");
        if (IsNotice(m)) {
            name += "  (notice)";
        } else if (IsDirectives(m)) {
            name += "  (directives)";
        }
        std::printf("%-6s %10" PRIu64 " %10" PRIu64 " %s  %s  %s  %s  %s\n",
                    ShowShiftJis(m.method_name).c_str(), m.packed_size, m.unpacked_size, ratio,
                    UtcTime(m.modification_time).c_str(), Hex16(m.crc).c_str(),
                    Attributes(m.attribute).c_str(), name.c_str());
        if (!m.comment.empty()) {
            std::printf("       comment: %s\n", Quoted(ShowShiftJis(m.comment)).c_str());
        }
        for (const std::string &quirk : m.quirks) {
            std::printf("       header: %s\n", quirk.c_str());
        }
        if (m.itself) {
            std::printf("       the folder the archive was made of: the install folder stands "
                        "for it, nothing to make\n");
        } else if (!m.refusal.empty()) {
            std::printf("       not for the installer: %s\n", ShowShiftJis(m.refusal).c_str());
        } else if (m.method_name == "-lh1-") {
            std::printf("       for the installer: decoded and packed anew with -lh7-\n");
        }
        packed += m.packed_size;
        size += m.method == 'd' ? 0 : m.unpacked_size;
    }
    char ratio[16] = "";
    if (size != 0) {
        std::snprintf(ratio, sizeof ratio, " (%.1f%%)",
                      100.0 * static_cast<double>(packed) / static_cast<double>(size));
    }
    std::printf("%zu members, %" PRIu64 " bytes, packed %" PRIu64 "%s\n", archive.count(), size,
                packed, ratio);
    if (at.has_checksum) {
        uint16_t stored = 0;
        if (archive.StoredChecksum(&stored)) {
            std::printf("archive checksum %s\n", Hex16(stored).c_str());
        }
    }
    std::fflush(stdout);
    return faults == 0 ? 0 : 1;
}

int TestArchive(const std::string &file, int32_t dos_time_offset, int threads, bool verifying) {
    StubArchive archive(file, dos_time_offset);
    WarnTrailing(archive, file);
    int faults;
    {
        DecodeProgress progress("testing", archive);
        Tester tester(archive, file);
        faults = WalkInBatches(archive, file, threads, tester);
    }
    if (verifying) {
        return faults;
    }
    if (faults == 0) {
        PrintNote(file + ": " + std::to_string(archive.count()) + " members tested, no faults");
    } else {
        PrintError(file + ": " + std::to_string(faults) + (faults == 1 ? " fault" : " faults"));
    }
    return faults;
}

int ExtractArchive(const std::string &file, const std::string &folder, bool force,
                   int32_t dos_time_offset, int threads) {
    StubArchive archive(file, dos_time_offset);
    WarnTrailing(archive, file);
    platform::Folder root;
    if (!root.OpenCreating(folder)) {
        throw Failure(Quoted(folder) + ": cannot create: " + platform::LastError());
    }
    runtime::SetRootDirectory(&root);
    Extractor extractor(archive, file, root, folder, force);
    int faults;
    {
        DecodeProgress progress("extracting", archive);
        faults = WalkInBatches(archive, file, threads, extractor);
    }
    extractor.StampFolders();
    runtime::SetRootDirectory(nullptr);
    if (faults == 0) {
        PrintNote("extracted " + std::to_string(extractor.files()) + " files from " + file +
                  " into " + folder);
    } else {
        PrintError(file + ": " + std::to_string(faults) + (faults == 1 ? " fault" : " faults"));
    }
    return faults == 0 ? 0 : 1;
}

} // namespace cli
