// The setup directives of the "$" member: a line reader over `DirectiveText`, and
// the reading of the lines that configure the dialog and the options.
#pragma once

#include <windows.h>

// A position inside the directive text; only the four operations below move it.
struct TextCursor {
    const char *at;
};

// Indices of the keywords, 1-based; 0 is no keyword.
enum DirectiveKeyword {
    kNoKeyword = 0,
    kWindowTitleKeyword,
    kInstallTitleKeyword,
    kInstallDirKeyword,
    kClassTitleKeyword,
    kClassKeyword,
    kGroupTitleKeyword,
    kGroupKeyword,
    kCommandKeyword,
    kAskRegistKeyword,
    kFlagKeyword,
};

enum { kDirectiveValueSize = 256 };

// Moves over line breaks (bytes 1 to 31); true when another line follows.
bool SkipBreaks(TextCursor *cursor);
// The keyword at the cursor, moving past it; 0 leaves the cursor where it was.
int MatchKeyword(TextCursor *cursor);
// Copies the rest of the line, at most size - 1 bytes, and moves past what it copied.
void CopyValue(TextCursor *cursor, char *buffer, int size);
// Moves to the end of the line.
void SkipLine(TextCursor *cursor);

// Applies the directive text to the titles, the folder, the command, the check
// boxes and the option flags.
void ReadDirectives();

// The decimal number of a "$Flag=" value: blanks, an optional sign, digits.
LONG ParseFlagNumber(const char *value);
