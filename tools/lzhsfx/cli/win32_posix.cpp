// The Win32 calls of the stub's sources that the tool does not serve itself
// (stub_calls.h), implemented for the host over POSIX; on Windows they are the
// system's.
//
// - The ANSI code page is 932: strings are Shift-JIS.
// - The file calls the installer makes for itself, when it creates its folders and
//   looks at the files it would overwrite, fail: the tool does that work itself.
// - The stub's path helpers also reach the Windows and system directories, the
//   search path and the registry; the tool never calls those helpers, and they fail
//   as on a machine without Windows or its registry.
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <windows.h>

#include "text_codec.h"

namespace {

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

} // namespace

// ---- Memory ---------------------------------------------------------------------

// Every block is zero-filled, LMEM_ZEROINIT or not: the stub asks for it anyway.
HLOCAL WINAPI LocalAlloc(UINT, size_t bytes) {
    return std::calloc(1, bytes == 0 ? 1 : bytes);
}

HLOCAL WINAPI LocalFree(HLOCAL mem) {
    std::free(mem);
    return nullptr;
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

HANDLE WINAPI CreateFileA(LPCSTR, DWORD, DWORD, LPSECURITY_ATTRIBUTES, DWORD, DWORD, HANDLE) {
    return INVALID_HANDLE_VALUE;
}

BOOL WINAPI GetFileTime(HANDLE, LPFILETIME, LPFILETIME, LPFILETIME) {
    return FALSE;
}

BOOL WINAPI CreateDirectoryA(LPCSTR, LPSECURITY_ATTRIBUTES) {
    return FALSE;
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
