// The program's main procedure and the reading of its command line and settings.
#pragma once

#include <windows.h>

enum { kMaxTokens = 1024 };

extern const char DefaultTitle[];

// The log file named by the last "-l" switch, in the token list; null when none.
extern const char *LogPath;

// The command line without the program's own name and the blanks after it.
const char *CommandTail(const char *command_line);

// The whole run; returns the process's exit status.
int SfxMain(HINSTANCE instance, const char *tail);

// Splits the tail into at most kMaxTokens tokens. Returns the count; `*list` is
// null when the list could not be allocated.
int Tokenise(const char *tail, char ***list);
void FreeTokens(char **list, int count);

// Applies the switches and the folder of the token list to the option flags
// (still in their switch states), `Silent`, `LogPath` and `ScratchText`.
void ReadSwitches(char **list, int count);

// Fills the settings from the program's own file, applies the default title and
// the folder from the command line.
void ReadSettings();

// Combines the switch states with the `Flags` bits into option flags of 0 or 1.
void ResolveOptions();
