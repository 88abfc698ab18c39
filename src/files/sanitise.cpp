// Member name sanitising for short-name (8.3) and long-name volumes.
#include "files/sanitise.h"

namespace {

const char kReplacement = '_';
const int kLongNameLimit = 255;
const int kBaseLimit = 8;
const int kExtensionLimit = 3;

const char kShortForbidden[] = "\"*+,./:;<=>?[\\]|\xFF";
const char kLongForbidden[] = "\"*/:<>?\\|";

bool IsForbidden(BYTE b, BOOL long_names) {
    if (!long_names && b <= 0x20) {
        return true;
    }
    for (const char *p = long_names ? kLongForbidden : kShortForbidden; *p != 0; ++p) {
        if (static_cast<BYTE>(*p) == b) {
            return true;
        }
    }
    return false;
}

// Moves the string at `from` to `to` (to <= from), terminator included.
char *MoveDown(char *to, const char *from) {
    while ((*to = *from) != 0) {
        ++to;
        ++from;
    }
    return to;
}

} // namespace

char *SanitiseSpan(char *text, int limit, BOOL long_names) {
    int i = 0;
    bool trail_next = false;
    for (; i < limit && text[i] != 0; ++i) {
        BYTE b = static_cast<BYTE>(text[i]);
        if (trail_next) {
            trail_next = false;
        } else if (IsDBCSLeadByte(b)) {
            trail_next = true;
        } else if (IsForbidden(b, long_names)) {
            text[i] = kReplacement;
        }
    }
    // A lead byte whose trail byte lies beyond the limit (or is missing) goes too.
    if (trail_next) {
        --i;
    }
    text[i] = 0;
    return text + i;
}

void SanitiseComponent(char *component, BOOL long_names) {
    if (long_names) {
        SanitiseSpan(component, kLongNameLimit, long_names);
        return;
    }
    // "." is never a trail byte in Shift-JIS, so a plain search finds the last one.
    char *dot = nullptr;
    for (char *p = component; *p != 0; ++p) {
        if (*p == '.') {
            dot = p;
        }
    }
    if (dot == nullptr) {
        SanitiseSpan(component, kBaseLimit, long_names);
        return;
    }
    // Base and extension are sanitised apart; the base's own dots become "_".
    *dot = 0;
    char *base_end = SanitiseSpan(component, kBaseLimit, long_names);
    char *extension = dot + 1;
    SanitiseSpan(extension, kExtensionLimit, long_names);
    *base_end = '.';
    MoveDown(base_end + 1, extension);
}

void SanitisePath(char *path, BOOL long_names) {
    char *read = path;
    char *write = path;
    if (*read == '/') {
        ++read;
        ++write;
    }
    for (;;) {
        // "/" is never a trail byte either.
        char *end = read;
        while (*end != 0 && *end != '/') {
            ++end;
        }
        bool last = *end == 0;
        *end = 0;
        SanitiseComponent(read, long_names);
        write = MoveDown(write, read);
        if (last) {
            return;
        }
        *write++ = '/';
        read = end + 1;
    }
}
