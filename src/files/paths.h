// Destination paths: the path macros an install directory or a member path may
// begin with, the work directory, the join of a member path onto the destination
// directory, separators, directory creation and the short form for the progress label.
//
// Separators are "/", "\" and 0xFF (the separator of LZH directory names). Every
// scan takes a lead byte and its trail byte as one character, so a trail byte 0x5C
// is never a separator; a lead byte directly before the terminator ends a scan.
#pragma once

#include <windows.h>

// Expands the macro at the start of `path` in place ("%WORK%", "%WinDir%",
// "%WinRoot%", "%SystemDir%", "%ProgramFiles%", and "%Search%" when `search_name` is
// not empty) and turns every separator into "\". The buffer must hold 256 bytes. A
// macro whose value cannot be had, or whose expansion would not fit in 255 bytes,
// is left as it stands.
void ExpandPathMacros(char *path, const char *search_name);

// Writes the work directory (TEMP, TMP, the Windows directory's TEMP, else the
// current directory) into `out` of `size` bytes. Returns its length when it fits,
// else leaves `out` empty and returns the length plus one; 0 when none was found.
int GetWorkDirectory(char *out, int size);

// Reads a value under HKEY_LOCAL_MACHINE into `out` of `size` bytes as a string, or
// copies `fallback` when the key or the value cannot be read or does not fit.
void ReadMachineString(const char *key, const char *name, const char *fallback, char *out,
                       int size);

// Joins the member path onto the destination directory into `out` (516 bytes).
// The member path's macros are expanded in place first, with its file name as the
// search name; an absolute member path replaces the directory, a rooted one keeps
// only the directory's drive.
void JoinDestinationPath(char *out, const char *dir, char *member_path);

// Appends "/" unless the path already ends in "\" or "/"; the buffer needs room for
// one more byte.
void AppendSeparator(char *path);

// Replaces every separator of `path` by `replacement`.
void ReplaceSeparators(char *path, char replacement);

// The position just after the last ":", "\", "/" or 0xFF, else the start.
const char *FindFileNamePart(const char *path);
char *FindFileNamePart(char *path);

// The first single-byte character of `s` that is one of the bytes of `set`, or null.
const char *FindFirstOf(const char *s, const char *set);
char *FindFirstOf(char *s, const char *set);

// Creates every directory along a path with "/" separators: each prefix that ends
// before a "/", in order. The part after the last "/" is not created.
void MakeDirectories(const char *path);

// The same along a run of paths: `made` (516 bytes) holds the path whose directories
// were made last, or "", and each prefix it shares whole with `path`, its "/"
// included, is taken as made and skipped. `made` then holds `path`.
void MakeDirectories(const char *path, char *made);

// Writes into `out` the path itself when it is shorter than `limit` bytes, else its
// start, ".../" and its file title in limit - 1 bytes, or ".../" and the title when
// even that is too long. `out` must hold max(limit, 260) bytes.
void ShortenForDisplay(char *out, const char *path, int limit);
