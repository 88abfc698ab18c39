// The command of the settings, started through the shell in the destination
// folder once the extraction has succeeded.
#include "shell/command.h"

#include "shell/post_extraction.h"
#include "startup/run_state.h"

static const char *SkipBlanks(const char *p) {
    while (*p == ' ' || *p == '\t') {
        ++p;
    }
    return p;
}

const char *SplitCommand(const char *source, char *program, int size) {
    const char *p = SkipBlanks(source);
    bool quoted = *p == '"';
    if (quoted) {
        ++p;
    }
    int n = 0;
    bool full = false;
    while (*p != 0 && (quoted ? *p != '"' : *p != ' ' && *p != '\t')) {
        int width = IsDBCSLeadByte(static_cast<BYTE>(*p)) && p[1] != 0 ? 2 : 1;
        // A program too long for the buffer is cut before the character that does
        // not fit; the rest of it is still stepped over.
        if (!full && n + width <= size - 1) {
            program[n++] = p[0];
            if (width == 2) {
                program[n++] = p[1];
            }
        } else {
            full = true;
        }
        p += width;
    }
    program[n] = 0;
    if (quoted && *p == '"') {
        ++p;
    }
    return SkipBlanks(p);
}

void RunCommand(HWND dialog) {
    RunState *const s = State;
    const char *parameters = SplitCommand(s->Settings.Command, s->ScratchText, kScratchTextSize);
    // A command of blanks or of empty quotes names no program to start.
    if (s->ScratchText[0] == 0) {
        return;
    }
    ShellExecuteA(dialog, nullptr, s->ScratchText, parameters[0] != 0 ? parameters : nullptr,
                  s->DestinationDir, SW_SHOW);
}
