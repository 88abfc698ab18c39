// The tool's services over POSIX: names are the file system's bytes, taken as UTF-8;
// code page 932 is iconv's. glibc names the Windows table "CP932": it holds the NEC and
// IBM extensions that plain "SHIFT_JIS" lacks, and it is the table the installer's
// texts are shown with.
#include "platform.h"

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <iconv.h>
#if __has_include(<malloc.h>)
#include <malloc.h>
#endif
#include <mutex>
#include <stdexcept>
#include <sys/stat.h>
#include <unistd.h>

namespace cli {
namespace platform {
namespace {

std::mutex terminal;

// One open conversion, reset before every use.
class Converter {
  public:
    Converter(const char *to, const char *from) : cd_(iconv_open(to, from)) {
        if (cd_ == reinterpret_cast<iconv_t>(-1)) {
            throw std::runtime_error(std::string("iconv cannot convert from ") + from + " to " +
                                     to);
        }
    }
    ~Converter() {
        iconv_close(cd_);
    }
    Converter(const Converter &) = delete;
    Converter &operator=(const Converter &) = delete;

    // Converts all of `in`; on failure returns false with `*failed_at` the offset of
    // the first byte that could not be converted.
    bool Run(const std::string &in, std::string *out, size_t *failed_at) {
        iconv(cd_, nullptr, nullptr, nullptr, nullptr);
        out->clear();
        char *src = const_cast<char *>(in.data());
        size_t src_left = in.size();
        char buffer[4096];
        while (src_left > 0) {
            char *dst = buffer;
            size_t dst_left = sizeof buffer;
            size_t r = iconv(cd_, &src, &src_left, &dst, &dst_left);
            out->append(buffer, static_cast<size_t>(dst - buffer));
            if (r == static_cast<size_t>(-1) && errno != E2BIG) {
                *failed_at = static_cast<size_t>(src - in.data());
                return false;
            }
        }
        char *dst = buffer;
        size_t dst_left = sizeof buffer;
        iconv(cd_, nullptr, nullptr, &dst, &dst_left);
        out->append(buffer, static_cast<size_t>(dst - buffer));
        return true;
    }

  private:
    iconv_t cd_;
};

// The temporary file an interrupt must remove, kept where a signal handler can read it.
char pending[4096];

void RemovePending(int signal) {
    if (pending[0] != 0) {
        unlink(pending);
    }
    std::signal(signal, SIG_DFL);
    std::raise(signal);
}

void Guard(const std::string &path) {
    if (path.size() < sizeof pending) {
        std::memcpy(pending, path.c_str(), path.size() + 1);
    }
    for (int s : {SIGINT, SIGTERM, SIGHUP, SIGPIPE}) {
        std::signal(s, RemovePending);
    }
}

struct timespec Timespec(uint32_t t) {
    struct timespec ts;
    ts.tv_sec = static_cast<time_t>(t);
    ts.tv_nsec = 0;
    return ts;
}

} // namespace

const NativeFile kNoFile = -1;

// ---- Start-up -------------------------------------------------------------------

void StartProcess() {
#ifdef M_MMAP_THRESHOLD
    // glibc raises its threshold for mapping a buffer of its own each time such a
    // buffer is freed, and then serves large buffers from its arenas, which keep what is
    // freed: over a long build the windows, files and match caches of the threads pile up
    // there. A fixed threshold maps each buffer of 1 MiB or more and unmaps it when freed.
    mallopt(M_MMAP_THRESHOLD, 1 << 20);
#endif
}

bool ErrorIsTerminal() {
    return isatty(STDERR_FILENO) == 1;
}

void LockTerminal() {
    terminal.lock();
}

void UnlockTerminal() {
    terminal.unlock();
}

std::string ExecutableFolder() {
    char self[PATH_MAX];
    const ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
    if (n <= 0) {
        return ".";
    }
    std::string path(self, static_cast<size_t>(n));
    const size_t slash = path.rfind('/');
    return slash == std::string::npos ? "." : path.substr(0, slash);
}

bool EnvironmentVariable(const std::string &name, std::string *value) {
    const char *found = std::getenv(name.c_str());
    if (found == nullptr || found[0] == 0) {
        return false;
    }
    *value = found;
    return true;
}

int32_t LocalZoneOffset() {
    const time_t now = std::time(nullptr);
    struct tm local;
    localtime_r(&now, &local);
    return static_cast<int32_t>(local.tm_gmtoff);
}

struct tm UtcCalendar(uint32_t seconds) {
    const time_t t = static_cast<time_t>(seconds);
    struct tm tm;
    gmtime_r(&t, &tm);
    return tm;
}

// ---- Errors ---------------------------------------------------------------------

std::string LastError() {
    return std::strerror(errno);
}

ErrorKind LastErrorKind() {
    switch (errno) {
    case ENOENT:
        return ErrorKind::kMissing;
    case EEXIST:
        return ErrorKind::kExists;
    case ELOOP:
    case ENOTDIR:
        return ErrorKind::kLink;
    default:
        return ErrorKind::kOther;
    }
}

// ---- Code page 932 --------------------------------------------------------------

bool EncodeCp932(const std::string &utf8, std::string *out, size_t *failed_at) {
    static Converter c("CP932", "UTF-8");
    return c.Run(utf8, out, failed_at);
}

bool DecodeCp932(const std::string &sjis, std::string *out) {
    static Converter c("UTF-8", "CP932");
    size_t failed_at = 0;
    return c.Run(sjis, out, &failed_at);
}

// ---- Files ----------------------------------------------------------------------

NativeFile OpenForReading(const std::string &path) {
    return open(path.c_str(), O_RDONLY | O_CLOEXEC);
}

namespace {

// Reads up to `size` bytes through `read_some(bytes, count, done)`, a read(2)-like call
// given how much is already read, again after an interruption; `got` says how many
// came before the end of the file.
template <typename ReadSome>
bool ReadAll(void *buffer, size_t size, size_t *got, ReadSome read_some) {
    uint8_t *out = static_cast<uint8_t *>(buffer);
    *got = 0;
    while (*got < size) {
        const ssize_t r = read_some(out + *got, size - *got, *got);
        if (r < 0 && errno == EINTR) {
            continue;
        }
        if (r < 0) {
            return false;
        }
        if (r == 0) {
            break;
        }
        *got += static_cast<size_t>(r);
    }
    return true;
}

} // namespace

bool Read(NativeFile file, void *buffer, size_t size, size_t *got) {
    return ReadAll(buffer, size, got,
                   [&](uint8_t *out, size_t n, size_t) { return read(file, out, n); });
}

bool ReadAt(NativeFile file, uint64_t offset, void *buffer, size_t size, size_t *got) {
    return ReadAll(buffer, size, got, [&](uint8_t *out, size_t n, size_t done) {
        return pread(file, out, n, static_cast<off_t>(offset + done));
    });
}

namespace {

// Writes all `size` bytes through `write_some(bytes, count, done)`, a write(2)-like call
// given how much is already written, again after an interruption. A write of nothing
// counts as a full disk.
template <typename WriteSome> bool WriteAll(const void *data, size_t size, WriteSome write_some) {
    const uint8_t *bytes = static_cast<const uint8_t *>(data);
    size_t done = 0;
    while (done < size) {
        const ssize_t n = write_some(bytes + done, size - done, done);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            if (n == 0) {
                errno = ENOSPC;
            }
            return false;
        }
        done += static_cast<size_t>(n);
    }
    return true;
}

} // namespace

bool WriteAt(NativeFile file, uint64_t offset, const void *data, size_t size) {
    return WriteAll(data, size, [&](const uint8_t *bytes, size_t count, size_t done) {
        return pwrite(file, bytes, count, static_cast<off_t>(offset + done));
    });
}

bool Write(NativeFile file, const void *data, size_t size) {
    return WriteAll(data, size, [&](const uint8_t *bytes, size_t count, size_t) {
        return write(file, bytes, count);
    });
}

bool Seek(NativeFile file, uint64_t position) {
    return lseek(file, static_cast<off_t>(position), SEEK_SET) >= 0;
}

bool Truncate(NativeFile file, uint64_t size) {
    return ftruncate(file, static_cast<off_t>(size)) == 0;
}

bool Tell(NativeFile file, uint64_t *position) {
    const off_t at = lseek(file, 0, SEEK_CUR);
    *position = at < 0 ? 0 : static_cast<uint64_t>(at);
    return at >= 0;
}

bool Size(NativeFile file, uint64_t *size) {
    struct stat st;
    const bool ok = fstat(file, &st) == 0;
    *size = ok ? static_cast<uint64_t>(st.st_size) : 0;
    return ok;
}

bool SetTimes(NativeFile file, uint32_t access, uint32_t modification) {
    const struct timespec times[2] = {Timespec(access), Timespec(modification)};
    return futimens(file, times) == 0;
}

bool Close(NativeFile file) {
    return close(file) == 0;
}

bool ReadWholeFile(const std::string &path, std::vector<uint8_t> *data) {
    data->clear();
    const int fd = OpenForReading(path);
    if (fd < 0) {
        return false;
    }
    uint8_t buffer[65536];
    for (;;) {
        size_t got = 0;
        if (!Read(fd, buffer, sizeof buffer, &got)) {
            const int error = errno;
            close(fd);
            errno = error;
            return false;
        }
        data->insert(data->end(), buffer, buffer + got);
        if (got < sizeof buffer) {
            break;
        }
    }
    close(fd);
    return true;
}

NativeFile CreateScratch() {
    const char *folder = std::getenv("TMPDIR");
    std::string name = folder != nullptr && folder[0] != 0 ? folder : "/tmp";
    name += "/lzhsfx-XXXXXX";
    std::vector<char> pattern(name.begin(), name.end());
    pattern.push_back(0);
    const int fd = mkostemp(pattern.data(), O_CLOEXEC);
    if (fd >= 0) {
        unlink(pattern.data());
    }
    return fd;
}

bool RemoveFile(const std::string &path) {
    return unlink(path.c_str()) == 0;
}

bool IsReadable(const std::string &path) {
    return access(path.c_str(), R_OK) == 0;
}

bool Status(const std::string &path, FileStatus *status) {
    struct stat st;
    if (stat(path.c_str(), &st) != 0) {
        return false;
    }
    status->directory = S_ISDIR(st.st_mode);
    status->regular = S_ISREG(st.st_mode);
    // A file nobody may write to is read-only on Windows too.
    status->read_only = (st.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH)) == 0;
    status->size = static_cast<uint64_t>(st.st_size);
    status->modified = static_cast<int64_t>(st.st_mtime);
    status->volume = static_cast<uint64_t>(st.st_dev);
    status->file = static_cast<uint64_t>(st.st_ino);
    return true;
}

bool ListFolder(const std::string &path, std::vector<std::string> *names) {
    names->clear();
    DIR *dir = opendir(path.c_str());
    if (dir == nullptr) {
        return false;
    }
    errno = 0;
    while (const dirent *d = readdir(dir)) {
        if (std::strcmp(d->d_name, ".") != 0 && std::strcmp(d->d_name, "..") != 0) {
            names->push_back(d->d_name);
        }
    }
    const int error = errno;
    closedir(dir);
    errno = error;
    return error == 0;
}

bool FullName(const std::string &path, std::string *full) {
    char *real = realpath(path.c_str(), nullptr);
    if (real == nullptr) {
        return false;
    }
    *full = real;
    std::free(real);
    return true;
}

bool IsSeparator(char c) {
    return c == '/';
}

bool IsDrive(const std::string &) {
    return false;
}

bool IsPlainName(const std::string &) {
    return true;
}

// ---- Replacing a file -----------------------------------------------------------

NativeFile CreateTemporary(const std::string &target, std::string *name) {
    std::vector<char> pattern(target.begin(), target.end());
    const char suffix[] = ".tmp-XXXXXX";
    pattern.insert(pattern.end(), suffix, suffix + sizeof suffix);
    const int fd = mkstemp(pattern.data());
    if (fd >= 0) {
        *name = pattern.data();
        Guard(*name);
    }
    return fd;
}

bool FinishTemporary(NativeFile file) {
    // mkstemp made the file private; give it the permissions a new file gets.
    const mode_t mask = umask(0);
    umask(mask);
    if (fchmod(file, 0666 & ~mask) != 0 || fsync(file) != 0) {
        const int error = errno;
        close(file);
        errno = error;
        return false;
    }
    return close(file) == 0;
}

bool Replace(const std::string &temporary, const std::string &target) {
    return rename(temporary.c_str(), target.c_str()) == 0;
}

void Unguard() {
    pending[0] = 0;
    for (int s : {SIGINT, SIGTERM, SIGHUP, SIGPIPE}) {
        std::signal(s, SIG_DFL);
    }
}

// ---- Extraction -----------------------------------------------------------------

Folder::~Folder() {
    if (fd_ >= 0) {
        close(fd_);
    }
}

Folder::Folder(Folder &&other) noexcept : fd_(other.fd_) {
    other.fd_ = -1;
}

Folder &Folder::operator=(Folder &&other) noexcept {
    if (this != &other) {
        if (fd_ >= 0) {
            close(fd_);
        }
        fd_ = other.fd_;
        other.fd_ = -1;
    }
    return *this;
}

bool Folder::OpenCreating(const std::string &path) {
    std::string prefix;
    size_t start = 0;
    while (start < path.size()) {
        size_t end = path.find('/', start + 1);
        if (end == std::string::npos) {
            end = path.size();
        }
        prefix = path.substr(0, end);
        if (mkdir(prefix.c_str(), 0777) != 0 && errno != EEXIST) {
            return false;
        }
        start = end;
    }
    const int fd = open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) {
        return false;
    }
    *this = Folder();
    fd_ = fd;
    return true;
}

bool Folder::MakeFolder(const std::string &name) const {
    return mkdirat(fd_, name.c_str(), 0777) == 0 || errno == EEXIST;
}

bool Folder::OpenFolder(const std::string &name, Folder *child) const {
    const int fd = openat(fd_, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) {
        return false;
    }
    *child = Folder();
    child->fd_ = fd;
    return true;
}

NativeFile Folder::NewFile(const std::string &name, bool replace) const {
    const int flags = O_WRONLY | O_CREAT | O_NOFOLLOW | O_CLOEXEC | (replace ? O_TRUNC : O_EXCL);
    return openat(fd_, name.c_str(), flags, 0666);
}

bool Folder::Remove(const std::string &name) const {
    return unlinkat(fd_, name.c_str(), 0) == 0;
}

bool Folder::SetFolderTimes(const std::string &name, uint32_t access, uint32_t modification) const {
    const struct timespec times[2] = {Timespec(access), Timespec(modification)};
    return utimensat(fd_, name.c_str(), times, AT_SYMLINK_NOFOLLOW) == 0;
}

} // namespace platform
} // namespace cli
