// File-type associations. On the current shells four default values under
// HKEY_CLASSES_ROOT: the extension names its class key, the class key holds the
// type name, its open command starts the program on the file, and its default
// icon is the program's first one. On Win32s one line of win.ini's "Extensions".
//
// Key paths and program paths are never cut: a line whose values do not fit is
// passed over rather than registered under a different key or program.
#include "shell/association.h"

#include "files/paths.h"
#include "files/text.h"
#include "startup/run_state.h"
#include "startup/silent.h"

// The class of every created key: the system's word for "standard".
static char StandardClass[] = "(標準)";

static bool EndsWithSeparator(const char *path) {
    const char *last = CharPrevA(path, StringEnd(path));
    return *last == '\\' || *last == '/';
}

bool ShortPathInDestination(const char *name, char *target) {
    // Joined as the extract pass joined the members, so the path names the file it
    // wrote: no separator after an empty folder, a bare drive or a trailing separator.
    const char *dir = State->DestinationDir;
    int dir_length = lstrlenA(dir);
    bool separator =
        dir_length != 0 && !(dir_length == 2 && dir[1] == ':') && !EndsWithSeparator(dir);
    if (dir_length + (separator ? 1 : 0) + lstrlenA(name) >= kJoinedPathSize) {
        return false;
    }
    char joined[kJoinedPathSize];
    wsprintfA(joined, separator ? "%s\\%s" : "%s%s", dir, name);
    // A missing file has no short form, and Win32s keeps none: the joined path is
    // then the best name there is.
    DWORD length = GetShortPathNameA(joined, target, kJoinedPathSize);
    if (length == 0 || length >= kJoinedPathSize) {
        lstrcpyA(target, joined);
    }
    return true;
}

void SetClassesRootValue(const char *key_path, const char *name, const char *text) {
    // An empty path would open HKEY_CLASSES_ROOT itself.
    if (key_path[0] == 0 || lstrlenA(key_path) >= kKeyPathSize) {
        return;
    }
    char path[kKeyPathSize];
    lstrcpyA(path, key_path);
    HKEY key;
    if (RegCreateKeyExA(HKEY_CLASSES_ROOT, path, 0, StandardClass, REG_OPTION_NON_VOLATILE,
                        KEY_WRITE, nullptr, &key, nullptr) != ERROR_SUCCESS) {
        return;
    }
    RegSetValueExA(key, name, 0, REG_SZ, reinterpret_cast<const BYTE *>(text),
                   static_cast<DWORD>(lstrlenA(text) + 1));
    RegCloseKey(key);
}

// Whether the fields can be registered as they stand; checked before the question,
// so the user is never asked about a line that would register nothing.
static bool AssociationIsComplete() {
    RunState *s = State;
    return s->Extension[0] != 0 && s->Extension[1] != 0 && s->ProgramPath[0] != 0 &&
           s->ClassKey[0] != 0 && lstrlenA(s->ClassKey) <= kClassKeyLimit &&
           ShortPathInDestination(s->ProgramPath, s->ProgramPath);
}

void RegisterAssociation() {
    RunState *s = State;
    if (!AssociationIsComplete()) {
        return;
    }
    // A silent run answers as the ticked box did.
    if (AskBeforeAssociate && !Silent) {
        wsprintfA(s->ScratchText, "\"%s\" の関連付けを行いますか？", s->TypeName);
        if (MessageBoxA(s->DialogWindow, s->ScratchText, s->Settings.WindowTitle,
                        MB_TASKMODAL | MB_ICONQUESTION | MB_YESNO) != IDYES) {
            return;
        }
    }
    ReplaceSeparators(s->ProgramPath, '\\');
    CharLowerA(s->Extension);

    if (LegacyShell) {
        // "txt=C:\APP\APP.EXE ^.txt": the key is the extension without its dot.
        wsprintfA(s->CommandText, "%s ^%s", s->ProgramPath, s->Extension);
        WriteProfileStringA("Extensions", s->Extension + 1, s->CommandText);
        return;
    }

    SetClassesRootValue(s->Extension, "", s->ClassKey);
    SetClassesRootValue(s->ClassKey, "", s->TypeName);
    // The two subkeys are spelled in the class key field itself, which is put back
    // afterwards.
    char *suffix = StringEnd(s->ClassKey);
    lstrcpyA(suffix, "\\shell\\open\\command");
    wsprintfA(s->CommandText, "\"%s\" \"%%1\"", s->ProgramPath);
    SetClassesRootValue(s->ClassKey, "", s->CommandText);
    lstrcpyA(suffix, "\\DefaultIcon");
    wsprintfA(s->CommandText, "%s,0", s->ProgramPath);
    SetClassesRootValue(s->ClassKey, "", s->CommandText);
    *suffix = 0;
}
