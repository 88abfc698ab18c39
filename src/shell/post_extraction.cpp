// The post-extraction walk over the directive text: every "$Class=" line registers
// a file type and every "$Group=" line adds a Program Manager item, each only while
// its check box is ticked, and the broadcast that the settings changed ends it.
//
// A field too long for its run-state field is cut when it is only shown (a type
// name, a group name, an item title); a line is passed over when a cut would name
// another extension, key or file instead.
#include "shell/post_extraction.h"

#include "shell/association.h"
#include "shell/progman.h"
#include "startup/run_state.h"

bool SplitField(TextCursor *cursor, char *target, int size) {
    const char *p = cursor->at;
    bool quoted = false;
    bool fits = true;
    int n = 0;
    while (static_cast<BYTE>(*p) >= 32) {
        if (*p == ',' && !quoted) {
            ++p;
            break;
        }
        if (*p == '"') {
            quoted = !quoted;
            ++p;
            continue;
        }
        int width = IsDBCSLeadByte(static_cast<BYTE>(*p)) && static_cast<BYTE>(p[1]) >= 32 ? 2 : 1;
        // Once a character does not fit, nothing after it is copied either.
        if (fits && n + width <= size - 1) {
            target[n++] = p[0];
            if (width == 2) {
                target[n++] = p[1];
            }
        } else {
            fits = false;
        }
        p += width;
    }
    target[n] = 0;
    cursor->at = p;
    return fits;
}

namespace {

struct Field {
    DWORD offset; // of the target buffer in the run state
    WORD size;
    bool must_fit; // a cut value would name something else
};

// Splits a line's value into its four fields. False when the line must be passed
// over: a field that must fit was cut, or the value itself was cut (`value_cut`)
// before its fourth field had ended.
bool SplitLine(const char *value, bool value_cut, const Field (&fields)[4]) {
    TextCursor cursor = {value};
    bool usable = true;
    for (const Field &field : fields) {
        char *target = reinterpret_cast<char *>(State) + field.offset;
        if (!SplitField(&cursor, target, field.size) && field.must_fit) {
            usable = false;
        }
    }
    return usable && !(value_cut && *cursor.at == 0);
}

const Field kClassFields[4] = {
    {offsetof(RunState, Extension), kShortFieldSize, true},
    {offsetof(RunState, TypeName), kShortFieldSize, false},
    {offsetof(RunState, ProgramPath), kPathSize, true},
    {offsetof(RunState, ClassKey), kClassKeySize, true},
};

const Field kGroupFields[4] = {
    {offsetof(RunState, GroupName), kCaptionSize, false},
    {offsetof(RunState, ItemTitle), kCaptionSize, false},
    {offsetof(RunState, ProgramPath), kPathSize, true},
    {offsetof(RunState, IconPath), kPathSize, true},
};

bool SplitClassLine(const char *value, bool value_cut) {
    return SplitLine(value, value_cut, kClassFields);
}

bool SplitGroupLine(const char *value, bool value_cut) {
    // An item needs a program; without one no conversation is started.
    return SplitLine(value, value_cut, kGroupFields) && State->ProgramPath[0] != 0;
}

} // namespace

void RunPostExtraction(HWND dialog) {
    RunState *const s = State;
    TextCursor cursor = {s->DirectiveText};
    char value[kDirectiveValueSize];
    while (SkipBreaks(&cursor)) {
        int keyword = MatchKeyword(&cursor);
        if (keyword != kNoKeyword) {
            CopyValue(&cursor, value, sizeof value);
            bool value_cut = static_cast<BYTE>(*cursor.at) >= 32;
            if (keyword == kClassKeyword && s->AssociationChecked != 0) {
                if (SplitClassLine(value, value_cut)) {
                    RegisterAssociation();
                }
            } else if (keyword == kGroupKeyword && s->GroupChecked != 0) {
                if (SplitGroupLine(value, value_cut)) {
                    StartProgmanConversation(dialog);
                    WaitForProgman(dialog);
                }
            }
        }
        SkipLine(&cursor);
    }
    PostMessageA(HWND_BROADCAST, WM_WININICHANGE, 0, 0);
}
