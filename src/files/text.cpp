#include "files/text.h"

char *StringEnd(char *s) {
    while (*s != 0) {
        ++s;
    }
    return s;
}

const char *StringEnd(const char *s) {
    return StringEnd(const_cast<char *>(s));
}

int CompareBounded(const char *a, const char *b, int n) {
    for (int i = 0; i < n; ++i) {
        int x = static_cast<BYTE>(a[i]);
        int y = static_cast<BYTE>(b[i]);
        if (x == 0 || y == 0 || x != y) {
            return x - y;
        }
    }
    return 0;
}

int CopyText(char *dst, const char *src, int size) {
    int n = 0;
    while (src[n] != 0) {
        int width = IsDBCSLeadByte(static_cast<BYTE>(src[n])) && src[n + 1] != 0 ? 2 : 1;
        if (n + width > size - 1) {
            break;
        }
        dst[n] = src[n];
        if (width == 2) {
            dst[n + 1] = src[n + 1];
        }
        n += width;
    }
    dst[n] = 0;
    return n;
}
