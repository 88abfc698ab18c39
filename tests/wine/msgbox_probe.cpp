// A message box on demand, so the end-to-end tests can prove that the UI helper reads and answers
// boxes before they rely on it for the stub's own.
//
//   msgbox_probe.exe STYLE CAPTION TEXT   shows MessageBoxA(no owner, TEXT, CAPTION, STYLE) and
//                                         exits with the id of the button pressed
//   msgbox_probe.exe --platform           exits with the platform id reported by GetVersionExA
//
// STYLE is a number in C notation (4 is MB_YESNO, 0x2010 is MB_TASKMODAL | MB_ICONERROR).
// CAPTION and TEXT are taken from the ANSI command line, so Shift-JIS texts arrive byte for byte.
#include <windows.h>

#include <cstdlib>
#include <cstring>

namespace {

const int UsageStatus = 100;

// Splits the ANSI command line in place into at most `capacity` arguments, dropping the program
// name. Blanks separate arguments; a double quote toggles a quoted part and is removed.
int SplitCommandLine(char *line, char **args, int capacity) {
    int count = -1; // the first argument is the program's own path
    char *in = line;
    while (count < capacity) {
        while (*in == ' ' || *in == '\t')
            ++in;
        if (*in == '\0')
            break;
        char *arg = in;
        char *out = in;
        bool quoted = false;
        for (; *in != '\0' && (quoted || (*in != ' ' && *in != '\t')); ++in) {
            if (*in == '"')
                quoted = !quoted;
            else
                *out++ = *in;
        }
        if (*in != '\0')
            ++in;
        *out = '\0';
        if (count >= 0)
            args[count] = arg;
        ++count;
    }
    return count < 0 ? 0 : count;
}

} // namespace

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
    char *line = GetCommandLineA();
    char *args[4]; // one more than any usage takes, so that extra arguments are refused
    const int count = SplitCommandLine(line, args, 4);

    if (count == 1 && std::strcmp(args[0], "--platform") == 0) {
        OSVERSIONINFOA version;
        version.dwOSVersionInfoSize = sizeof version;
        if (!GetVersionExA(&version))
            return UsageStatus;
        return static_cast<int>(version.dwPlatformId);
    }
    if (count != 3)
        return UsageStatus;

    char *end;
    const unsigned long style = std::strtoul(args[0], &end, 0);
    if (*end != '\0')
        return UsageStatus;
    return MessageBoxA(nullptr, args[2], args[1], static_cast<UINT>(style));
}
