// The command started after a successful extraction.
#pragma once

#include <windows.h>

// Copies the program at the front of `source` (in double quotes, or up to the first
// blank or tab) into `program` of `size` bytes and returns where its parameters
// begin, blanks and tabs skipped; an empty text when there are none.
const char *SplitCommand(const char *source, char *program, int size);
