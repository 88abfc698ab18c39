// Text encodings done for the packager: what the tool is given is UTF-8, what the
// installer holds is Shift-JIS (code page 932). Conversions go through the system's
// table and never replace a character silently: one that code page 932 cannot hold is
// an error naming it.
#pragma once

#include <string>

namespace cli {

// Converts UTF-8 to code page 932. On failure returns false and describes the first
// character that cannot be converted (or the invalid UTF-8 byte) in `problem`.
bool ToShiftJis(const std::string &utf8, std::string *out, std::string *problem);

// Converts code page 932 to UTF-8; false when the bytes are not valid Shift-JIS.
bool FromShiftJis(const std::string &sjis, std::string *out);

// Shift-JIS bytes as UTF-8 for showing: what cannot be decoded, and control bytes,
// appear as \xNN.
std::string ShowShiftJis(const std::string &sjis);

// Whether `byte` starts a double-byte character of code page 932.
bool IsShiftJisLead(unsigned char byte);

// Line breaks as the installer's message boxes want them: every LF, CR LF or lone CR
// becomes CR LF.
std::string ToCrLf(const std::string &text);

// Drops a UTF-8 byte order mark at the start.
std::string WithoutBom(const std::string &text);

} // namespace cli
