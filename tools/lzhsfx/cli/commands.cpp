#include "commands.h"

#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <vector>

#include "console.h"
#include "directive_check.h"
#include "lzh_writer.h"
#include "manifest.h"
#include "platform.h"
#include "stub_archive.h"
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
                  {kNoSkipNotNewer, "no skip of newer files"}};
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

// Reads the next header; says what the stub found wrong when the walk cannot go on,
// and counts it in `faults`.
bool NextMember(StubArchive &archive, const std::string &file, Member *m, int *faults) {
    const StubArchive::Step step = archive.Next(m);
    if (step == StubArchive::Step::kDamaged) {
        const size_t n = archive.count();
        PrintError(Quoted(file) + ": the archive cannot be read past byte " +
                   std::to_string(archive.position()) +
                   (n == 0 && !archive.location().installer
                        ? ": not an installer or an LZH archive, or damaged at its start"
                        : " (after " + std::to_string(n) + " members)"));
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

// Checks one decoded member; returns its faults.
int CheckDecoded(const std::string &file, const Member &m, const DecodeResult &r) {
    const std::string name = Quoted(file) + ": " + Quoted(ShowName(m));
    if (!r.completed) {
        PrintError(name + ": decoding failed");
        return 1;
    }
    int faults = 0;
    if (r.crc != m.crc && m.method != 'd') {
        PrintError(name + ": CRC error: the header says " + Hex16(m.crc) + ", the data gives " +
                   Hex16(r.crc));
        ++faults;
    }
    if (r.produced != (m.method == 'd' ? 0 : m.unpacked_size)) {
        PrintError(name + ": decodes to " + std::to_string(r.produced) +
                   " bytes, the header says " + std::to_string(m.unpacked_size));
        ++faults;
    }
    if (r.position_error != 0) {
        const uint64_t n =
            static_cast<uint64_t>(r.position_error < 0 ? -r.position_error : r.position_error);
        PrintError(name + ": the installer would read the next header " + std::to_string(n) +
                   " bytes " + (r.position_error < 0 ? "before" : "after") +
                   " the end of this member's packed data");
        ++faults;
    }
    return faults;
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
        names_.resize(same);
        folders_.resize(same);
        for (size_t i = same; i < count; ++i) {
            const platform::Folder &at = i == 0 ? root_ : folders_[i - 1];
            if (!at.MakeFolder(parts[i])) {
                *why =
                    "cannot create the folder " + Quoted(parts[i]) + ": " + platform::LastError();
                return nullptr;
            }
            platform::Folder next;
            if (!at.OpenFolder(parts[i], &next)) {
                *why = Quoted(parts[i]) + (platform::LastErrorKind() == platform::ErrorKind::kLink
                                               ? " is a symbolic link or not a folder"
                                               : ": " + platform::LastError());
                return nullptr;
            }
            folders_.push_back(std::move(next));
            names_.push_back(parts[i]);
        }
        return count == 0 ? &root_ : &folders_[count - 1];
    }

  private:
    const platform::Folder &root_;
    std::vector<std::string> names_;
    std::vector<platform::Folder> folders_;
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
    Extractor(StubArchive &archive, const std::string &file, const platform::Folder &root,
              const std::string &folder, bool force)
        : archive_(archive), file_(file), root_(root), folder_(folder), force_(force), open_(root) {
    }

    // Extracts one member; returns its faults.
    int Extract(const Member &m) {
        std::vector<std::string> parts, sjis;
        std::string why;
        const std::string name = Quoted(file_) + ": " + Quoted(ShowName(m));
        if (Refusal(file_, m, "not extracted") != 0) {
            return 1;
        }
        if (!SafeComponents(m.path, &parts, &sjis, &why)) {
            PrintError(name + ": not extracted: " + why);
            return 1;
        }
        if (m.path[0] == '/') {
            PrintWarning(name + ": extracted without its leading \"/\", below " + Quoted(folder_));
        }
        if (m.method == 'd') {
            if (open_.Open(parts, parts.size(), &why) == nullptr) {
                PrintError(name + ": " + why);
                return 1;
            }
            folders_.push_back({Joined(parts, "/"), m.access_time, m.modification_time});
            return 0;
        }
        const platform::Folder *folder = open_.Open(parts, parts.size() - 1, &why);
        if (folder == nullptr) {
            PrintError(name + ": " + why);
            return 1;
        }
        return File(m, *folder, parts, sjis, name);
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
    int File(const Member &m, const platform::Folder &folder, const std::vector<std::string> &parts,
             const std::vector<std::string> &sjis, const std::string &name) {
        const std::string &leaf = parts.back();
        const platform::NativeFile file = folder.NewFile(leaf, force_);
        if (file == platform::kNoFile) {
            const platform::ErrorKind kind = platform::LastErrorKind();
            PrintError(name + ": " +
                       (kind == platform::ErrorKind::kExists ? "exists; --force overwrites it"
                        : kind == platform::ErrorKind::kLink
                            ? "is a symbolic link; not followed"
                            : "cannot create: " + platform::LastError()));
            return 1;
        }
        const HANDLE output = runtime::HandleForFile(file);
        // The stub names the file in its messages and deletes it after an abort.
        const DecodeResult r = archive_.Decode(m, output, Joined(sjis, "/"));
        int faults = CheckDecoded(file_, m, r);
        if (!r.completed) {
            return faults; // the abort path has closed and deleted the file
        }
        if (faults == 0) {
            platform::SetTimes(file, m.access_time, m.modification_time);
        }
        if (!runtime::CloseOutput(output)) {
            PrintError(name + ": cannot write: " + platform::LastError());
            ++faults;
        }
        if (faults != 0) {
            folder.Remove(leaf);
            PrintError(name + ": removed");
        } else {
            ++files_;
        }
        return faults;
    }

    StubArchive &archive_;
    const std::string &file_;
    const platform::Folder &root_;
    const std::string &folder_;
    bool force_;
    int files_ = 0;
    OpenFolders open_;
    struct Stamp {
        std::string path;
        uint32_t access_time, modification_time;
    };
    std::vector<Stamp> folders_;
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
        if (!m.refusal.empty()) {
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

int TestArchive(const std::string &file, int32_t dos_time_offset, bool verifying) {
    StubArchive archive(file, dos_time_offset);
    WarnTrailing(archive, file);
    int faults = 0;
    DecodeProgress progress("testing", archive);
    uint16_t sum = 0;
    Member m;
    while (NextMember(archive, file, &m, &faults)) {
        sum ^= m.crc;
        if (Refusal(file, m, "not tested") != 0) {
            ++faults;
            continue;
        }
        std::string text;
        const bool special = IsNotice(m) || IsDirectives(m);
        const HANDLE output = special ? runtime::CaptureHandle(&text, lzhsfx::kMaxDirectiveText + 1)
                                      : runtime::DiscardHandle();
        const DecodeResult r = archive.Decode(m, output, "");
        if (r.completed) {
            runtime::CloseOutput(output);
        }
        const int member_faults = CheckDecoded(file, m, r);
        if (member_faults == 0 && special) {
            CheckText(file, m, text);
        }
        faults += member_faults;
    }
    if (archive.Next(&m) == StubArchive::Step::kEnd) {
        faults += CheckChecksum(archive, file, sum);
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
                   int32_t dos_time_offset) {
    StubArchive archive(file, dos_time_offset);
    WarnTrailing(archive, file);
    int faults = 0;
    platform::Folder root;
    if (!root.OpenCreating(folder)) {
        throw Failure(Quoted(folder) + ": cannot create: " + platform::LastError());
    }
    runtime::SetRootDirectory(&root);
    Extractor extractor(archive, file, root, folder, force);
    {
        DecodeProgress progress("extracting", archive);
        uint16_t sum = 0;
        Member m;
        while (NextMember(archive, file, &m, &faults)) {
            sum ^= m.crc;
            faults += extractor.Extract(m);
        }
        if (archive.Next(&m) == StubArchive::Step::kEnd) {
            faults += CheckChecksum(archive, file, sum);
        }
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
