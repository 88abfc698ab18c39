#include "startup/startup.h"

#include "archive/archive_pass.h"
#include "files/paths.h"
#include "files/text.h"
#include "startup/run_state.h"
#include "startup/silent.h"
#include "ui/install_dialog.h"
#include "ui/messages.h"

const char DefaultTitle[] = "LZH 自己解凍書庫 V2.60.w32.0027";

const char *LogPath;

// Switch states of AutoStart and SkipNotNewer between reading the command line and
// resolving the options.
enum { kSwitchOff = 10, kSwitchOn = 11, kSwitchNegated = 12 };

static bool IsBlankOrControl(char c) {
    return static_cast<BYTE>(c) >= 0x01 && static_cast<BYTE>(c) <= 0x20;
}

const char *CommandTail(const char *p) {
    if (*p == '"') {
        ++p;
        while (*p != 0 && *p != '"') {
            ++p;
        }
        if (*p == '"') {
            ++p;
        }
    } else {
        while (static_cast<BYTE>(*p) > 0x20) {
            ++p;
        }
    }
    while (IsBlankOrControl(*p)) {
        ++p;
    }
    return p;
}

int Tokenise(const char *p, char ***list) {
    char **tokens = static_cast<char **>(LocalAlloc(LPTR, kMaxTokens * sizeof(char *)));
    *list = tokens;
    if (tokens == nullptr) {
        return 0;
    }
    int count = 0;
    while (count < kMaxTokens) {
        while (IsBlankOrControl(*p)) {
            ++p;
        }
        if (*p == 0) {
            break;
        }
        // Blanks end a token only outside double quotes; control bytes always do.
        const char *start = p;
        bool quoted = false;
        while (*p != 0) {
            BYTE b = static_cast<BYTE>(*p);
            if (b < 0x20 || (b == 0x20 && !quoted)) {
                break;
            }
            if (b == '"') {
                quoted = !quoted;
            }
            ++p;
        }
        char *token = static_cast<char *>(LocalAlloc(LPTR, static_cast<size_t>(p - start) + 1));
        if (token == nullptr) {
            break;
        }
        char *out = token;
        for (const char *q = start; q < p; ++q) {
            if (*q != '"') {
                *out++ = *q;
            }
        }
        tokens[count++] = token;
    }
    return count;
}

void FreeTokens(char **list, int count) {
    if (list == nullptr) {
        return;
    }
    while (count > 0) {
        LocalFree(list[--count]);
    }
    LocalFree(list);
}

static char LowerChar(char c) {
    UINT_PTR lowered = reinterpret_cast<UINT_PTR>(
        CharLowerA(reinterpret_cast<LPSTR>(static_cast<UINT_PTR>(static_cast<BYTE>(c)))));
    return static_cast<char>(lowered & 0xFF);
}

void ReadSwitches(char **list, int count) {
    for (int i = 0; i < count; ++i) {
        const char *token = list[i];
        if (token[0] == '-') {
            char letter = token[1] != 0 ? LowerChar(token[1]) : 0;
            bool negated = letter != 0 && token[2] == '-';
            if (letter == 'n') {
                AutoStart = negated ? kSwitchNegated : kSwitchOn;
            } else if (letter == 'c') {
                SkipNotNewer = negated ? kSwitchOff : kSwitchOn;
            } else if (letter == 's') {
                Silent = negated ? 0 : 1;
            } else if (letter == 'l') {
                LogPath = token + 2;
            }
        } else if (i > 0) {
            // The first token is never the folder; the folder ends the walk. Without a
            // run state only the switches count.
            DirFromCommandLine = 1;
            if (State != nullptr) {
                CopyText(State->ScratchText, token, kScratchTextSize);
            }
            return;
        }
    }
}

void ReadSettings() {
    SettingsBlock &settings = State->Settings;
    HFILE file = _lopen(State->OwnPath, OF_READ);
    if (file != HFILE_ERROR) {
        if (_llseek(file, kSettingsOffset, FILE_BEGIN) != HFILE_ERROR) {
            _lread(file, &settings, sizeof settings);
        }
        _lclose(file);
    }
    // A field must end inside its width, whatever the file holds.
    settings.WindowTitle[kWindowTitleSize - 1] = 0;
    settings.InstallTitle[kInstallTitleSize - 1] = 0;
    settings.InstallDir[kInstallDirSize - 1] = 0;
    settings.Command[kCommandSize - 1] = 0;
    if (settings.WindowTitle[0] == 0) {
        lstrcpyA(settings.WindowTitle, DefaultTitle);
    }
    if (DirFromCommandLine) {
        CopyText(settings.InstallDir, State->ScratchText, kInstallDirSize);
    }
}

void ResolveOptions() {
    BYTE flags = State->Settings.Flags;
    AskBeforeAssociate = 0;
    OverwriteSilently = (flags & kFlagOverwriteSilently) ? 1 : 0;
    if (AutoStart == 0 && (flags & kFlagAutoStart)) {
        AutoStart = 1;
    }
    if (AutoStart == kSwitchOn) {
        AutoStart = 1;
    } else if (AutoStart == kSwitchNegated) {
        AutoStart = 0;
    }
    if (SkipNotNewer == kSwitchOn || (flags & kFlagAskBeforeOverwriteOff)) {
        SkipNotNewer = 0;
    }
    if (SkipNotNewer == kSwitchOff) {
        SkipNotNewer = 1;
    }
}

// Limits the loading of DLLs to the system directory where the platform offers it,
// so that a DLL planted beside a downloaded installer is never loaded. The calls are
// looked up at run time: Win32s and older systems lack them, and nothing changes there.
static void HardenDllLoading() {
    typedef BOOL(WINAPI * SetDefaultDllDirectoriesProc)(DWORD);
    typedef BOOL(WINAPI * SetDllDirectoryProc)(LPCSTR);
    HMODULE kernel = GetModuleHandleA("kernel32.dll");
    if (kernel == nullptr) {
        return;
    }
    // A cast through void (*)() is how a looked-up address takes its real type.
    FARPROC set_default = GetProcAddress(kernel, "SetDefaultDllDirectories");
    if (set_default != nullptr &&
        reinterpret_cast<SetDefaultDllDirectoriesProc>(reinterpret_cast<void (*)()>(set_default))(
            LOAD_LIBRARY_SEARCH_SYSTEM32)) {
        return;
    }
    // Where that limit cannot be set, at least the current directory leaves the search.
    // Only then: the programs this one starts would inherit it.
    FARPROC set_directory = GetProcAddress(kernel, "SetDllDirectoryA");
    if (set_directory != nullptr) {
        reinterpret_cast<SetDllDirectoryProc>(reinterpret_cast<void (*)()>(set_directory))("");
    }
}

int SfxMain(HINSTANCE instance, const char *tail) {
    HardenDllLoading();
    OSVERSIONINFOA version;
    version.dwOSVersionInfoSize = sizeof version;
    LegacyShell = GetVersionExA(&version) && version.dwPlatformId == VER_PLATFORM_WIN32s ? 1 : 0;

    ModuleInstance = instance;
    // The command line is read first, so that a silent run shows no box even when
    // the run state cannot be had.
    char **tokens;
    int count = Tokenise(tail, &tokens);
    State = static_cast<RunState *>(LocalAlloc(LPTR, sizeof(RunState)));
    SkipNotNewer = 1;
    DirFromCommandLine = 0;
    AutoStart = 0;
    Silent = FailureStatus = 0;
    LogPath = nullptr;
    LogFile = nullptr;
    ReadSwitches(tokens, count);
    // Written afresh; readable while the run goes on. A log that cannot be created
    // ends the run before anything is installed.
    bool log_ready = true;
    if (Silent && LogPath != nullptr && LogPath[0] != 0) {
        LogFile = CreateFileA(LogPath, GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
        if (LogFile == INVALID_HANDLE_VALUE) {
            LogFile = nullptr;
            FailureStatus = kLogFailure;
            log_ready = false;
        }
    }
    FreeTokens(tokens, count);
    if (State == nullptr) {
        ErrorBox(kMemoryFailure, nullptr);
        return EndStatus(0);
    }

    GetModuleFileNameA(instance, State->OwnPath, kPathSize);
    State->OwnPath[kPathSize - 1] = 0; // older systems leave a full buffer unterminated
    ReadSettings();
    ResolveOptions();

    int status = 0;
    if (log_ready && ArchivePass(nullptr, kScanMode)) {
        SettingsBlock &settings = State->Settings;
        ExpandPathMacros(settings.InstallDir, "");
        if (settings.InstallDir[0] == 0) {
            GetCurrentDirectoryA(kInstallDirSize, settings.InstallDir);
        }
        // The extraction runs inside the dialog, a silent run's too: never shown, it
        // takes Program Manager's answers and the end of the session. A dialog that
        // could not be made (-1) installed nothing, so the run ends as after Cancel,
        // a silent one short of memory.
        INT_PTR result =
            DialogBoxParamA(ModuleInstance, "SfxDialog", nullptr, InstallDialogProc, 0);
        if (result == -1) {
            RecordFailure(kMemoryFailure, nullptr);
            result = 0;
        }
        status = static_cast<int>(result);
    }
    LocalFree(State);
    State = nullptr;
    return EndStatus(status);
}
