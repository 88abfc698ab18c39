// What follows the extract pass: associations and Program Manager items from the
// directive text, the settings-changed broadcast, and the command.
#pragma once

#include <windows.h>

#include "startup/directives.h"

// Acts on every "$Class=" and "$Group=" line of the directive text whose check box
// is ticked, in the order of the text, then tells every top-level window that the
// settings changed.
void RunPostExtraction(HWND dialog);

// Copies one comma-separated field of a directive value into `target` of `size`
// bytes and moves the cursor past it and its comma. Double quotes switch off the
// comma rule and are not copied. Returns false when the field did not fit and was
// cut, before a character that would not fit whole.
bool SplitField(TextCursor *cursor, char *target, int size);

// Starts the command of the settings in the destination folder.
void RunCommand(HWND dialog);
