#include "inputs.h"

#include <algorithm>
#include <climits>
#include <set>
#include <unordered_set>
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

void Encode(InputEntry &e);
std::string Folded(const std::string &path);

class Walker {
  public:
    Walker(bool warn, const std::function<void(const InputEntry &)> &take)
        : warn_(warn), take_(take) {}

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
        e.directory = st.directory;
        Encode(e);
        if (warn_) {
            WarnOfCase(e);
        }
        if (st.directory) {
            e.attribute = 0x10;
            AddDirectory(e);
        } else if (st.regular) {
            if (!platform::IsReadable(source)) {
                throw Failure(SystemError(source, "cannot read"));
            }
            e.size = st.size;
            e.attribute = st.read_only ? 0x21 : 0x20;
            take_(e);
        } else {
            throw Failure(Quoted(source) + " is neither a file nor a folder");
        }
    }

  private:
    uint32_t UnixTime(const platform::FileStatus &st, const std::string &source) const {
        if (st.modified < 0 || static_cast<uint64_t>(st.modified) > UINT32_MAX) {
            if (warn_) {
                PrintWarning(Quoted(source) +
                             ": its time lies outside 1970 to 2106; the nearest time is stored");
            }
            return st.modified < 0 ? 0 : UINT32_MAX;
        }
        return static_cast<uint32_t>(st.modified);
    }

    void AddDirectory(const InputEntry &e) {
        const std::pair<uint64_t, uint64_t> id(e.volume, e.file);
        if (!open_folders_.insert(id).second) {
            throw Failure(Quoted(e.source) + " is a folder inside itself (a symbolic link loop)");
        }
        take_(e);
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

    // Windows folders do not tell names apart by case: of two members whose paths differ
    // only in case, one would replace the other when the installer runs (folders of such
    // names become one, and their contents meet). Each after the first is named. The walk
    // keeps a 64-bit hash of each path in small letters, not the path: a false alarm is
    // a warning, and unlikely below billions of members.
    void WarnOfCase(const InputEntry &e) {
        uint64_t hash = 0xCBF29CE484222325u; // FNV-1a
        for (const char c : Folded(e.path)) {
            hash = (hash ^ static_cast<unsigned char>(c)) * 0x100000001B3u;
        }
        if (!case_folded_.insert(hash).second) {
            PrintWarning("the member " + Quoted(ShowPath(e)) +
                         " differs from another only in case; Windows keeps only one of them");
        }
    }

    bool warn_;
    const std::function<void(const InputEntry &)> &take_;
    std::set<std::pair<uint64_t, uint64_t>> open_folders_;
    std::unordered_set<uint64_t> case_folded_;
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

void WalkInputs(const std::vector<std::string> &paths, bool warn,
                const std::function<void(const InputEntry &)> &take) {
    // Each input's members start with its own name: two inputs of one name are the only
    // way to two members of one path.
    std::vector<std::pair<std::string, const std::string *>> tops;
    for (const std::string &path : paths) {
        tops.emplace_back(TopName(path), &path);
    }
    std::stable_sort(tops.begin(), tops.end(),
                     [](const auto &a, const auto &b) { return a.first < b.first; });
    for (size_t i = 0; i < tops.size(); ++i) {
        if (i > 0 && tops[i].first == tops[i - 1].first) {
            throw Failure(Quoted(*tops[i - 1].second) + " and " + Quoted(*tops[i].second) +
                          " would both be the member " + Quoted(tops[i].first));
        }
    }
    Walker walker(warn, take);
    for (const auto &top : tops) {
        walker.Add(*top.second, top.first);
    }
}

} // namespace cli
