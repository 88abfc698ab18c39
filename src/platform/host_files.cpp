// Host double: paths, files, directories, volumes, the environment and the registry.
#include "platform/host_state.h"

#include <iconv.h>

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <time.h>
#include <unistd.h>

// ---- Paths --------------------------------------------------------------------

static bool IsSeparator(char c) {
    return c == '\\' || c == '/';
}

std::string HostFullPath(const char *path) {
    const std::string &cwd = Host().current_dir;
    std::string p(path);
    if (p.size() >= 2 && IsSeparator(p[0]) && IsSeparator(p[1])) {
        return ""; // network names are not modelled
    }
    std::string full;
    if (p.size() >= 2 && p[1] == ':') {
        char drive = HostUpper(p.substr(0, 1))[0];
        std::string rest = p.substr(2);
        if (!rest.empty() && IsSeparator(rest[0])) {
            full = std::string(1, drive) + ":" + rest;
        } else if (HostUpper(cwd.substr(0, 1))[0] == drive) {
            full = cwd + "\\" + rest; // relative to the drive's current directory
        } else {
            full = std::string(1, drive) + ":\\" + rest;
        }
    } else if (!p.empty() && IsSeparator(p[0])) {
        full = cwd.substr(0, 2) + p;
    } else {
        full = cwd + "\\" + p;
    }

    // Split into components, applying "." and ".."; the root cannot be left.
    std::vector<std::string> parts;
    std::string part;
    for (size_t i = 2; i <= full.size(); ++i) {
        if (i == full.size() || IsSeparator(full[i])) {
            if (part == "..") {
                if (!parts.empty()) {
                    parts.pop_back();
                }
            } else if (!part.empty() && part != ".") {
                parts.push_back(part);
            }
            part.clear();
        } else {
            part += full[i];
        }
    }
    // Trailing dots and blanks of the last name are dropped, as Windows does.
    if (!parts.empty()) {
        std::string &last = parts.back();
        while (!last.empty() && (last.back() == '.' || last.back() == ' ')) {
            last.pop_back();
        }
        if (last.empty()) {
            parts.pop_back();
        }
    }
    std::string out = HostUpper(full.substr(0, 1)) + ":";
    for (const std::string &name : parts) {
        out += "\\" + name;
    }
    if (parts.empty()) {
        out += "\\";
    }
    return out;
}

std::string HostPath(const char *windows_path) {
    std::string full = HostFullPath(windows_path);
    if (full.empty()) {
        return "";
    }
    char drive = static_cast<char>(full[0] - 'A' + 'a');
    std::string out = Host().root + "/" + drive;
    for (size_t i = 2; i < full.size(); ++i) {
        out += full[i] == '\\' ? '/' : full[i];
    }
    while (out.size() > 1 && out.back() == '/') {
        out.pop_back();
    }
    if (Host().wine_storage) {
        // As Wine stores them: the Unicode form of the code page 932 name, in UTF-8.
        iconv_t cd = iconv_open("UTF-8", "CP932");
        if (cd != reinterpret_cast<iconv_t>(-1)) {
            std::string converted(out.size() * 3 + 1, '\0');
            char *src = &out[0];
            size_t left = out.size();
            char *dst = &converted[0];
            size_t room = converted.size();
            if (iconv(cd, &src, &left, &dst, &room) != static_cast<size_t>(-1)) {
                converted.resize(converted.size() - room);
                out = converted;
            }
            iconv_close(cd);
        }
    }
    return out;
}

// ---- Times --------------------------------------------------------------------

static const long long kEpochDifference = 116444736000000000LL; // 1601 to 1970, in 100 ns

FILETIME HostFileTimeFromUnix(long long seconds, long nanoseconds) {
    unsigned long long v = static_cast<unsigned long long>(seconds * 10000000LL +
                                                           nanoseconds / 100 + kEpochDifference);
    return FILETIME{static_cast<DWORD>(v), static_cast<DWORD>(v >> 32)};
}

void HostUnixFromFileTime(const FILETIME &ft, long long *seconds, long *nanoseconds) {
    long long v =
        static_cast<long long>((static_cast<unsigned long long>(ft.dwHighDateTime) << 32) |
                               ft.dwLowDateTime) -
        kEpochDifference;
    long long s = v / 10000000LL;
    long long rest = v % 10000000LL;
    if (rest < 0) {
        rest += 10000000LL;
        --s;
    }
    *seconds = s;
    *nanoseconds = static_cast<long>(rest * 100);
}

// ---- Attributes ---------------------------------------------------------------

static const DWORD kStoredAttributes =
    FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_ARCHIVE;

static DWORD AttributesOf(const std::string &path, const struct stat &st) {
    if (S_ISDIR(st.st_mode)) {
        return FILE_ATTRIBUTE_DIRECTORY;
    }
    auto found = Host().attributes.find(path);
    DWORD a = found == Host().attributes.end() ? FILE_ATTRIBUTE_ARCHIVE : found->second;
    char kept[16] = {};
    if (Host().wine_storage && found == Host().attributes.end() &&
        getxattr(path.c_str(), "user.DOSATTRIB", kept, sizeof kept - 1) > 0) {
        // A file this run did not write keeps what Wine stored of it.
        a |= static_cast<DWORD>(strtoul(kept, nullptr, 16)) &
             (FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM);
    }
    if ((st.st_mode & S_IWUSR) == 0) {
        a |= FILE_ATTRIBUTE_READONLY;
    }
    return a == 0 ? FILE_ATTRIBUTE_NORMAL : a;
}

DWORD WINAPI GetFileAttributesA(LPCSTR name) {
    std::string path = HostPath(name);
    struct stat st;
    if (path.empty() || stat(path.c_str(), &st) != 0) {
        return INVALID_FILE_ATTRIBUTES;
    }
    return AttributesOf(path, st);
}

// Where files are kept as Wine keeps them, hidden and system go into the extended
// attribute Wine reads them from.
static void StoreDosAttributes(const std::string &path, DWORD attributes) {
    if (!Host().wine_storage) {
        return;
    }
    DWORD kept = attributes & (FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM);
    if (kept == 0) {
        removexattr(path.c_str(), "user.DOSATTRIB");
        return;
    }
    char value[16];
    int n = snprintf(value, sizeof value, "0x%x", static_cast<unsigned>(kept));
    setxattr(path.c_str(), "user.DOSATTRIB", value, static_cast<size_t>(n), 0);
}

BOOL WINAPI SetFileAttributesA(LPCSTR name, DWORD attributes) {
    std::string path = HostPath(name);
    struct stat st;
    if (path.empty() || stat(path.c_str(), &st) != 0) {
        return FALSE;
    }
    if (S_ISDIR(st.st_mode)) {
        return TRUE;
    }
    mode_t mode =
        (attributes & FILE_ATTRIBUTE_READONLY) ? (st.st_mode & ~0222) : (st.st_mode | 0200);
    chmod(path.c_str(), mode & 07777);
    Host().attributes[path] = attributes & kStoredAttributes;
    StoreDosAttributes(path, attributes);
    return TRUE;
}

// ---- Files --------------------------------------------------------------------

static HANDLE ToHandle(int fd) {
    return reinterpret_cast<HANDLE>(static_cast<intptr_t>(fd) + 1);
}

static HostOpenFile *FindFile(HANDLE h) {
    auto found = Host().files.find(reinterpret_cast<intptr_t>(h));
    return found == Host().files.end() ? nullptr : &found->second;
}

// Windows refuses an open whose access an earlier open does not share, or whose
// sharing does not allow an earlier open's access.
static bool SharingAllows(const struct stat &st, DWORD access, DWORD share) {
    for (auto &entry : Host().files) {
        struct stat other;
        const HostOpenFile &f = entry.second;
        if (fstat(f.fd, &other) != 0 || other.st_dev != st.st_dev || other.st_ino != st.st_ino) {
            continue;
        }
        if (((access & GENERIC_READ) && !(f.share & FILE_SHARE_READ)) ||
            ((access & GENERIC_WRITE) && !(f.share & FILE_SHARE_WRITE)) ||
            ((f.access & GENERIC_READ) && !(share & FILE_SHARE_READ)) ||
            ((f.access & GENERIC_WRITE) && !(share & FILE_SHARE_WRITE))) {
            return false;
        }
    }
    return true;
}

static HANDLE OpenFile(LPCSTR name, DWORD access, DWORD share, DWORD disposition, DWORD flags) {
    std::string path = HostPath(name);
    if (path.empty()) {
        return INVALID_HANDLE_VALUE;
    }
    struct stat st;
    bool exists = stat(path.c_str(), &st) == 0;
    if (exists) {
        DWORD attributes = AttributesOf(path, st);
        if (S_ISDIR(st.st_mode) || disposition == CREATE_NEW) {
            return INVALID_HANDLE_VALUE;
        }
        if ((access & GENERIC_WRITE) && (attributes & FILE_ATTRIBUTE_READONLY)) {
            return INVALID_HANDLE_VALUE;
        }
        // Replacing a hidden or system file needs those attributes asked for again.
        if (disposition == CREATE_ALWAYS &&
            (attributes & (FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM) & ~flags) != 0) {
            return INVALID_HANDLE_VALUE;
        }
        if (!SharingAllows(st, access, share)) {
            return INVALID_HANDLE_VALUE;
        }
    } else if (disposition == OPEN_EXISTING) {
        return INVALID_HANDLE_VALUE;
    }
    int mode = (access & GENERIC_WRITE) ? ((access & GENERIC_READ) ? O_RDWR : O_WRONLY) : O_RDONLY;
    if (disposition == CREATE_ALWAYS) {
        mode |= O_CREAT | O_TRUNC;
    } else if (disposition == OPEN_ALWAYS || disposition == CREATE_NEW) {
        mode |= O_CREAT;
    }
    int fd = open(path.c_str(), mode | O_CLOEXEC, 0644);
    if (fd < 0) {
        return INVALID_HANDLE_VALUE;
    }
    if (!exists || disposition == CREATE_ALWAYS) {
        Host().attributes[path] = (flags & kStoredAttributes) | FILE_ATTRIBUTE_ARCHIVE;
        StoreDosAttributes(path, flags);
        if (!exists) {
            struct timespec now;
            clock_gettime(CLOCK_REALTIME, &now);
            Host().creation_times[path] = HostFileTimeFromUnix(now.tv_sec, now.tv_nsec);
        }
    }
    HANDLE h = ToHandle(fd);
    Host().files[reinterpret_cast<intptr_t>(h)] = HostOpenFile{fd, path, access, share};
    return h;
}

HANDLE WINAPI CreateFileA(LPCSTR name, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES,
                          DWORD disposition, DWORD flags, HANDLE) {
    return OpenFile(name, access, share, disposition, flags);
}

BOOL WINAPI CloseHandle(HANDLE h) {
    if (HostCloseProcessHandle(h)) {
        return TRUE;
    }
    HostOpenFile *f = FindFile(h);
    if (f == nullptr) {
        return FALSE;
    }
    close(f->fd);
    Host().files.erase(reinterpret_cast<intptr_t>(h));
    if (Host().fail_next_close) {
        Host().fail_next_close = false;
        return FALSE;
    }
    return TRUE;
}

BOOL WINAPI WriteFile(HANDLE h, LPCVOID data, DWORD n, LPDWORD written, LPOVERLAPPED) {
    HostOpenFile *f = FindFile(h);
    *written = 0;
    if (f == nullptr || !(f->access & GENERIC_WRITE)) {
        return FALSE;
    }
    // A drive's own budget, else the one of every drive; the path is root/drive/...
    HostMachine &m = Host();
    auto drive = m.drive_write_budgets.find(
        f->path.size() > m.root.size() + 1 ? f->path[m.root.size() + 1] : '\0');
    long long &budget = drive != m.drive_write_budgets.end() ? drive->second : m.write_budget;
    DWORD allowed = n;
    if (budget >= 0 && budget < n) {
        allowed = static_cast<DWORD>(budget); // the disk is full past the budget
    }
    ssize_t done = write(f->fd, data, allowed);
    if (done < 0) {
        return FALSE;
    }
    *written = static_cast<DWORD>(done);
    if (budget >= 0) {
        budget -= done;
    }
    return static_cast<DWORD>(done) == n;
}

BOOL WINAPI GetFileTime(HANDLE h, LPFILETIME creation, LPFILETIME access, LPFILETIME write) {
    HostOpenFile *f = FindFile(h);
    struct stat st;
    if (f == nullptr || fstat(f->fd, &st) != 0) {
        return FALSE;
    }
    if (Host().fail_next_get_file_time) {
        Host().fail_next_get_file_time = false;
        return FALSE;
    }
    if (write != nullptr) {
        *write = HostFileTimeFromUnix(st.st_mtim.tv_sec, st.st_mtim.tv_nsec);
    }
    if (access != nullptr) {
        *access = HostFileTimeFromUnix(st.st_atim.tv_sec, st.st_atim.tv_nsec);
    }
    if (creation != nullptr) {
        auto found = Host().creation_times.find(f->path);
        *creation = found != Host().creation_times.end()
                        ? found->second
                        : HostFileTimeFromUnix(st.st_mtim.tv_sec, st.st_mtim.tv_nsec);
    }
    return TRUE;
}

BOOL WINAPI SetFileTime(HANDLE h, const FILETIME *creation, const FILETIME *access,
                        const FILETIME *write) {
    HostOpenFile *f = FindFile(h);
    if (f == nullptr || !(f->access & GENERIC_WRITE)) {
        return FALSE;
    }
    struct timespec times[2];
    const FILETIME *given[2] = {access, write};
    for (int i = 0; i < 2; ++i) {
        if (given[i] == nullptr) {
            times[i].tv_sec = 0;
            times[i].tv_nsec = UTIME_OMIT;
        } else {
            long long s;
            long ns;
            HostUnixFromFileTime(*given[i], &s, &ns);
            times[i].tv_sec = s;
            times[i].tv_nsec = ns;
        }
    }
    if (futimens(f->fd, times) != 0) {
        return FALSE;
    }
    if (creation != nullptr) {
        Host().creation_times[f->path] = *creation;
    }
    return TRUE;
}

BOOL WINAPI CreateDirectoryA(LPCSTR name, LPSECURITY_ATTRIBUTES) {
    std::string path = HostPath(name);
    return !path.empty() && mkdir(path.c_str(), 0755) == 0;
}

BOOL WINAPI DeleteFileA(LPCSTR name) {
    std::string path = HostPath(name);
    struct stat st;
    if (path.empty() || stat(path.c_str(), &st) != 0 || S_ISDIR(st.st_mode) ||
        (AttributesOf(path, st) & FILE_ATTRIBUTE_READONLY)) {
        return FALSE;
    }
    if (unlink(path.c_str()) != 0) {
        return FALSE;
    }
    Host().attributes.erase(path);
    Host().creation_times.erase(path);
    return TRUE;
}

// Renames a file or directory; like Windows, it refuses a target that exists.
BOOL WINAPI MoveFileA(LPCSTR existing, LPCSTR new_name) {
    std::string from = HostPath(existing);
    std::string to = HostPath(new_name);
    struct stat st;
    if (from.empty() || to.empty() || stat(from.c_str(), &st) != 0 || lstat(to.c_str(), &st) == 0 ||
        rename(from.c_str(), to.c_str()) != 0) {
        return FALSE;
    }
    // The attributes and creation time go with the file.
    auto attributes = Host().attributes.find(from);
    if (attributes != Host().attributes.end()) {
        DWORD value = attributes->second;
        Host().attributes.erase(attributes);
        Host().attributes[to] = value;
    }
    auto creation = Host().creation_times.find(from);
    if (creation != Host().creation_times.end()) {
        FILETIME value = creation->second;
        Host().creation_times.erase(creation);
        Host().creation_times[to] = value;
    }
    return TRUE;
}

BOOL WINAPI GetVolumeInformationA(LPCSTR root, LPSTR volume_name, DWORD volume_name_size,
                                  LPDWORD serial, LPDWORD max_component, LPDWORD fs_flags,
                                  LPSTR fs_name, DWORD fs_name_size) {
    // The root must be a drive's root directory ("C:\"); null names the current one.
    std::string drive = root == nullptr ? Host().current_dir.substr(0, 3) : std::string(root);
    if (drive.size() != 3 || drive[1] != ':' || !IsSeparator(drive[2])) {
        return FALSE;
    }
    struct stat st;
    std::string path = HostPath(drive.c_str());
    if (path.empty() || stat(path.c_str(), &st) != 0 || Host().max_component == 0) {
        return FALSE;
    }
    if (volume_name != nullptr && volume_name_size > 0) {
        volume_name[0] = 0;
    }
    if (serial != nullptr) {
        *serial = 0x1234ABCD;
    }
    if (max_component != nullptr) {
        *max_component = Host().max_component;
    }
    if (fs_flags != nullptr) {
        *fs_flags = 0;
    }
    if (fs_name != nullptr && fs_name_size > 0) {
        HostCopyOut(Host().max_component == 255 ? "NTFS" : "FAT", fs_name, fs_name_size);
    }
    return TRUE;
}

HFILE WINAPI _lopen(LPCSTR name, int) {
    HANDLE h = OpenFile(name, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, OPEN_EXISTING, 0);
    return h == INVALID_HANDLE_VALUE ? HFILE_ERROR
                                     : static_cast<HFILE>(reinterpret_cast<intptr_t>(h));
}

UINT WINAPI _lread(HFILE file, LPVOID buffer, UINT n) {
    HostOpenFile *f = FindFile(reinterpret_cast<HANDLE>(static_cast<intptr_t>(file)));
    if (f == nullptr) {
        return static_cast<UINT>(HFILE_ERROR);
    }
    long long &budget = Host().read_budget;
    if (budget >= 0 && budget < n) {
        return static_cast<UINT>(HFILE_ERROR);
    }
    ssize_t done = read(f->fd, buffer, n);
    if (done < 0) {
        return static_cast<UINT>(HFILE_ERROR);
    }
    if (budget >= 0) {
        budget -= done;
    }
    return static_cast<UINT>(done);
}

LONG WINAPI _llseek(HFILE file, LONG offset, int origin) {
    HostOpenFile *f = FindFile(reinterpret_cast<HANDLE>(static_cast<intptr_t>(file)));
    if (f == nullptr) {
        return HFILE_ERROR;
    }
    int whence = origin == FILE_BEGIN ? SEEK_SET : (origin == FILE_CURRENT ? SEEK_CUR : SEEK_END);
    off_t at = lseek(f->fd, offset, whence);
    if (at < 0 || at > 0x7FFFFFFF) {
        return HFILE_ERROR;
    }
    return static_cast<LONG>(at);
}

HFILE WINAPI _lclose(HFILE file) {
    return CloseHandle(reinterpret_cast<HANDLE>(static_cast<intptr_t>(file))) ? 0 : HFILE_ERROR;
}

// ---- Directories and environment -----------------------------------------------

UINT WINAPI GetWindowsDirectoryA(LPSTR buffer, UINT size) {
    const std::string &dir = Host().windows_dir;
    return dir.empty() ? 0 : HostCopyOut(dir, buffer, size);
}

UINT WINAPI GetSystemDirectoryA(LPSTR buffer, UINT size) {
    return HostCopyOut(Host().system_dir, buffer, size);
}

DWORD WINAPI GetCurrentDirectoryA(DWORD size, LPSTR buffer) {
    return HostCopyOut(Host().current_dir, buffer, size);
}

DWORD WINAPI GetEnvironmentVariableA(LPCSTR name, LPSTR buffer, DWORD size) {
    auto found = Host().env.find(HostUpper(name));
    if (found == Host().env.end()) {
        return 0;
    }
    if (found->second.empty()) {
        if (size > 0) {
            buffer[0] = 0;
        }
        return 0;
    }
    return HostCopyOut(found->second, buffer, size);
}

DWORD WINAPI SearchPathA(LPCSTR path, LPCSTR name, LPCSTR extension, DWORD size, LPSTR buffer,
                         LPSTR *file_part) {
    // The default order without a path list: the program's directory, the current
    // directory, the system directory, the Windows directory.
    (void)path;
    (void)extension;
    std::string module_dir = Host().module_path;
    module_dir = module_dir.substr(0, module_dir.find_last_of("\\/"));
    const std::string dirs[] = {module_dir, Host().current_dir, Host().system_dir,
                                Host().windows_dir};
    for (const std::string &dir : dirs) {
        if (dir.empty()) {
            continue;
        }
        std::string candidate = HostFullPath((dir + "\\" + name).c_str());
        struct stat st;
        if (candidate.empty() || stat(HostPath(candidate.c_str()).c_str(), &st) != 0 ||
            S_ISDIR(st.st_mode)) {
            continue;
        }
        DWORD n = HostCopyOut(candidate, buffer, size);
        if (n < size && file_part != nullptr) {
            *file_part = buffer + candidate.find_last_of('\\') + 1;
        }
        return n;
    }
    return 0;
}

DWORD WINAPI GetShortPathNameA(LPCSTR long_path, LPSTR short_path, DWORD size) {
    // An existing path is its own short form, returned as given, unless the test
    // gave it another (host_shell_control.h).
    struct stat st;
    std::string path = HostPath(long_path);
    if (path.empty() || stat(path.c_str(), &st) != 0) {
        return 0;
    }
    auto short_name = Host().short_names.find(HostUpper(long_path));
    if (short_name != Host().short_names.end()) {
        return HostCopyOut(short_name->second, short_path, size);
    }
    return HostCopyOut(long_path, short_path, size);
}

// ---- Registry -----------------------------------------------------------------

LSTATUS WINAPI RegOpenKeyExA(HKEY root, LPCSTR path, DWORD, REGSAM, PHKEY key) {
    if (root != HKEY_LOCAL_MACHINE) {
        return ERROR_FILE_NOT_FOUND;
    }
    auto found = Host().registry.find(HostUpper(path));
    if (found == Host().registry.end()) {
        return ERROR_FILE_NOT_FOUND;
    }
    *key = &found->second;
    return ERROR_SUCCESS;
}

LSTATUS WINAPI RegQueryValueExA(HKEY key, LPCSTR name, LPDWORD, LPDWORD type, LPBYTE data,
                                LPDWORD size) {
    auto *values = static_cast<std::map<std::string, HostValue> *>(key);
    auto found = values->find(HostUpper(name == nullptr ? "" : name));
    if (found == values->end()) {
        return ERROR_FILE_NOT_FOUND;
    }
    const HostValue &value = found->second;
    if (type != nullptr) {
        *type = value.type;
    }
    DWORD needed = static_cast<DWORD>(value.data.size());
    if (data != nullptr && (size == nullptr || *size < needed)) {
        if (size != nullptr) {
            *size = needed;
        }
        return ERROR_MORE_DATA;
    }
    if (data != nullptr) {
        memcpy(data, value.data.data(), needed); // stored as given: maybe unterminated
    }
    if (size != nullptr) {
        *size = needed;
    }
    return ERROR_SUCCESS;
}

LSTATUS WINAPI RegCloseKey(HKEY) {
    return ERROR_SUCCESS;
}
