// What follows the extract pass: associations and Program Manager items from the
// directive text, the settings-changed broadcast, and the command.
#pragma once

#include <windows.h>

void RunPostExtraction(HWND dialog);
void RunCommand(HWND dialog);
