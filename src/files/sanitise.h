// Member names made acceptable to the destination volume: forbidden bytes become
// "_" and components are cut to the volume's limits, in place (nothing grows).
//
// Long-name rules (a volume whose components may be 255 bytes) forbid only
// " * / : < > ? \ | and cut a component to 255 bytes. Short-name rules (any other
// volume) also forbid + , . ; = [ ] 0xFF and every byte up to 0x20, and cut a name
// to 8 bytes of base and 3 of extension. A double-byte character is never tested,
// never changed and never split: one that would straddle a limit is dropped whole.
#pragma once

#include <windows.h>

// Sanitises every component of a path with "/" separators; a leading "/" and empty
// components are kept, so the separators stay where they were.
void SanitisePath(char *path, BOOL long_names);

// Sanitises one component (no "/").
void SanitiseComponent(char *component, BOOL long_names);

// Replaces the forbidden bytes among the first `limit` bytes of `text` and cuts it
// there. Returns the position of its new terminator.
char *SanitiseSpan(char *text, int limit, BOOL long_names);
