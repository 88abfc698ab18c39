// The Win32 calls that the stub's header reader, decoder and the file helpers they
// pull in make, implemented for the tool over POSIX, and the controls of
// win32_runtime.h.
//
// - The ANSI code page is 932: names given to the calls are Shift-JIS with "\" or
//   "/" separators and are converted to UTF-8 for the file system; relative names
//   resolve under the root directory the tool sets.
// - An archive handle (HFILE) is a small index into a table of open sources, a file
//   descriptor or bytes in memory. An output handle (HANDLE) is an index into a table
//   of sinks; neither is ever 0 or all ones, the values the stub reads as "none".
// - ExitProcess, the end of the decoder's abort path, jumps back to the tool while
//   RunUntilAbort runs, and ends the process otherwise.
// - The stub's path helpers also reach the Windows and system directories, the
//   search path and the registry; the tool never calls those helpers.
#include "win32_runtime.h"

#include <algorithm>
#include <cerrno>
#include <csetjmp>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "text_codec.h"

namespace {

// ---- Archive sources ------------------------------------------------------------

struct Source {
    bool open = false;
    int fd = -1; // -1: the bytes below
    const uint8_t *data = nullptr;
    size_t size = 0;
    uint64_t position = 0; // of the memory source
};

Source sources[8];

Source *SourceOf(HFILE file) {
    if (file < 1 || file > static_cast<HFILE>(sizeof sources / sizeof sources[0]) ||
        !sources[file - 1].open) {
        return nullptr;
    }
    return &sources[file - 1];
}

HFILE AddSource(const Source &s) {
    for (size_t i = 0; i < sizeof sources / sizeof sources[0]; ++i) {
        if (!sources[i].open) {
            sources[i] = s;
            sources[i].open = true;
            return static_cast<HFILE>(i + 1);
        }
    }
    errno = EMFILE;
    return HFILE_ERROR;
}

// ---- Output sinks ---------------------------------------------------------------

enum class SinkKind { kDescriptor, kDiscard, kCapture };

struct Sink {
    bool open = false;
    SinkKind kind = SinkKind::kDiscard;
    int fd = -1;
    std::string *text = nullptr;
    size_t limit = 0;
};

Sink sinks[8];
uint64_t bytes_written = 0;

HANDLE AddSink(const Sink &s) {
    for (size_t i = 0; i < sizeof sinks / sizeof sinks[0]; ++i) {
        if (!sinks[i].open) {
            sinks[i] = s;
            sinks[i].open = true;
            return reinterpret_cast<HANDLE>(static_cast<intptr_t>(i + 1));
        }
    }
    return INVALID_HANDLE_VALUE;
}

Sink *SinkOf(HANDLE h) {
    const intptr_t i = reinterpret_cast<intptr_t>(h);
    if (i < 1 || i > static_cast<intptr_t>(sizeof sinks / sizeof sinks[0]) || !sinks[i - 1].open) {
        return nullptr;
    }
    return &sinks[i - 1];
}

// ---- Names ----------------------------------------------------------------------

int root_fd = AT_FDCWD;

// The file system's name for an ANSI name: "\" separators become "/" (a trail byte
// 0x5C stays), and the bytes are converted from Shift-JIS.
bool NativeName(LPCSTR name, std::string *native) {
    if (name == nullptr || name[0] == 0) {
        return false;
    }
    std::string ansi(name);
    for (size_t i = 0; i < ansi.size(); ++i) {
        if (cli::IsShiftJisLead(static_cast<unsigned char>(ansi[i])) && i + 1 < ansi.size()) {
            ++i;
        } else if (ansi[i] == '\\') {
            ansi[i] = '/';
        }
    }
    return cli::FromShiftJis(ansi, native);
}

// ---- Time -----------------------------------------------------------------------

constexpr uint64_t kTicksPerSecond = 10000000;
constexpr int64_t kDaysFrom1601To1970 = 134774;

// Days since 1970-01-01 of a proleptic Gregorian date, and back.
int64_t DaysFromCivil(int64_t y, unsigned m, unsigned d) {
    y -= m <= 2;
    const int64_t era = (y >= 0 ? y : y - 399) / 400;
    const unsigned yoe = static_cast<unsigned>(y - era * 400);
    const unsigned doy = (153 * (m > 2 ? m - 3 : m + 9) + 2) / 5 + d - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + static_cast<int64_t>(doe) - 719468;
}

void CivilFromDays(int64_t z, int64_t *y, unsigned *m, unsigned *d) {
    z += 719468;
    const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    const unsigned doe = static_cast<unsigned>(z - era * 146097);
    const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const unsigned mp = (5 * doy + 2) / 153;
    *d = doy - (153 * mp + 2) / 5 + 1;
    *m = mp < 10 ? mp + 3 : mp - 9;
    *y = static_cast<int64_t>(yoe) + era * 400 + (*m <= 2);
}

bool IsLeap(unsigned y) {
    return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0;
}

FILETIME FileTimeOf(const struct timespec &t) {
    const int64_t ticks = (static_cast<int64_t>(t.tv_sec) + kDaysFrom1601To1970 * 86400) *
                              static_cast<int64_t>(kTicksPerSecond) +
                          t.tv_nsec / 100;
    const uint64_t v = ticks < 0 ? 0 : static_cast<uint64_t>(ticks);
    return {static_cast<DWORD>(v), static_cast<DWORD>(v >> 32)};
}

// ---- Abort ----------------------------------------------------------------------

std::jmp_buf *abort_target = nullptr;

} // namespace

// =================================================================================
// The tool's controls.

namespace runtime {

HFILE OpenFile(const std::string &path) {
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return HFILE_ERROR;
    }
    Source s;
    s.fd = fd;
    const HFILE h = AddSource(s);
    if (h == HFILE_ERROR) {
        close(fd);
    }
    return h;
}

HFILE OpenMemory(const uint8_t *data, size_t size) {
    Source s;
    s.data = data;
    s.size = size;
    return AddSource(s);
}

uint64_t Tell(HFILE file) {
    Source *s = SourceOf(file);
    if (s == nullptr) {
        return 0;
    }
    if (s->fd < 0) {
        return s->position;
    }
    const off_t at = lseek(s->fd, 0, SEEK_CUR);
    return at < 0 ? 0 : static_cast<uint64_t>(at);
}

uint64_t Size(HFILE file) {
    Source *s = SourceOf(file);
    if (s == nullptr) {
        return 0;
    }
    if (s->fd < 0) {
        return s->size;
    }
    struct stat st;
    return fstat(s->fd, &st) == 0 ? static_cast<uint64_t>(st.st_size) : 0;
}

bool Seek(HFILE file, uint64_t position) {
    Source *s = SourceOf(file);
    if (s == nullptr) {
        return false;
    }
    if (s->fd < 0) {
        s->position = position;
        return true;
    }
    return lseek(s->fd, static_cast<off_t>(position), SEEK_SET) >= 0;
}

void Close(HFILE file) {
    _lclose(file);
}

HANDLE HandleForDescriptor(int fd) {
    Sink s;
    s.kind = SinkKind::kDescriptor;
    s.fd = fd;
    return AddSink(s);
}

HANDLE DiscardHandle() {
    return AddSink(Sink{});
}

HANDLE CaptureHandle(std::string *text, size_t limit) {
    Sink s;
    s.kind = SinkKind::kCapture;
    s.text = text;
    s.limit = limit;
    return AddSink(s);
}

uint64_t BytesWritten() {
    return bytes_written;
}

void SetRootDirectory(int dir_fd) {
    root_fd = dir_fd;
}

bool RunUntilAbort(void (*work)()) {
    std::jmp_buf here;
    std::jmp_buf *outer = abort_target;
    if (setjmp(here) != 0) {
        abort_target = outer;
        return false;
    }
    abort_target = &here;
    work();
    abort_target = outer;
    return true;
}

} // namespace runtime

// =================================================================================
// Win32.

// ---- Memory ---------------------------------------------------------------------

// Every block is zero-filled, LMEM_ZEROINIT or not: the stub asks for it anyway.
HLOCAL WINAPI LocalAlloc(UINT, size_t bytes) {
    return std::calloc(1, bytes == 0 ? 1 : bytes);
}

HLOCAL WINAPI LocalFree(HLOCAL mem) {
    std::free(mem);
    return nullptr;
}

// ---- Process --------------------------------------------------------------------

void WINAPI ExitProcess(UINT status) {
    if (abort_target != nullptr) {
        std::longjmp(*abort_target, 1);
    }
    std::fflush(nullptr);
    std::exit(static_cast<int>(status));
}

// ---- Strings and code page ------------------------------------------------------

BOOL WINAPI IsDBCSLeadByte(BYTE b) {
    return cli::IsShiftJisLead(b) ? TRUE : FALSE;
}

LPSTR WINAPI lstrcpyA(LPSTR dst, LPCSTR src) {
    return std::strcpy(dst, src);
}

int WINAPI lstrlenA(LPCSTR s) {
    return s == nullptr ? 0 : static_cast<int>(std::strlen(s));
}

LPSTR WINAPI CharPrevA(LPCSTR start, LPCSTR current) {
    // The start of the character before `current`, found by walking from `start`.
    LPCSTR previous = start;
    for (LPCSTR p = start; p < current;) {
        previous = p;
        p += IsDBCSLeadByte(static_cast<BYTE>(*p)) && p[1] != 0 ? 2 : 1;
    }
    return const_cast<LPSTR>(previous);
}

// The conversions of wsprintfA: %d %i %u %x %X %c %s %%, with "-", "0", a width and
// the size prefixes "l" and "h" ("l" is 32 bits, as on Windows). The output holds at
// most 1023 bytes and its terminator.
int wsprintfA(LPSTR out, LPCSTR format, ...) {
    const int kLimit = 1023;
    int n = 0;
    auto put = [&](char c) {
        if (n < kLimit) {
            out[n++] = c;
        }
    };
    va_list args;
    va_start(args, format);
    for (const char *f = format; *f != 0; ++f) {
        if (*f != '%') {
            put(*f);
            continue;
        }
        ++f;
        bool left = false, zero = false;
        for (; *f == '-' || *f == '0'; ++f) {
            left = left || *f == '-';
            zero = zero || *f == '0';
        }
        int width = 0;
        for (; *f >= '0' && *f <= '9'; ++f) {
            width = width * 10 + (*f - '0');
        }
        while (*f == 'l' || *f == 'h') {
            ++f;
        }
        char digits[16];
        const char *text = digits;
        switch (*f) {
        case 'd':
        case 'i':
            std::snprintf(digits, sizeof digits, "%d", va_arg(args, int));
            break;
        case 'u':
            std::snprintf(digits, sizeof digits, "%u", va_arg(args, unsigned));
            break;
        case 'x':
            std::snprintf(digits, sizeof digits, "%x", va_arg(args, unsigned));
            break;
        case 'X':
            std::snprintf(digits, sizeof digits, "%X", va_arg(args, unsigned));
            break;
        case 'c':
            digits[0] = static_cast<char>(va_arg(args, int));
            digits[1] = 0;
            break;
        case 's':
            text = va_arg(args, const char *);
            if (text == nullptr) {
                text = "(null)";
            }
            break;
        case 0:
            --f;
            digits[0] = 0;
            break;
        default:
            digits[0] = *f;
            digits[1] = 0;
            break;
        }
        const int length = static_cast<int>(std::strlen(text));
        const char pad = zero && !left && *f != 's' ? '0' : ' ';
        for (int i = length; !left && i < width; ++i) {
            put(pad);
        }
        for (int i = 0; i < length; ++i) {
            put(text[i]);
        }
        for (int i = length; left && i < width; ++i) {
            put(' ');
        }
    }
    va_end(args);
    out[n] = 0;
    return n;
}

// ---- Files ----------------------------------------------------------------------

UINT WINAPI _lread(HFILE h, LPVOID buffer, UINT n) {
    Source *s = SourceOf(h);
    if (s == nullptr) {
        return static_cast<UINT>(HFILE_ERROR);
    }
    uint8_t *out = static_cast<uint8_t *>(buffer);
    if (s->fd < 0) {
        const uint64_t left = s->position < s->size ? s->size - s->position : 0;
        const UINT got = left < n ? static_cast<UINT>(left) : n;
        if (got > 0) {
            std::memcpy(out, s->data + s->position, got);
        }
        s->position += got;
        return got;
    }
    UINT got = 0;
    while (got < n) {
        const ssize_t r = read(s->fd, out + got, n - got);
        if (r < 0 && errno == EINTR) {
            continue;
        }
        if (r < 0) {
            return static_cast<UINT>(HFILE_ERROR);
        }
        if (r == 0) {
            break;
        }
        got += static_cast<UINT>(r);
    }
    return got;
}

HFILE WINAPI _lclose(HFILE h) {
    Source *s = SourceOf(h);
    if (s == nullptr) {
        return HFILE_ERROR;
    }
    const bool ok = s->fd < 0 || close(s->fd) == 0;
    *s = Source{};
    return ok ? 0 : HFILE_ERROR;
}

HANDLE WINAPI CreateFileA(LPCSTR name, DWORD access, DWORD, LPSECURITY_ATTRIBUTES,
                          DWORD disposition, DWORD, HANDLE) {
    std::string native;
    if (!NativeName(name, &native)) {
        return INVALID_HANDLE_VALUE;
    }
    int mode;
    if (access == GENERIC_READ && disposition == OPEN_EXISTING) {
        mode = O_RDONLY;
    } else if (access == GENERIC_WRITE && disposition == CREATE_ALWAYS) {
        mode = O_WRONLY | O_CREAT | O_TRUNC;
    } else {
        return INVALID_HANDLE_VALUE; // no caller asks for anything else
    }
    const int fd = openat(root_fd, native.c_str(), mode | O_CLOEXEC, 0666);
    if (fd < 0) {
        return INVALID_HANDLE_VALUE;
    }
    const HANDLE h = runtime::HandleForDescriptor(fd);
    if (h == INVALID_HANDLE_VALUE) {
        close(fd);
    }
    return h;
}

BOOL WINAPI WriteFile(HANDLE h, LPCVOID data, DWORD n, LPDWORD written, LPOVERLAPPED) {
    Sink *s = SinkOf(h);
    if (written != nullptr) {
        *written = 0;
    }
    if (s == nullptr) {
        return FALSE;
    }
    const char *bytes = static_cast<const char *>(data);
    DWORD done = 0;
    if (s->kind == SinkKind::kDescriptor) {
        while (done < n) {
            const ssize_t r = write(s->fd, bytes + done, n - done);
            if (r < 0 && errno == EINTR) {
                continue;
            }
            if (r <= 0) {
                break;
            }
            done += static_cast<DWORD>(r);
        }
    } else {
        if (s->kind == SinkKind::kCapture && s->text->size() < s->limit) {
            s->text->append(bytes, std::min<size_t>(n, s->limit - s->text->size()));
        }
        done = n;
    }
    bytes_written += done;
    if (written != nullptr) {
        *written = done;
    }
    return done == n ? TRUE : FALSE;
}

BOOL WINAPI CloseHandle(HANDLE h) {
    Sink *s = SinkOf(h);
    if (s == nullptr) {
        return FALSE;
    }
    const bool ok = s->kind != SinkKind::kDescriptor || close(s->fd) == 0;
    *s = Sink{};
    return ok ? TRUE : FALSE;
}

BOOL WINAPI GetFileTime(HANDLE h, LPFILETIME creation, LPFILETIME access, LPFILETIME write) {
    Sink *s = SinkOf(h);
    struct stat st;
    if (s == nullptr || s->kind != SinkKind::kDescriptor || fstat(s->fd, &st) != 0) {
        return FALSE;
    }
    // POSIX keeps no creation time; the last status change stands in for it.
    if (creation != nullptr) {
        *creation = FileTimeOf(st.st_ctim);
    }
    if (access != nullptr) {
        *access = FileTimeOf(st.st_atim);
    }
    if (write != nullptr) {
        *write = FileTimeOf(st.st_mtim);
    }
    return TRUE;
}

BOOL WINAPI DeleteFileA(LPCSTR name) {
    std::string native;
    return NativeName(name, &native) && unlinkat(root_fd, native.c_str(), 0) == 0 ? TRUE : FALSE;
}

BOOL WINAPI CreateDirectoryA(LPCSTR name, LPSECURITY_ATTRIBUTES) {
    std::string native;
    return NativeName(name, &native) && mkdirat(root_fd, native.c_str(), 0777) == 0 ? TRUE : FALSE;
}

short WINAPI GetFileTitleA(LPCSTR path, LPSTR title, WORD size) {
    LPCSTR name = path;
    for (LPCSTR p = path; *p != 0; ++p) {
        if (IsDBCSLeadByte(static_cast<BYTE>(*p)) && p[1] != 0) {
            ++p;
        } else if (*p == '\\' || *p == '/' || *p == ':') {
            name = p + 1;
        }
    }
    const size_t length = std::strlen(name);
    if (length + 1 > size) {
        return static_cast<short>(length + 1);
    }
    std::memcpy(title, name, length + 1);
    return 0;
}

// ---- Directories, environment, registry -----------------------------------------

DWORD WINAPI GetEnvironmentVariableA(LPCSTR name, LPSTR buffer, DWORD size) {
    // Only "TZ" is asked for, which is ASCII; values are passed on as they are.
    const char *value = std::getenv(name);
    if (value == nullptr) {
        return 0;
    }
    const size_t length = std::strlen(value);
    if (length + 1 > size) {
        return static_cast<DWORD>(length + 1);
    }
    std::memcpy(buffer, value, length + 1);
    return static_cast<DWORD>(length);
}

// Reached only through path macros and the work directory, which the tool never
// expands: they fail as on a machine without Windows or its registry.
DWORD WINAPI GetCurrentDirectoryA(DWORD, LPSTR) {
    return 0;
}

UINT WINAPI GetWindowsDirectoryA(LPSTR, UINT) {
    return 0;
}

UINT WINAPI GetSystemDirectoryA(LPSTR, UINT) {
    return 0;
}

DWORD WINAPI SearchPathA(LPCSTR, LPCSTR, LPCSTR, DWORD, LPSTR, LPSTR *) {
    return 0;
}

LSTATUS WINAPI RegOpenKeyExA(HKEY, LPCSTR, DWORD, REGSAM, PHKEY) {
    return ERROR_FILE_NOT_FOUND;
}

LSTATUS WINAPI RegQueryValueExA(HKEY, LPCSTR, LPDWORD, LPDWORD, LPBYTE, LPDWORD) {
    return ERROR_FILE_NOT_FOUND;
}

LSTATUS WINAPI RegCloseKey(HKEY) {
    return ERROR_SUCCESS;
}

// ---- Time -----------------------------------------------------------------------

BOOL WINAPI FileTimeToSystemTime(const FILETIME *file_time, LPSYSTEMTIME system_time) {
    const uint64_t v =
        (static_cast<uint64_t>(file_time->dwHighDateTime) << 32) | file_time->dwLowDateTime;
    if (v >= 0x8000000000000000u) {
        return FALSE;
    }
    const uint64_t seconds = v / kTicksPerSecond;
    const int64_t days = static_cast<int64_t>(seconds / 86400);
    const unsigned rest = static_cast<unsigned>(seconds % 86400);
    int64_t year;
    unsigned month, day;
    CivilFromDays(days - kDaysFrom1601To1970, &year, &month, &day);
    system_time->wYear = static_cast<WORD>(year);
    system_time->wMonth = static_cast<WORD>(month);
    system_time->wDay = static_cast<WORD>(day);
    system_time->wDayOfWeek = static_cast<WORD>((days + 1) % 7); // 1601-01-01: a Monday
    system_time->wHour = static_cast<WORD>(rest / 3600);
    system_time->wMinute = static_cast<WORD>(rest / 60 % 60);
    system_time->wSecond = static_cast<WORD>(rest % 60);
    system_time->wMilliseconds = static_cast<WORD>(v / 10000 % 1000);
    return TRUE;
}

BOOL WINAPI SystemTimeToFileTime(const SYSTEMTIME *t, LPFILETIME file_time) {
    static const unsigned kMonthDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    if (t->wYear < 1601 || t->wYear > 30827 || t->wMonth < 1 || t->wMonth > 12 || t->wDay < 1 ||
        t->wDay > kMonthDays[t->wMonth - 1] + (t->wMonth == 2 && IsLeap(t->wYear) ? 1 : 0) ||
        t->wHour > 23 || t->wMinute > 59 || t->wSecond > 59 || t->wMilliseconds > 999) {
        return FALSE;
    }
    const int64_t days = DaysFromCivil(t->wYear, t->wMonth, t->wDay) + kDaysFrom1601To1970;
    const uint64_t seconds =
        static_cast<uint64_t>(days) * 86400 + t->wHour * 3600u + t->wMinute * 60u + t->wSecond;
    const uint64_t v = seconds * kTicksPerSecond + t->wMilliseconds * 10000u;
    file_time->dwLowDateTime = static_cast<DWORD>(v);
    file_time->dwHighDateTime = static_cast<DWORD>(v >> 32);
    return TRUE;
}

// ---- Windows --------------------------------------------------------------------

// The decoder's "解凍中 N%" for the install dialog; the tool shows its own bar.
BOOL WINAPI SetDlgItemTextA(HWND, int, LPCSTR) {
    return TRUE;
}
