// The command line of start-up: the program's name split off, the tail tokenised
// into at most 1024 tokens without their double quotes, the switches and the folder
// applied (the silent switch and the log's path among them) and the tokens freed
// again, also when allocations fail part of the way.
//
// Input: one byte of options (bits 0 to 3: let that many allocations succeed before
// they fail, 0 for no failure; bits 4 and 5: the settings flags), then the command
// line.
#include <stdlib.h>
#include <string.h>

#include "fuzz_support.h"
#include "startup/silent.h"
#include "startup/startup.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 1) {
        return 0;
    }
    uint8_t options = data[0];
    size_t n = FuzzTextLength(data + 1, size - 1, 1 << 16);
    char *line = static_cast<char *>(malloc(n + 1));
    memcpy(line, data + 1, n);
    line[n] = 0;

    FuzzBegin();
    const char *tail = CommandTail(line);
    FUZZ_CHECK(tail >= line && tail <= line + n);
    FUZZ_CHECK(*tail == 0 || static_cast<BYTE>(*tail) > 0x20);
    if (options & 0x0F) {
        HostFailAllocationAfter(options & 0x0F);
    }
    char **tokens = nullptr;
    int count = Tokenise(tail, &tokens);
    FUZZ_CHECK(count >= 0 && count <= kMaxTokens);
    FUZZ_CHECK(tokens != nullptr || count == 0);
    size_t bytes = 0;
    for (int i = 0; i < count; ++i) {
        const char *token = tokens[i];
        FUZZ_CHECK(token != nullptr);
        for (const char *p = token; *p != 0; ++p) {
            FUZZ_CHECK(*p != '"' && static_cast<BYTE>(*p) >= 0x20);
        }
        bytes += strlen(token);
    }
    FUZZ_CHECK(bytes <= strlen(tail));

    SkipNotNewer = 1;
    DirFromCommandLine = 0;
    AutoStart = 0;
    lstrcpyA(State->OwnPath, "C:\\SFX.EXE"); // no such file: the settings stay zero
    Silent = 0;
    LogPath = nullptr;
    ReadSwitches(tokens, count);
    // The log's path is the rest of an "-l" token.
    bool in_a_token = LogPath == nullptr;
    for (int i = 0; i < count && !in_a_token; ++i) {
        in_a_token = LogPath == tokens[i] + 2 && (tokens[i][1] | 0x20) == 'l';
    }
    FUZZ_CHECK(in_a_token && Silent <= 1);
    LogPath = nullptr;
    FreeTokens(tokens, count);
    State->Settings.Flags = static_cast<BYTE>((options >> 4) & 3);
    ReadSettings();
    ResolveOptions();
    FUZZ_CHECK(memchr(State->ScratchText, 0, kScratchTextSize) != nullptr);
    FUZZ_CHECK(memchr(State->Settings.InstallDir, 0, kInstallDirSize) != nullptr);
    FUZZ_CHECK(DirFromCommandLine <= 1 && AutoStart <= 1 && SkipNotNewer <= 1);
    free(line);
    FuzzEnd();
    return 0;
}
