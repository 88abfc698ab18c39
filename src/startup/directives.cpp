#include "startup/directives.h"

#include "files/text.h"
#include "startup/run_state.h"

static const char *const DirectiveKeywords[] = {
    "$WindowTitle=", "$InstallTitle=", "$InstallDir=", "$ClassTitle=", "$Class=",
    "$GroupTitle=",  "$Group=",        "$Command=",    "$AskRegist=",  "$Flag=",
};

bool SkipBreaks(TextCursor *cursor) {
    while (static_cast<BYTE>(*cursor->at) >= 1 && static_cast<BYTE>(*cursor->at) < 32) {
        ++cursor->at;
    }
    return *cursor->at != 0;
}

int MatchKeyword(TextCursor *cursor) {
    for (int i = 0; i < kFlagKeyword; ++i) {
        const char *keyword = DirectiveKeywords[i];
        int length = static_cast<int>(StringEnd(keyword) - keyword);
        if (CompareBounded(cursor->at, keyword, length) == 0) {
            cursor->at += length;
            return i + 1;
        }
    }
    return kNoKeyword;
}

void CopyValue(TextCursor *cursor, char *buffer, int size) {
    int n = 0;
    while (n < size - 1 && static_cast<BYTE>(*cursor->at) >= 32) {
        buffer[n++] = *cursor->at++;
    }
    buffer[n] = 0;
}

void SkipLine(TextCursor *cursor) {
    while (static_cast<BYTE>(*cursor->at) >= 32) {
        ++cursor->at;
    }
}

LONG ParseFlagNumber(const char *p) {
    while (*p == ' ') {
        ++p;
    }
    bool negative = *p == '-';
    if (*p == '-' || *p == '+') {
        ++p;
    }
    DWORD value = 0; // wraps like the signed 32-bit result it stands for
    while (*p >= '0' && *p <= '9') {
        value = value * 10 + static_cast<DWORD>(*p - '0');
        ++p;
    }
    return static_cast<LONG>(negative ? 0u - value : value);
}

// Applies the bits one after the other, so the later of a pair wins.
static void ApplyFlagBits(DWORD bits) {
    if (bits & 0x0001) {
        AutoStart = 1;
    }
    if (bits & 0x0002) {
        OverwriteSilently = 1;
    }
    if (bits & 0x0008) {
        SkipNotNewer = 0;
    }
    if (bits & 0x0010) {
        State->Settings.RestoreAttributes = '/';
    }
    if (bits & 0x0100) {
        AutoStart = 0;
    }
    if (bits & 0x0200) {
        OverwriteSilently = 0;
    }
    if (bits & 0x0800) {
        SkipNotNewer = 1;
    }
    if (bits & 0x1000) {
        State->Settings.RestoreAttributes = 0;
    }
}

void ReadDirectives() {
    RunState *const s = State;
    SettingsBlock &settings = s->Settings;
    TextCursor cursor = {s->DirectiveText};
    char value[kDirectiveValueSize];
    while (SkipBreaks(&cursor)) {
        int keyword = MatchKeyword(&cursor);
        if (keyword != kNoKeyword) {
            CopyValue(&cursor, value, sizeof value);
        }
        switch (keyword) {
        case kWindowTitleKeyword:
            CopyText(settings.WindowTitle, value, kWindowTitleSize);
            break;
        case kInstallTitleKeyword:
            CopyText(settings.InstallTitle, value, kInstallTitleSize);
            break;
        case kInstallDirKeyword:
            if (settings.InstallDir[0] == 0) {
                CopyText(settings.InstallDir, value, kInstallDirSize);
            }
            break;
        case kClassTitleKeyword:
            s->AssociationChecked = 1;
            CopyText(s->AssociationCaption, value, kCaptionSize);
            break;
        case kGroupTitleKeyword:
            s->GroupChecked = 1;
            CopyText(s->GroupCaption, value, kCaptionSize);
            break;
        case kCommandKeyword:
            CopyText(settings.Command, value, kCommandSize);
            break;
        case kAskRegistKeyword:
            AskBeforeAssociate = 1;
            break;
        case kFlagKeyword:
            ApplyFlagBits(static_cast<DWORD>(ParseFlagNumber(value)));
            break;
        default: // "$Class=" and "$Group=" act after extraction; other lines are comments
            break;
        }
        SkipLine(&cursor);
    }
}
