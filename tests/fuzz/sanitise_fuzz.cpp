// The member name sanitiser under both rule sets, on arbitrary paths in a buffer of
// exactly their size: nothing grows, the separators stay where they were, and every
// component keeps to the rules it was sanitised under (no forbidden byte outside a
// double-byte character, the length limits, no lead byte left without its trail).
//
// Input: one byte of options (bit 0: long-name rules; bits 1 and 2: 0 or 1 the whole
// path, 2 one component, 3 one span with the next byte as its limit), then the text.
#include <stdlib.h>

#include <algorithm>
#include <string.h>

#include "files/sanitise.h"
#include "fuzz_support.h"

namespace {

bool Forbidden(BYTE b, bool long_names) {
    const char *set = long_names ? "\"*/:<>?\\|" : "\"*+,./:;<=>?[\\]|\xFF";
    return (!long_names && b <= 0x20) || (b != 0 && strchr(set, b) != nullptr);
}

// Walks `n` bytes as the sanitiser does; returns false when a forbidden single byte
// remains or the text ends on a lead byte.
bool Clean(const char *text, size_t n, bool long_names) {
    for (size_t i = 0; i < n; ++i) {
        BYTE b = static_cast<BYTE>(text[i]);
        if (IsDBCSLeadByte(b)) {
            if (i + 1 >= n) {
                return false;
            }
            ++i;
        } else if (Forbidden(b, long_names)) {
            return false;
        }
    }
    return true;
}

void CheckComponent(const char *c, size_t n, bool long_names) {
    if (long_names) {
        FUZZ_CHECK(n <= 255);
        FUZZ_CHECK(Clean(c, n, true));
        return;
    }
    // Only the dot in front of the extension is left as a single byte, and it is the
    // last dot: the extension never holds one.
    const char *dot = static_cast<const char *>(memrchr(c, '.', n));
    size_t base = dot == nullptr ? n : static_cast<size_t>(dot - c);
    FUZZ_CHECK(base <= 8);
    FUZZ_CHECK(Clean(c, base, false));
    if (dot != nullptr) {
        size_t extension = n - base - 1;
        FUZZ_CHECK(extension <= 3);
        FUZZ_CHECK(Clean(dot + 1, extension, false));
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 2) {
        return 0;
    }
    bool long_names = (data[0] & 1) != 0;
    int op = (data[0] >> 1) & 3;
    int limit = data[1];
    size_t n = FuzzTextLength(data + 2, size - 2, 4096);
    char *text = static_cast<char *>(malloc(n + 1));
    memcpy(text, data + 2, n);
    text[n] = 0;
    FuzzBegin();

    if (op <= 1) {
        SanitisePath(text, long_names);
        size_t out = strlen(text);
        FUZZ_CHECK(out <= n);
        FUZZ_CHECK(std::count(text, text + out, '/') ==
                   std::count(data + 2, data + 2 + n, static_cast<uint8_t>('/')));
        const char *component = text;
        if (*component == '/') {
            ++component;
        }
        for (;;) {
            const char *slash = strchr(component, '/');
            size_t length = slash == nullptr ? strlen(component) : slash - component;
            CheckComponent(component, length, long_names);
            if (slash == nullptr) {
                break;
            }
            component = slash + 1;
        }
    } else if (op == 2) {
        if (memchr(text, '/', n) == nullptr) {
            SanitiseComponent(text, long_names);
            FUZZ_CHECK(strlen(text) <= n);
            CheckComponent(text, strlen(text), long_names);
        }
    } else {
        char *end = SanitiseSpan(text, limit, long_names);
        size_t out = static_cast<size_t>(end - text);
        FUZZ_CHECK(*end == 0 && out == strlen(text));
        FUZZ_CHECK(out <= n && out <= static_cast<size_t>(limit));
        // In a span the dot is one more forbidden byte under the short-name rules.
        FUZZ_CHECK(Clean(text, out, long_names));
    }
    free(text);
    FuzzEnd();
    return 0;
}
