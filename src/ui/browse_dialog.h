// The folder browse dialog: the old-style file-open common dialog with the
// program's own template, in which only the folder and drive lists can be seen.
#pragma once

#include <windows.h>

// Lets the user pick a folder, modal to the install dialog. Returns non-zero with
// the folder, ending with its separator, in `DestinationPath`; 0 when the user
// cancelled or the common dialog failed, `DestinationPath` then untouched.
BOOL BrowseForFolder(HWND dialog);
