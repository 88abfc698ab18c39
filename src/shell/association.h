// File-type associations: the registry keys under HKEY_CLASSES_ROOT, or the
// "Extensions" section of win.ini on the older shell.
#pragma once

#include <windows.h>

enum {
    // Size of the paths ShortPathInDestination builds, terminator included.
    kJoinedPathSize = 256,
    // Size of a key path, terminator included. The longest suffix a class key gets,
    // "\shell\open\command" (19 bytes), leaves it at most 60 bytes.
    kKeyPathSize = 80,
    kClassKeyLimit = kKeyPathSize - 1 - 19,
};

// Registers the association of the current "$Class=" fields (extension, type
// name, program path, class key), asking first when `AskBeforeAssociate` is on.
// A line with no extension (or only its dot), no program, no class key or one
// longer than kClassKeyLimit, or a program path that does not fit, registers nothing.
void RegisterAssociation();

// Creates or opens `key_path` under HKEY_CLASSES_ROOT and sets its value `name` to
// `text`. Failures are silent.
void SetClassesRootValue(const char *key_path, const char *name, const char *text);

// Writes into `target` (kJoinedPathSize bytes; it may be `name` itself) the short
// form of `name` joined onto `DestinationDir`, or the joined path itself when the
// file has no short form to give (it does not exist, or the system keeps none).
// Returns false, leaving `target` as it was, when the joined path does not fit.
bool ShortPathInDestination(const char *name, char *target);
