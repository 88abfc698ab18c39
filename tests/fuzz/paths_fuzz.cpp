// Path macros and joins: an install directory expanded in place in its 256-byte
// buffer, a member path joined onto a destination directory with its own macros,
// then the separators, the sanitiser, the display text and the directory creation
// the archive pass applies to the result, under platform values of any length.
//
// Input: one byte of options (bit 0: `LegacyShell`; bit 1: long-name rules; bit 2:
// create the directories; bit 3: the value also names the Windows directory; bits 4
// to 7: the buffer size for the work directory, in steps of 20 bytes), then four
// texts separated by NUL bytes: the install directory, the member path, the
// destination directory, and a value given to TEMP, TMP (alternately) and the
// registry's ProgramFilesDir.
#include <stdlib.h>
#include <string.h>

#include <string>

#include "files/paths.h"
#include "files/sanitise.h"
#include "fuzz_support.h"

namespace {

// A buffer of exactly `size` bytes holding `text`, cut to fit.
char *Buffer(const std::string &text, size_t size) {
    char *b = static_cast<char *>(calloc(1, size));
    memcpy(b, text.data(), text.size() < size ? text.size() : size - 1);
    return b;
}

bool Terminated(const char *b, size_t size) {
    return memchr(b, 0, size) != nullptr;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 1) {
        return 0;
    }
    uint8_t options = data[0];
    std::string texts[4];
    size_t at = 1;
    for (int i = 0; i < 4 && at <= size; ++i) {
        size_t n = FuzzTextLength(data + at, size - at, 1024);
        texts[i].assign(reinterpret_cast<const char *>(data + at), n);
        at += n + 1;
    }

    FuzzBegin();
    LegacyShell = options & 1;
    const std::string &value = texts[3];
    if (!value.empty()) {
        HostSetEnv(value.size() % 2 == 0 ? "TEMP" : "TMP", value.c_str());
        HostSetMachineValue("SOFTWARE\\Microsoft\\Windows\\CurrentVersion", "ProgramFilesDir",
                            value);
        if (options & 8) {
            HostSetWindowsDirectory(value.c_str());
        }
    }

    char *install = Buffer(texts[0], kInstallDirSize);
    ExpandPathMacros(install, "");
    FUZZ_CHECK(Terminated(install, kInstallDirSize));
    for (const char *p = install; *p != 0; ++p) {
        if (IsDBCSLeadByte(static_cast<BYTE>(*p)) && p[1] != 0) {
            ++p;
        } else {
            FUZZ_CHECK(*p != '/' && static_cast<BYTE>(*p) != 0xFF);
        }
    }

    char *member = Buffer(texts[1], kPathSize);
    char *dir = Buffer(texts[2], kDestinationDirSize);
    char *path = static_cast<char *>(calloc(1, kDestinationPathSize));
    JoinDestinationPath(path, dir, member);
    FUZZ_CHECK(Terminated(member, kPathSize));
    FUZZ_CHECK(Terminated(path, kDestinationPathSize));
    ReplaceSeparators(path, '/');
    SanitisePath(path[0] != 0 && path[1] == ':' ? path + 2 : path, (options & 2) != 0);
    char *display = static_cast<char *>(calloc(1, kPathSize));
    ShortenForDisplay(display, path, 32);
    FUZZ_CHECK(Terminated(display, kPathSize));
    const char *name = FindFileNamePart(path);
    FUZZ_CHECK(name >= path && name <= path + strlen(path));
    if (options & 4) {
        MakeDirectories(path);
    }

    int work_size = 1 + (options >> 4) * 20;
    char *work = static_cast<char *>(calloc(1, static_cast<size_t>(work_size)));
    int length = GetWorkDirectory(work, work_size);
    FUZZ_CHECK(Terminated(work, static_cast<size_t>(work_size)));
    FUZZ_CHECK(length < work_size ? static_cast<int>(strlen(work)) == length : work[0] == 0);

    free(work);
    free(display);
    free(path);
    free(dir);
    free(member);
    free(install);
    FuzzEnd();
    return 0;
}
