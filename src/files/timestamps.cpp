// Time stamp conversion between Unix seconds, the packed MS-DOS date-time,
// SYSTEMTIME and FILETIME, with no time-zone change anywhere but ApplyTzOffset.
//
// - Between Unix seconds and FILETIME a time is counted straight in 100 ns ticks.
// - Inside both ranges a time goes Unix -> packed -> SYSTEMTIME and back; the packed
//   form holds even seconds only, so the odd second travels in the lowest bit beside
//   it and no direction loses more than the part below a second.
// - Outside them the year field would wrap modulo 128 (a time of the 1970s would
//   come back in the 2100s). Instead, the 1970s are converted exactly between the
//   calendar and Unix seconds, and calendar times that Unix seconds cannot hold
//   stop at 0 or 0xFFFFFFFF.
#include "files/timestamps.h"

namespace {

const DWORD kSecondsPerDay = 86400;
const DWORD kLastUnixSecond = 0xFFFFFFFFu;
const DWORD kUnreadableTime = 0xFFFFFFFFu;
const int kTzBufferSize = 100;
// FILETIME counts 100 ns ticks from 1601-01-01.
const DWORD kTicksPerSecond = 10000000u;
const unsigned long long kTicksTo1970 = 116444736000000000ull;
// TZ hours beyond this already reach either end of the Unix range.
const DWORD kTzHoursCap = 1u << 21;

// Days of the months of a common year, then of a leap year.
const BYTE kMonthDays[24] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31,
                             31, 29, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};

bool IsLeapYear(int year) {
    return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
}

const BYTE *MonthLengths(int year) {
    return kMonthDays + (IsLeapYear(year) ? 12 : 0);
}

int LeapYearsThrough(int year) {
    return year / 4 - year / 100 + year / 400;
}

// Days from 1970-01-01 to January 1st of `year`, negative before 1970. This is
// 3652 for 1980 and 10957 for 2000; 2100 is a common year.
long long DaysBeforeYear(int year) {
    return 365LL * (year - 1970) + LeapYearsThrough(year - 1) - LeapYearsThrough(1969);
}

// Days of the months before `month`. A month field beyond 12 (only a damaged value
// holds one) counts the twelve months and no more.
int DaysBeforeMonth(int year, int month) {
    const BYTE *lengths = MonthLengths(year);
    int days = 0;
    for (int m = 1; m < month && m <= 12; ++m) {
        days += lengths[m - 1];
    }
    return days;
}

// Seconds from 1970-01-01 00:00:00 to the given clock reading, without any limit.
long long SecondsSince1970(int year, int month, int day, int hour, int minute, int second) {
    long long days = DaysBeforeYear(year) + DaysBeforeMonth(year, month) + day - 1;
    return ((days * 24 + hour) * 60 + minute) * 60 + second;
}

DWORD ClampToUnix(long long seconds) {
    if (seconds < 0) {
        return 0;
    }
    if (seconds > static_cast<long long>(kLastUnixSecond)) {
        return kLastUnixSecond;
    }
    return static_cast<DWORD>(seconds);
}

// The quotient of the 64-bit value high:low by `divisor`, for high below divisor, so
// that it fits in 32 bits: one division instruction on the 32-bit target rather than
// a call into the compiler's 64-bit division helper.
DWORD DivideBelow(DWORD high, DWORD low, DWORD divisor) {
#if defined(__i386__)
    DWORD quotient, remainder;
    __asm__("divl %4" : "=a"(quotient), "=d"(remainder) : "a"(low), "d"(high), "rm"(divisor));
    return quotient;
#else
    return static_cast<DWORD>((static_cast<unsigned long long>(high) << 32 | low) / divisor);
#endif
}

// Calendar fields of Unix seconds; the day of week and milliseconds are left alone.
void SplitUnix(DWORD t, SYSTEMTIME *calendar) {
    DWORD days = t / kSecondsPerDay;
    DWORD rest = t % kSecondsPerDay;
    int year = 1970;
    for (;;) {
        DWORD length = IsLeapYear(year) ? 366 : 365;
        if (days < length) {
            break;
        }
        days -= length;
        ++year;
    }
    const BYTE *lengths = MonthLengths(year);
    int month = 0;
    while (month < 11 && days >= lengths[month]) {
        days -= lengths[month];
        ++month;
    }
    calendar->wYear = static_cast<WORD>(year);
    calendar->wMonth = static_cast<WORD>(month + 1);
    calendar->wDay = static_cast<WORD>(days + 1);
    calendar->wHour = static_cast<WORD>(rest / 3600);
    calendar->wMinute = static_cast<WORD>(rest % 3600 / 60);
    calendar->wSecond = static_cast<WORD>(rest % 60);
}

// Packs calendar fields; the year keeps (year - 1980) modulo 128, the second its half.
DWORD Pack(const SYSTEMTIME &c) {
    return ((static_cast<DWORD>(c.wYear) - 1980u) & 127u) << 25 |
           (static_cast<DWORD>(c.wMonth) & 15u) << 21 | (static_cast<DWORD>(c.wDay) & 31u) << 16 |
           (static_cast<DWORD>(c.wHour) & 31u) << 11 | (static_cast<DWORD>(c.wMinute) & 63u) << 5 |
           ((static_cast<DWORD>(c.wSecond) / 2) & 31u);
}

} // namespace

DWORD PackedToUnix(DWORD packed) {
    int year = 1980 + static_cast<int>(packed >> 25);
    int month = static_cast<int>((packed >> 21) & 15);
    int day = static_cast<int>((packed >> 16) & 31);
    int hour = static_cast<int>((packed >> 11) & 31);
    int minute = static_cast<int>((packed >> 5) & 63);
    int second = static_cast<int>(packed & 31) * 2;
    return ClampToUnix(SecondsSince1970(year, month, day, hour, minute, second));
}

DWORD UnixToPacked(DWORD unix_seconds) {
    if (unix_seconds < kPackedEpoch) {
        return 0x00210000u; // 1980-01-01 00:00:00, the earliest packed time
    }
    SYSTEMTIME calendar;
    SplitUnix(unix_seconds, &calendar);
    return Pack(calendar);
}

BOOL CalendarToUnix(const SYSTEMTIME *calendar, DWORD *unix_seconds) {
    if (calendar == nullptr || unix_seconds == nullptr) {
        return FALSE;
    }
    const SYSTEMTIME &c = *calendar;
    long long exact = SecondsSince1970(c.wYear, c.wMonth, c.wDay, c.wHour, c.wMinute, c.wSecond);
    if (c.wYear < 1980 || exact < 0 || exact > static_cast<long long>(kLastUnixSecond)) {
        *unix_seconds = ClampToUnix(exact);
        return TRUE;
    }
    // The packed result is even; the record's own second supplies the lowest bit.
    *unix_seconds = (PackedToUnix(Pack(c)) & ~1u) | (c.wSecond & 1u);
    return TRUE;
}

BOOL FileTimeToUnix(const FILETIME *ft, DWORD *unix_seconds) {
    // A FILETIME with its top bit set is no calendar time for the platform either.
    if (ft == nullptr || unix_seconds == nullptr || (ft->dwHighDateTime & 0x80000000u) != 0) {
        return FALSE;
    }
    // Counted straight in ticks, the part below the second dropped: the same seconds
    // the calendar fields give, without a detour through them.
    unsigned long long ticks =
        (static_cast<unsigned long long>(ft->dwHighDateTime) << 32 | ft->dwLowDateTime);
    if (ticks < kTicksTo1970) {
        *unix_seconds = 0;
    } else {
        ticks -= kTicksTo1970;
        DWORD high = static_cast<DWORD>(ticks >> 32);
        // The quotient fits in 32 bits exactly when the high half is below the divisor.
        *unix_seconds = high >= kTicksPerSecond
                            ? kLastUnixSecond
                            : DivideBelow(high, static_cast<DWORD>(ticks), kTicksPerSecond);
    }
    return TRUE;
}

BOOL UnixToCalendar(DWORD unix_seconds, SYSTEMTIME *calendar) {
    if (calendar == nullptr) {
        return FALSE;
    }
    if (unix_seconds >= kPackedEpoch) {
        DWORD packed = UnixToPacked(unix_seconds);
        calendar->wYear = static_cast<WORD>(1980 + (packed >> 25));
        calendar->wMonth = static_cast<WORD>((packed >> 21) & 15);
        calendar->wDay = static_cast<WORD>((packed >> 16) & 31);
        calendar->wHour = static_cast<WORD>((packed >> 11) & 31);
        calendar->wMinute = static_cast<WORD>((packed >> 5) & 63);
        calendar->wSecond = static_cast<WORD>((packed & 31) * 2 + (unix_seconds & 1));
    } else {
        SplitUnix(unix_seconds, calendar);
    }
    // The platform does not read the day of week; it is set right all the same
    // (1970-01-01 was a Thursday).
    calendar->wMilliseconds = 0;
    calendar->wDayOfWeek = static_cast<WORD>((unix_seconds / kSecondsPerDay + 4) % 7);
    return TRUE;
}

BOOL UnixToFileTime(DWORD unix_seconds, FILETIME *ft) {
    if (ft == nullptr) {
        return FALSE;
    }
    // Every Unix second is a FILETIME the platform takes; one 32 by 32 bit product.
    unsigned long long ticks =
        static_cast<unsigned long long>(unix_seconds) * kTicksPerSecond + kTicksTo1970;
    ft->dwLowDateTime = static_cast<DWORD>(ticks);
    ft->dwHighDateTime = static_cast<DWORD>(ticks >> 32);
    return TRUE;
}

HANDLE OpenExistingShared(const char *path) {
    return CreateFileA(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                       OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
}

DWORD ExistingFileTime(const char *path) {
    HANDLE file = OpenExistingShared(path);
    if (file == INVALID_HANDLE_VALUE) {
        return kUnreadableTime;
    }
    // A time that cannot be read counts like a file that cannot be opened.
    FILETIME write;
    DWORD seconds = kUnreadableTime;
    if (!GetFileTime(file, nullptr, nullptr, &write) || !FileTimeToUnix(&write, &seconds)) {
        seconds = kUnreadableTime;
    }
    CloseHandle(file);
    return seconds;
}

void ApplyTzOffset(DWORD *unix_seconds) {
    if (unix_seconds == nullptr) {
        return;
    }
    char tz[kTzBufferSize];
    DWORD length = GetEnvironmentVariableA("TZ", tz, kTzBufferSize);
    if (length == 0 || length >= static_cast<DWORD>(kTzBufferSize)) {
        return; // unset, empty, or too long to have been read
    }
    // The first sign or digit starts the offset: "JST-9", "EST5EDT", "GMT+1".
    const char *p = tz;
    while (*p != 0 && *p != '+' && *p != '-' && !(*p >= '0' && *p <= '9')) {
        ++p;
    }
    bool east = *p == '-';
    if (*p == '-' || *p == '+') {
        ++p;
    }
    // Whole hours only; minutes and a daylight-saving name after them are ignored.
    DWORD hours = 0;
    for (; *p >= '0' && *p <= '9'; ++p) {
        if (hours < kTzHoursCap) {
            hours = hours * 10 + static_cast<DWORD>(*p - '0');
        }
    }
    long long shift = 3600LL * hours;
    long long corrected = static_cast<long long>(*unix_seconds) + (east ? shift : -shift);
    *unix_seconds = ClampToUnix(corrected);
}
