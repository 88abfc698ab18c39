// A program for installers to start in the end-to-end tests: it writes down how it was started,
// so a test can tell from the file it leaves what command line and folder it was given.
//
//   marker.exe [FILE [ARG...]]
//
// writes to FILE (marker.txt without arguments; a relative name lands in the current directory)
// one line each, ANSI code page, CR LF:
//   the command line as the program received it (GetCommandLineA)
//   the current directory
//   the short (8.3) form of its own path
//   then every argument after the program's name, as the C runtime splits them, FILE included
// and exits with status 0, or 1 when the file cannot be written.
#include <windows.h>

#include <cstdlib>
#include <string>

namespace {

std::string CurrentDirectory() {
    char buffer[MAX_PATH];
    const DWORD length = GetCurrentDirectoryA(MAX_PATH, buffer);
    return std::string(buffer, length < MAX_PATH ? length : 0);
}

std::string ShortOwnPath() {
    char own[MAX_PATH], short_form[MAX_PATH];
    const DWORD length = GetModuleFileNameA(nullptr, own, MAX_PATH);
    if (length == 0 || length >= MAX_PATH)
        return std::string();
    const DWORD short_length = GetShortPathNameA(own, short_form, MAX_PATH);
    return std::string(short_form, short_length < MAX_PATH ? short_length : 0);
}

} // namespace

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
    std::string report = std::string(GetCommandLineA()) + "\r\n" + CurrentDirectory() + "\r\n" +
                         ShortOwnPath() + "\r\n";
    for (int i = 1; i < __argc; ++i)
        report += std::string(__argv[i]) + "\r\n";

    const char *target = __argc > 1 ? __argv[1] : "marker.txt";
    HANDLE file = CreateFileA(target, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return 1;
    DWORD written = 0;
    const BOOL ok =
        WriteFile(file, report.data(), static_cast<DWORD>(report.size()), &written, nullptr);
    CloseHandle(file);
    return ok && written == report.size() ? 0 : 1;
}
