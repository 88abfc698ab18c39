#include "inputs.h"

#include <algorithm>
#include <climits>
#include <set>
#include <utility>

#include "console.h"
#include "lzh_writer.h"
#include "platform.h"
#include "text_codec.h"

namespace cli {
namespace {

std::string Quoted(const std::string &s) {
    return "\"" + s + "\"";
}

std::string SystemError(const std::string &path, const char *what) {
    return Quoted(path) + ": " + what + ": " + platform::LastError();
}

// The member name of a command-line path: its last component, or for "." and ".."
// the name of the folder they stand for.
std::string TopName(const std::string &path) {
    std::string p = path;
    while (p.size() > 1 && platform::IsSeparator(p.back())) {
        p.pop_back();
    }
    size_t slash = p.size();
    while (slash > 0 && !platform::IsSeparator(p[slash - 1])) {
        --slash;
    }
    std::string name = p.substr(slash);
    if (name.empty() || name == "." || name == ".." || platform::IsDrive(name)) {
        std::string resolved;
        if (!platform::FullName(path, &resolved)) {
            throw Failure(SystemError(path, "cannot resolve"));
        }
        size_t last = resolved.size();
        while (last > 0 && !platform::IsSeparator(resolved[last - 1])) {
            --last;
        }
        name = resolved.substr(last);
        if (name.empty() || platform::IsDrive(name)) {
            throw Failure(Quoted(path) + ": the root folder cannot be packed as a member");
        }
    }
    return name;
}

class Walker {
  public:
    explicit Walker(std::vector<InputEntry> *out) : out_(out) {}

    void Add(const std::string &source, std::string path) {
        platform::FileStatus st;
        if (!platform::Status(source, &st)) {
            throw Failure(platform::LastErrorKind() == platform::ErrorKind::kMissing
                              ? Quoted(source) + ": no such file or folder"
                              : SystemError(source, "cannot read"));
        }
        InputEntry e;
        e.source = source;
        e.path = std::move(path);
        e.volume = st.volume;
        e.file = st.file;
        e.time = UnixTime(st, source);
        if (st.directory) {
            e.directory = true;
            e.attribute = 0x10;
            AddDirectory(e);
        } else if (st.regular) {
            if (!platform::IsReadable(source)) {
                throw Failure(SystemError(source, "cannot read"));
            }
            e.size = st.size;
            e.attribute = st.read_only ? 0x21 : 0x20;
            out_->push_back(e);
        } else {
            throw Failure(Quoted(source) + " is neither a file nor a folder");
        }
    }

  private:
    static uint32_t UnixTime(const platform::FileStatus &st, const std::string &source) {
        if (st.modified < 0 || static_cast<uint64_t>(st.modified) > UINT32_MAX) {
            PrintWarning(Quoted(source) +
                         ": its time lies outside 1970 to 2106; the nearest time is stored");
            return st.modified < 0 ? 0 : UINT32_MAX;
        }
        return static_cast<uint32_t>(st.modified);
    }

    void AddDirectory(const InputEntry &e) {
        const std::pair<uint64_t, uint64_t> id(e.volume, e.file);
        if (!open_folders_.insert(id).second) {
            throw Failure(Quoted(e.source) + " is a folder inside itself (a symbolic link loop)");
        }
        out_->push_back(e);
        std::vector<std::string> names;
        if (!platform::ListFolder(e.source, &names)) {
            throw Failure(SystemError(e.source, "cannot read the folder"));
        }
        std::sort(names.begin(), names.end());
        const std::string prefix =
            platform::IsSeparator(e.source.back()) ? e.source : e.source + "/";
        for (const std::string &name : names) {
            Add(prefix + name, e.path + "/" + name);
        }
        open_folders_.erase(id);
    }

    std::vector<InputEntry> *out_;
    std::set<std::pair<uint64_t, uint64_t>> open_folders_;
};

// Converts the member path to Shift-JIS and checks that the installer can hold it.
void Encode(InputEntry &e) {
    size_t length = 0;
    for (const std::string &part : Components(e.path)) {
        std::string sjis, problem;
        if (!ToShiftJis(part, &sjis, &problem)) {
            throw Failure("the name " + Quoted(ShowPath(e)) + " holds " + problem);
        }
        for (size_t i = 0; i < sjis.size(); ++i) {
            const unsigned char b = static_cast<unsigned char>(sjis[i]);
            if (IsShiftJisLead(b) && i + 1 < sjis.size()) {
                ++i;
            } else if (b == '\\') {
                throw Failure("the name " + Quoted(ShowPath(e)) +
                              " holds a backslash or a yen sign, which the installer reads as a "
                              "path separator");
            }
        }
        length += sjis.size() + 1;
        e.sjis += (e.sjis.empty() ? "" : "/") + sjis;
    }
    // Directories end with a separator; a file name has none behind it.
    if (!e.directory) {
        --length;
    }
    if (length > lzhsfx::kMaxMemberPath) {
        throw Failure("the path " + Quoted(ShowPath(e)) + " is " + std::to_string(length) +
                      " bytes in Shift-JIS; the installer holds at most " +
                      std::to_string(lzhsfx::kMaxMemberPath));
    }
    if (!e.directory && (e.path == "!" || e.path == "$")) {
        throw Failure("a file named " + Quoted(e.path) +
                      " at the top would be taken for the installer's " +
                      (e.path == "!" ? "notice" : "directives") + "; put it in a folder");
    }
}

std::string Folded(const std::string &path) {
    std::string s = path;
    for (char &c : s) {
        c = c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
    }
    return s;
}

// Orders member paths component by component: a "/" comes before any other byte, so
// that a folder's members follow it before any name that extends its own.
bool PathLess(const std::string &a, const std::string &b) {
    const size_t n = std::min(a.size(), b.size());
    for (size_t i = 0; i < n; ++i) {
        if (a[i] != b[i]) {
            const auto rank = [](char c) {
                return c == '/' ? 0 : static_cast<unsigned char>(c) + 1;
            };
            return rank(a[i]) < rank(b[i]);
        }
    }
    return a.size() < b.size();
}

} // namespace

std::string ShowPath(const InputEntry &entry) {
    return entry.directory ? entry.path + "/" : entry.path;
}

std::vector<std::string> Components(const std::string &path) {
    std::vector<std::string> parts;
    for (size_t start = 0;;) {
        const size_t end = path.find('/', start);
        parts.push_back(path.substr(start, end - start));
        if (end == std::string::npos) {
            return parts;
        }
        start = end + 1;
    }
}

std::vector<InputEntry> CollectInputs(const std::vector<std::string> &paths) {
    std::vector<InputEntry> entries;
    Walker walker(&entries);
    for (const std::string &path : paths) {
        walker.Add(path, TopName(path));
    }
    for (InputEntry &e : entries) {
        Encode(e);
    }
    std::stable_sort(entries.begin(), entries.end(), [](const InputEntry &a, const InputEntry &b) {
        return PathLess(a.path, b.path);
    });
    std::set<std::string> folded;
    for (size_t i = 0; i < entries.size(); ++i) {
        if (i > 0 && entries[i].path == entries[i - 1].path) {
            throw Failure(Quoted(entries[i - 1].source) + " and " + Quoted(entries[i].source) +
                          " would both be the member " + Quoted(ShowPath(entries[i])));
        }
        // Windows folders do not tell names apart by case: one file would replace the
        // other when the installer runs.
        if (!folded.insert(Folded(entries[i].path)).second) {
            PrintWarning("the member " + Quoted(ShowPath(entries[i])) +
                         " differs from another only in case; Windows keeps only one of them");
        }
    }
    return entries;
}

} // namespace cli
