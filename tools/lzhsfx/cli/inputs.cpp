#include "inputs.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <set>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>

#include "console.h"
#include "lzh_writer.h"
#include "text_codec.h"

namespace cli {
namespace {

std::string Quoted(const std::string &s) {
    return "\"" + s + "\"";
}

std::string SystemError(const std::string &path, const char *what) {
    return Quoted(path) + ": " + what + ": " + std::strerror(errno);
}

// The member name of a command-line path: its last component, or for "." and ".."
// the name of the folder they stand for.
std::string TopName(const std::string &path) {
    std::string p = path;
    while (p.size() > 1 && p.back() == '/') {
        p.pop_back();
    }
    const size_t slash = p.rfind('/');
    std::string name = slash == std::string::npos ? p : p.substr(slash + 1);
    if (name.empty() || name == "." || name == "..") {
        char *real = realpath(path.c_str(), nullptr);
        if (real == nullptr) {
            throw Failure(SystemError(path, "cannot resolve"));
        }
        const std::string resolved(real);
        std::free(real);
        name = resolved.substr(resolved.rfind('/') + 1);
        if (name.empty()) {
            throw Failure(Quoted(path) + ": the root folder cannot be packed as a member");
        }
    }
    return name;
}

class Walker {
  public:
    explicit Walker(std::vector<InputEntry> *out) : out_(out) {}

    void Add(const std::string &source, std::vector<std::string> parts) {
        struct stat st;
        if (stat(source.c_str(), &st) != 0) {
            throw Failure(errno == ENOENT ? Quoted(source) + ": no such file or folder"
                                          : SystemError(source, "cannot read"));
        }
        InputEntry e;
        e.source = source;
        e.parts = std::move(parts);
        e.device = st.st_dev;
        e.inode = st.st_ino;
        e.time = UnixTime(st, source);
        if (S_ISDIR(st.st_mode)) {
            e.directory = true;
            e.attribute = 0x10;
            AddDirectory(e);
        } else if (S_ISREG(st.st_mode)) {
            const int fd = open(source.c_str(), O_RDONLY | O_CLOEXEC);
            if (fd < 0) {
                throw Failure(SystemError(source, "cannot read"));
            }
            close(fd);
            e.size = static_cast<uint64_t>(st.st_size);
            // A file nobody may write to is read-only on Windows too.
            e.attribute = (st.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH)) == 0 ? 0x21 : 0x20;
            out_->push_back(e);
        } else {
            throw Failure(Quoted(source) + " is neither a file nor a folder");
        }
    }

  private:
    static uint32_t UnixTime(const struct stat &st, const std::string &source) {
        if (st.st_mtime < 0 || static_cast<uint64_t>(st.st_mtime) > UINT32_MAX) {
            PrintWarning(Quoted(source) +
                         ": its time lies outside 1970 to 2106; the nearest time is stored");
            return st.st_mtime < 0 ? 0 : UINT32_MAX;
        }
        return static_cast<uint32_t>(st.st_mtime);
    }

    void AddDirectory(const InputEntry &e) {
        const std::pair<dev_t, ino_t> id(e.device, e.inode);
        if (!open_folders_.insert(id).second) {
            throw Failure(Quoted(e.source) + " is a folder inside itself (a symbolic link loop)");
        }
        out_->push_back(e);
        DIR *dir = opendir(e.source.c_str());
        if (dir == nullptr) {
            throw Failure(SystemError(e.source, "cannot read the folder"));
        }
        std::vector<std::string> names;
        errno = 0;
        while (const dirent *d = readdir(dir)) {
            if (std::strcmp(d->d_name, ".") != 0 && std::strcmp(d->d_name, "..") != 0) {
                names.push_back(d->d_name);
            }
        }
        const int error = errno;
        closedir(dir);
        if (error != 0) {
            errno = error;
            throw Failure(SystemError(e.source, "cannot read the folder"));
        }
        std::sort(names.begin(), names.end());
        const std::string prefix = e.source.back() == '/' ? e.source : e.source + "/";
        for (const std::string &name : names) {
            std::vector<std::string> parts = e.parts;
            parts.push_back(name);
            Add(prefix + name, std::move(parts));
        }
        open_folders_.erase(id);
    }

    std::vector<InputEntry> *out_;
    std::set<std::pair<dev_t, ino_t>> open_folders_;
};

// Converts the member path to Shift-JIS and checks that the installer can hold it.
void Encode(InputEntry &e) {
    size_t length = 0;
    for (const std::string &part : e.parts) {
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
        e.sjis.push_back(sjis);
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
    if (!e.directory && e.parts.size() == 1 && (e.parts[0] == "!" || e.parts[0] == "$")) {
        throw Failure("a file named " + Quoted(e.parts[0]) +
                      " at the top would be taken for the installer's " +
                      (e.parts[0] == "!" ? "notice" : "directives") + "; put it in a folder");
    }
}

std::string Folded(const std::vector<std::string> &parts) {
    std::string s;
    for (const std::string &p : parts) {
        for (char c : p) {
            s.push_back(c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c);
        }
        s.push_back('/');
    }
    return s;
}

} // namespace

std::string ShowPath(const InputEntry &entry) {
    std::string s;
    for (size_t i = 0; i < entry.parts.size(); ++i) {
        s += entry.parts[i];
        if (i + 1 < entry.parts.size() || entry.directory) {
            s.push_back('/');
        }
    }
    return s;
}

std::vector<InputEntry> CollectInputs(const std::vector<std::string> &paths) {
    std::vector<InputEntry> entries;
    Walker walker(&entries);
    for (const std::string &path : paths) {
        walker.Add(path, {TopName(path)});
    }
    for (InputEntry &e : entries) {
        Encode(e);
    }
    std::stable_sort(entries.begin(), entries.end(),
                     [](const InputEntry &a, const InputEntry &b) { return a.parts < b.parts; });
    std::set<std::string> folded;
    for (size_t i = 0; i < entries.size(); ++i) {
        if (i > 0 && entries[i].parts == entries[i - 1].parts) {
            throw Failure(Quoted(entries[i - 1].source) + " and " + Quoted(entries[i].source) +
                          " would both be the member " + Quoted(ShowPath(entries[i])));
        }
        // Windows folders do not tell names apart by case: one file would replace the
        // other when the installer runs.
        if (!folded.insert(Folded(entries[i].parts)).second) {
            PrintWarning("the member " + Quoted(ShowPath(entries[i])) +
                         " differs from another only in case; Windows keeps only one of them");
        }
    }
    return entries;
}

} // namespace cli
