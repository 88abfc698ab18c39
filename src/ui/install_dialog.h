// The install dialog: proposes the destination folder, offers the Program Manager
// group and the file-type association as check boxes, and runs the extraction
// inside its OK handling.
#pragma once

#include <windows.h>

// Control ids of the "SfxDialog" template.
enum {
    kFolderEdit = 100,
    kFileLabel = 101,
    kProgressLabel = 102,
    kFolderLabel = 103,
    kBrowseButton = 104,
    kGroupCheck = 105,
    kAssociationCheck = 106,
};

// The only timer: OK pressed by itself after this delay when `AutoStart` is on.
enum { kAutoStartTimer = 1, kAutoStartDelay = 700 };

INT_PTR CALLBACK InstallDialogProc(HWND dialog, UINT message, WPARAM wparam, LPARAM lparam);

// Removes every double quote from `text`, a buffer of `size` bytes: the bytes before
// its terminator, or before its last byte, close up. The text stays as it was when
// the work buffer cannot be allocated.
void StripQuotes(char *text, int size);
