// Checks a directive text as the installer will read it, and says which lines it
// will not read the way they look.
#pragma once

#include <string>
#include <vector>

namespace cli {

struct DirectiveWarning {
    int line; // 1-based, counting line feeds of the text
    std::string text;
};

// `sjis` is the directive text in Shift-JIS as the installer gets it. Warns about a
// line that starts with "$" but with no keyword the installer knows, a "$Class="
// line without exactly 4 fields, a "$Group=" line without 3 or 4, a value the
// installer cuts short, a control byte that splits a line, and a "$Flag=" value
// without digits.
std::vector<DirectiveWarning> CheckDirectives(const std::string &sjis);

} // namespace cli
