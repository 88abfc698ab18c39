// Conversions between UTF-8 and code page 932, over the system's table.
#include "text_codec.h"

#include <cstdint>
#include <cstdio>

#include "platform.h"

namespace cli {
namespace {

// Length of the UTF-8 sequence that `lead` starts, or 0 for a byte that starts none.
size_t SequenceLength(unsigned char lead) {
    if (lead < 0x80) {
        return 1;
    }
    if (lead >= 0xC2 && lead <= 0xDF) {
        return 2;
    }
    if (lead >= 0xE0 && lead <= 0xEF) {
        return 3;
    }
    if (lead >= 0xF0 && lead <= 0xF4) {
        return 4;
    }
    return 0;
}

// Offset of the first byte that is not part of well-formed UTF-8, or npos.
size_t InvalidUtf8At(const std::string &s) {
    for (size_t i = 0; i < s.size();) {
        const unsigned char b = static_cast<unsigned char>(s[i]);
        const size_t n = SequenceLength(b);
        if (n == 0 || i + n > s.size()) {
            return i;
        }
        uint32_t cp = n == 1 ? b : b & (0x7F >> n);
        for (size_t k = 1; k < n; ++k) {
            const unsigned char c = static_cast<unsigned char>(s[i + k]);
            if ((c & 0xC0) != 0x80) {
                return i;
            }
            cp = (cp << 6) | (c & 0x3F);
        }
        // Overlong forms, surrogates and values beyond U+10FFFF are not UTF-8.
        static const uint32_t kMinimum[5] = {0, 0, 0x80, 0x800, 0x10000};
        if (cp < kMinimum[n] || (cp >= 0xD800 && cp <= 0xDFFF) || cp > 0x10FFFF) {
            return i;
        }
        i += n;
    }
    return std::string::npos;
}

std::string Hex(unsigned char b) {
    char text[8];
    std::snprintf(text, sizeof text, "\\x%02X", b);
    return text;
}

} // namespace

bool IsShiftJisLead(unsigned char byte) {
    return (byte >= 0x81 && byte <= 0x9F) || (byte >= 0xE0 && byte <= 0xFC);
}

bool ToShiftJis(const std::string &utf8, std::string *out, std::string *problem) {
    const size_t bad = InvalidUtf8At(utf8);
    if (bad != std::string::npos) {
        *problem =
            "the byte " + Hex(static_cast<unsigned char>(utf8[bad])) + ", which is not UTF-8";
        return false;
    }
    size_t failed_at = 0;
    if (!platform::EncodeCp932(utf8, out, &failed_at)) {
        const size_t n = SequenceLength(static_cast<unsigned char>(utf8[failed_at]));
        *problem = "\"" + utf8.substr(failed_at, n) + "\", which Shift-JIS cannot hold";
        return false;
    }
    return true;
}

bool FromShiftJis(const std::string &sjis, std::string *out) {
    return platform::DecodeCp932(sjis, out);
}

std::string ShowShiftJis(const std::string &sjis) {
    std::string shown;
    std::string piece;
    for (size_t i = 0; i < sjis.size();) {
        const unsigned char b = static_cast<unsigned char>(sjis[i]);
        const size_t n = IsShiftJisLead(b) && i + 1 < sjis.size() ? 2 : 1;
        if (b < 0x20 || b == 0x7F) {
            shown += Hex(b);
        } else if (b < 0x80) {
            shown.push_back(static_cast<char>(b));
        } else if (FromShiftJis(sjis.substr(i, n), &piece)) {
            shown += piece;
        } else {
            for (size_t k = 0; k < n; ++k) {
                shown += Hex(static_cast<unsigned char>(sjis[i + k]));
            }
        }
        i += n;
    }
    return shown;
}

std::string ToCrLf(const std::string &text) {
    std::string out;
    out.reserve(text.size() + text.size() / 32);
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\r') {
            if (i + 1 < text.size() && text[i + 1] == '\n') {
                ++i;
            }
            out += "\r\n";
        } else if (text[i] == '\n') {
            out += "\r\n";
        } else {
            out.push_back(text[i]);
        }
    }
    return out;
}

std::string WithoutBom(const std::string &text) {
    return text.compare(0, 3, "\xEF\xBB\xBF") == 0 ? text.substr(3) : text;
}

} // namespace cli
