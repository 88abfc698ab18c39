// Destination paths: macro expansion, the work directory, joins, separators,
// directory creation and the display text of the progress label.
//
// Values that do not fit are never cut: a platform query whose value needs 256
// bytes or more counts as failed, and a macro whose expansion would not fit in the
// caller's buffer stays unexpanded. A path is then wrong in a way the user can see
// ("%WinDir%" as a folder name) instead of silently naming another file.
#include "files/paths.h"

#include "files/text.h"
#include "startup/run_state.h"

namespace {

// Limit of every platform query, terminator included.
const int kQuerySize = 256;
// The expansion is built here; it never holds more than the member path buffer.
const int kWorkingSize = kPathSize;

const char kSeparators[] = "/\\\xFF";
const char kNamePartEnds[] = ":\\/\xFF";

enum { kWork, kWinDir, kWinRoot, kSystemDir, kProgramFiles, kSearch, kMacroCount };

// Tested in this order, at the start of the path only, case as written.
const char *const kMacros[kMacroCount] = {
    "%WORK%", "%WinDir%", "%WinRoot%", "%SystemDir%", "%ProgramFiles%", "%Search%",
};

bool IsLead(char c) {
    return IsDBCSLeadByte(static_cast<BYTE>(c)) != 0;
}

bool InSet(char c, const char *set) {
    for (; *set != 0; ++set) {
        if (*set == c) {
            return true;
        }
    }
    return false;
}

// The length a query reported when its value fitted in kQuerySize bytes; 0 for a
// failed query and for a value too long to fit, whose buffer holds nothing usable.
int Fitted(DWORD reported) {
    return reported > 0 && reported < static_cast<DWORD>(kQuerySize) ? static_cast<int>(reported)
                                                                     : 0;
}

// Keeps the drive of a path ("C:").
void KeepDrive(char *path) {
    if (lstrlenA(path) > 2) {
        path[2] = 0;
    }
}

// Writes the replacement of macro `id` into `value` (kWorkingSize bytes, queried
// with kQuerySize); false when it cannot be had.
bool MacroValue(int id, const char *search_name, char *value) {
    switch (id) {
    case kWork:
        return Fitted(static_cast<DWORD>(GetWorkDirectory(value, kQuerySize))) > 0;
    case kWinDir:
        return Fitted(GetWindowsDirectoryA(value, kQuerySize)) > 0;
    case kWinRoot:
        if (Fitted(GetWindowsDirectoryA(value, kQuerySize)) == 0) {
            return false;
        }
        KeepDrive(value);
        return true;
    case kSystemDir:
        return Fitted(GetSystemDirectoryA(value, kQuerySize)) > 0;
    case kProgramFiles:
        // Win32s has no such registry value; a missing one means the Windows drive.
        value[0] = 0;
        if (!LegacyShell) {
            ReadMachineString("SOFTWARE\\Microsoft\\Windows\\CurrentVersion", "ProgramFilesDir", "",
                              value, kQuerySize);
        }
        if (value[0] != 0) {
            return true;
        }
        if (Fitted(GetWindowsDirectoryA(value, kQuerySize)) == 0) {
            return false;
        }
        KeepDrive(value);
        return true;
    case kSearch: {
        // The folder of the copy the system would load, else the system directory.
        LPSTR file_part = nullptr;
        if (Fitted(SearchPathA(nullptr, search_name, nullptr, kQuerySize, value, &file_part)) > 0) {
            char *name = FindFileNamePart(value);
            if (name > value) {
                name[-1] = 0;
            }
            return true;
        }
        return Fitted(GetSystemDirectoryA(value, kQuerySize)) > 0;
    }
    default:
        return false;
    }
}

// Expands the leading macro of `path` (a buffer of `size` bytes) and turns its
// separators into "\".
void ExpandMacros(char *path, int size, const char *search_name) {
    int limit = size < kWorkingSize ? size : kWorkingSize;
    for (int id = 0; id < kMacroCount; ++id) {
        int length = lstrlenA(kMacros[id]);
        if (CompareBounded(path, kMacros[id], length) != 0) {
            continue;
        }
        if (id == kSearch && (search_name == nullptr || search_name[0] == 0)) {
            break;
        }
        char work[kWorkingSize];
        if (!MacroValue(id, search_name, work)) {
            break;
        }
        const char *rest = path + length;
        int value_length = lstrlenA(work);
        if (value_length + lstrlenA(rest) < limit) {
            lstrcpyA(work + value_length, rest);
            lstrcpyA(path, work);
        }
        break;
    }
    ReplaceSeparators(path, '\\');
}

} // namespace

void ExpandPathMacros(char *path, const char *search_name) {
    ExpandMacros(path, kInstallDirSize, search_name);
}

int GetWorkDirectory(char *out, int size) {
    if (size > 0) {
        out[0] = 0;
    }
    char value[kQuerySize + sizeof "/TEMP"];
    int n = Fitted(GetEnvironmentVariableA("TEMP", value, kQuerySize));
    if (n == 0) {
        n = Fitted(GetEnvironmentVariableA("TMP", value, kQuerySize));
    }
    if (n == 0) {
        n = Fitted(GetWindowsDirectoryA(value, kQuerySize));
        if (n > 0) {
            AppendSeparator(value);
            lstrcpyA(StringEnd(value), "TEMP");
            n = Fitted(static_cast<DWORD>(lstrlenA(value)));
            if (n > 0) {
                CreateDirectoryA(value, nullptr); // fails harmlessly when it exists
            }
        }
        if (n == 0) {
            n = Fitted(GetCurrentDirectoryA(kQuerySize, value));
        }
    }
    if (n == 0) {
        return 0;
    }
    if (n >= size) {
        return n + 1;
    }
    lstrcpyA(out, value);
    return n;
}

void ReadMachineString(const char *key, const char *name, const char *fallback, char *out,
                       int size) {
    if (size <= 0) {
        return;
    }
    bool read = false;
    HKEY handle;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, key, 0, KEY_QUERY_VALUE, &handle) == ERROR_SUCCESS) {
        DWORD bytes = static_cast<DWORD>(size);
        if (RegQueryValueExA(handle, name, nullptr, nullptr, reinterpret_cast<BYTE *>(out),
                             &bytes) == ERROR_SUCCESS) {
            // A stored string need not end in a terminator; one that fills the
            // buffer without it does not fit.
            if (bytes < static_cast<DWORD>(size)) {
                out[bytes] = 0;
                read = true;
            } else if (bytes == static_cast<DWORD>(size) && out[size - 1] == 0) {
                read = true;
            }
        }
        RegCloseKey(handle);
    }
    if (!read) {
        CopyText(out, fallback, size);
    }
}

void JoinDestinationPath(char *out, const char *dir, char *member_path) {
    ExpandMacros(member_path, kPathSize, FindFileNamePart(member_path));
    const char *m = member_path;
    out[0] = 0;
    if (m[0] != 0 && m[1] == ':') {
        // Absolute: the destination directory plays no part.
    } else if (m[0] == '\\' || m[0] == '/') {
        if (dir[0] != 0 && dir[1] == ':') {
            out[0] = dir[0];
            out[1] = dir[1];
            out[2] = 0;
        }
    } else {
        CopyText(out, dir, kDestinationDirSize);
        if (out[0] != 0 && !(out[1] == ':' && out[2] == 0)) {
            AppendSeparator(out);
        }
    }
    // At most 255 + 1 + 259 bytes, so the member path always fits whole.
    int at = lstrlenA(out);
    CopyText(out + at, m, kDestinationPathSize - at);
}

void AppendSeparator(char *path) {
    char *end = StringEnd(path);
    const char *last = CharPrevA(path, end);
    if (*last != '\\' && *last != '/') {
        end[0] = '/';
        end[1] = 0;
    }
}

void ReplaceSeparators(char *path, char replacement) {
    for (char *p = path; *p != 0; ++p) {
        if (IsLead(*p)) {
            if (p[1] == 0) {
                break;
            }
            ++p;
        } else if (InSet(*p, kSeparators)) {
            *p = replacement;
        }
    }
}

const char *FindFirstOf(const char *s, const char *set) {
    for (const char *p = s; *p != 0; ++p) {
        if (IsLead(*p)) {
            if (p[1] == 0) {
                return nullptr;
            }
            ++p;
        } else if (InSet(*p, set)) {
            return p;
        }
    }
    return nullptr;
}

char *FindFirstOf(char *s, const char *set) {
    return const_cast<char *>(FindFirstOf(static_cast<const char *>(s), set));
}

const char *FindFileNamePart(const char *path) {
    const char *part = path;
    for (const char *hit = FindFirstOf(part, kNamePartEnds); hit != nullptr;
         hit = FindFirstOf(part, kNamePartEnds)) {
        part = hit + 1;
    }
    return part;
}

char *FindFileNamePart(char *path) {
    return const_cast<char *>(FindFileNamePart(static_cast<const char *>(path)));
}

void MakeDirectories(const char *path, char *made) {
    bool shared = true; // made agrees with path up to here
    int i = 0;
    for (; i < kDestinationPathSize - 1 && path[i] != 0; ++i) {
        shared = shared && made[i] == path[i];
        if (path[i] == '/' && !shared) {
            made[i] = 0;
            CreateDirectoryA(made, nullptr); // an existing or uncreatable one is fine here
        }
        made[i] = path[i];
    }
    made[i] = 0;
}

void MakeDirectories(const char *path) {
    char made[kDestinationPathSize];
    made[0] = 0;
    MakeDirectories(path, made);
}

void ShortenForDisplay(char *out, const char *path, int limit) {
    if (lstrlenA(path) < limit) {
        lstrcpyA(out, path);
        return;
    }
    char title[kQuerySize];
    if (GetFileTitleA(path, title, kQuerySize) != 0) {
        title[0] = 0; // no title (a path ending in a separator): the start alone
    }
    // The start is cut before a double-byte character that would not fit whole.
    int room = limit - lstrlenA(title) - 4;
    int kept = room > 0 ? CopyText(out, path, room) : 0;
    lstrcpyA(out + kept, ".../");
    lstrcpyA(out + kept + 4, title);
}
