// Byte-string helpers shared by every subsystem. Strings are NUL-terminated bytes
// in the ANSI code page; scans treat a lead byte and its trail byte as one character.
#pragma once

#include <windows.h>

// Position of the terminator of `s`.
char *StringEnd(char *s);
const char *StringEnd(const char *s);

// Compares at most `n` bytes as unsigned values; a terminator in either string ends
// the comparison. Returns the difference of the first differing bytes, else 0.
int CompareBounded(const char *a, const char *b, int n);

// Copies `src` into `dst` of `size` bytes (size >= 1), always terminating it. A text
// that does not fit is cut before the character that would not fit, so a
// double-byte character is never split. Returns the length copied.
int CopyText(char *dst, const char *src, int size);
