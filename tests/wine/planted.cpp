// A DLL planted beside a program: when loaded, it announces itself with the file planted.txt in
// its own folder.
#include <windows.h>

extern "C" BOOL WINAPI DllMain(HINSTANCE self, DWORD reason, LPVOID) {
    if (reason != DLL_PROCESS_ATTACH)
        return TRUE;
    char path[MAX_PATH];
    DWORD length = GetModuleFileNameA(self, path, MAX_PATH);
    while (length > 0 && path[length - 1] != '\\')
        --length;
    if (length + sizeof "planted.txt" > MAX_PATH)
        return TRUE;
    lstrcpyA(path + length, "planted.txt");
    HANDLE file = CreateFileA(path, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    if (file != INVALID_HANDLE_VALUE)
        CloseHandle(file);
    return TRUE;
}
