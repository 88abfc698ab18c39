// Time stamps: Unix seconds (unsigned 32-bit, no zone), the packed MS-DOS
// date-time, the platform's calendar record and FILETIME, the time of an existing
// file, and the "TZ" correction used on Win32s.
//
// Unix seconds and FILETIME convert directly, in 100 ns ticks; the calendar record
// goes through the packed form (1980-01-01 .. 2107-12-31, even seconds), with the
// odd second carried beside the packed value. A
// time that the target cannot hold becomes the nearest one it can: the 1970s, which
// the packed form lacks, are converted exactly from the calendar; a calendar time
// before 1970 gives Unix 0 and one after 2106-02-07 06:28:15 gives 0xFFFFFFFF.
#pragma once

#include <windows.h>

// The first time of the packed range, 1980-01-01 00:00:00, in Unix seconds.
const DWORD kPackedEpoch = 315532800u;

// Unix seconds of a packed date-time; 0xFFFFFFFF for one after 2106-02-07 06:28:15.
DWORD PackedToUnix(DWORD packed);
// Packed date-time of Unix seconds (second rounded down to even); a time before
// 1980 gives 1980-01-01 00:00:00.
DWORD UnixToPacked(DWORD unix_seconds);

// These return FALSE, writing nothing, when an argument is missing; FileTimeToUnix
// also when the platform cannot read the FILETIME as a calendar time.
BOOL CalendarToUnix(const SYSTEMTIME *calendar, DWORD *unix_seconds);
BOOL FileTimeToUnix(const FILETIME *ft, DWORD *unix_seconds);
BOOL UnixToCalendar(DWORD unix_seconds, SYSTEMTIME *calendar);
BOOL UnixToFileTime(DWORD unix_seconds, FILETIME *ft);

// Last-write time of a file as Unix seconds; 0xFFFFFFFF, which compares later than
// any member time, when it cannot be opened or its time cannot be read.
DWORD ExistingFileTime(const char *path);

// Opens an existing file for reading, sharing read and write with others.
HANDLE OpenExistingShared(const char *path);

// Corrects a time by the whole hours of "TZ" ("JST-9" adds 9 hours, "EST5EDT"
// takes 5 off), stopping at the ends of the Unix range instead of wrapping. An
// unset, empty or over-long (100 bytes or more) TZ leaves it unchanged.
void ApplyTzOffset(DWORD *unix_seconds);
