// The installer's directive reader takes any byte from 1 to 31 as a line break,
// knows ten keywords, case-sensitive and only at the start of a line, copies at most
// 255 bytes of a value, and cuts each value to its target. "$Class=" and "$Group="
// lines are split into fields at commas outside double quotes.
#include "directive_check.h"

#include <cstddef>

#include "text_codec.h"

namespace cli {
namespace {

struct Keyword {
    const char *text;
    size_t limit; // bytes of the value its target holds; 0: none
};

const Keyword kKeywords[] = {
    {"$WindowTitle=", 40}, {"$InstallTitle=", 40}, {"$InstallDir=", 255}, {"$ClassTitle=", 79},
    {"$Class=", 0},        {"$GroupTitle=", 79},   {"$Group=", 0},        {"$Command=", 258},
    {"$AskRegist=", 0},    {"$Flag=", 0},
};
enum { kClass = 4, kGroup = 6, kFlag = 9 };

// The reader copies a value into a buffer of 256 bytes.
constexpr size_t kValueLimit = 255;

struct Field {
    const char *name;
    size_t limit;
};
const Field kClassFields[4] = {
    {"extension", 19}, {"type name", 19}, {"program", 259}, {"class key", 60}};
const Field kGroupFields[4] = {
    {"group name", 79}, {"item title", 79}, {"program", 259}, {"icon", 259}};

bool StartsWith(const std::string &s, const char *prefix) {
    return s.compare(0, std::char_traits<char>::length(prefix), prefix) == 0;
}

bool SameIgnoringCase(const std::string &a, const char *b) {
    const size_t n = std::char_traits<char>::length(b);
    if (a.size() < n) {
        return false;
    }
    for (size_t i = 0; i < n; ++i) {
        auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c; };
        if (lower(a[i]) != lower(b[i])) {
            return false;
        }
    }
    return true;
}

// The fields of a "$Class=" or "$Group=" value, as the installer splits them.
std::vector<std::string> SplitFields(const std::string &value) {
    std::vector<std::string> fields(1);
    bool quoted = false;
    for (char c : value) {
        if (c == '"') {
            quoted = !quoted;
        } else if (c == ',' && !quoted) {
            fields.emplace_back();
        } else {
            fields.back().push_back(c);
        }
    }
    return fields;
}

class Checker {
  public:
    explicit Checker(std::vector<DirectiveWarning> *out) : out_(out) {}

    void At(int number) {
        number_ = number;
    }

    void Line(const std::string &line) {
        const int k = Match(line);
        if (k < 0) {
            Unknown(line);
            return;
        }
        std::string value = line.substr(std::char_traits<char>::length(kKeywords[k].text));
        const std::string keyword = kKeywords[k].text;
        if (value.size() > kValueLimit) {
            Warn("the value of \"" + keyword + "\" is " + std::to_string(value.size()) +
                 " bytes; the installer reads only the first " + std::to_string(kValueLimit));
            value.resize(kValueLimit);
        } else if (kKeywords[k].limit != 0 && value.size() > kKeywords[k].limit) {
            Warn("the value of \"" + keyword + "\" is " + std::to_string(value.size()) +
                 " bytes; the installer keeps only the first " +
                 std::to_string(kKeywords[k].limit));
        }
        if (k == kClass) {
            Fields(keyword, value, kClassFields, 4, 4,
                   "4 fields: extension, type name, program, class key");
        } else if (k == kGroup) {
            Fields(keyword, value, kGroupFields, 3, 4,
                   "3 or 4 fields: group name, item title, program[, icon]");
        } else if (k == kFlag) {
            size_t i = value.find_first_not_of(' ');
            if (i != std::string::npos && (value[i] == '+' || value[i] == '-')) {
                ++i;
            }
            if (i >= value.size() || value[i] < '0' || value[i] > '9') {
                Warn("\"$Flag=\" has no number; the line changes nothing");
            }
        }
    }

    void Warn(const std::string &text) {
        out_->push_back({number_, text});
    }

  private:
    // Index of the keyword the line starts with, or -1 for a line that starts with
    // "$" and no keyword; lines that do not start with "$" are comments (-2).
    static int Match(const std::string &line) {
        for (int k = 0; k < static_cast<int>(sizeof kKeywords / sizeof kKeywords[0]); ++k) {
            if (StartsWith(line, kKeywords[k].text)) {
                return k;
            }
        }
        return line.empty() || line[0] != '$' ? -2 : -1;
    }

    void Unknown(const std::string &line) {
        if (line.empty() || line[0] != '$') {
            return;
        }
        const size_t equals = line.find('=');
        const std::string name =
            ShowShiftJis(line.substr(0, equals == std::string::npos ? 20 : equals + 1));
        for (const Keyword &kw : kKeywords) {
            if (SameIgnoringCase(line, kw.text)) {
                Warn("unknown directive \"" + name +
                     "\": keywords are case-sensitive; did you mean \"" + kw.text + "\"?");
                return;
            }
        }
        Warn("unknown directive \"" + name + "\"; the installer skips this line");
    }

    void Fields(const std::string &keyword, const std::string &value, const Field *fields,
                size_t least, size_t most, const char *wanted) {
        const std::vector<std::string> found = SplitFields(value);
        if (found.size() < least || found.size() > most) {
            Warn("\"" + keyword + "\" needs " + wanted + "; this line has " +
                 std::to_string(found.size()));
        }
        for (size_t i = 0; i < found.size() && i < 4; ++i) {
            if (found[i].size() > fields[i].limit) {
                Warn("the " + std::string(fields[i].name) + " of \"" + keyword + "\" is " +
                     std::to_string(found[i].size()) + " bytes; the installer holds at most " +
                     std::to_string(fields[i].limit));
            }
        }
    }

    std::vector<DirectiveWarning> *out_;
    int number_ = 0;
};

} // namespace

std::vector<DirectiveWarning> CheckDirectives(const std::string &sjis) {
    std::vector<DirectiveWarning> warnings;
    Checker checker(&warnings);
    int number = 1;
    size_t start = 0;
    while (start <= sjis.size()) {
        size_t end = sjis.find('\n', start);
        if (end == std::string::npos) {
            end = sjis.size();
        }
        std::string line = sjis.substr(start, end - start);
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        // Any other byte below 32 also ends a line for the installer.
        checker.At(number);
        size_t piece = 0;
        for (size_t i = 0; i <= line.size(); ++i) {
            if (i < line.size() && static_cast<unsigned char>(line[i]) >= 32) {
                continue;
            }
            if (i < line.size()) {
                checker.Warn("a control byte (" + ShowShiftJis(line.substr(i, 1)) +
                             ") ends the line for the installer; what follows is read as another "
                             "line");
            }
            if (i > piece) {
                checker.Line(line.substr(piece, i - piece));
            }
            piece = i + 1;
        }
        ++number;
        start = end + 1;
    }
    return warnings;
}

} // namespace cli
