// The Win32 calls of the stub's reader and decoder that the tool serves itself, in
// win32_runtime.cpp. On the host they keep their names: the stub's declarations in
// src/platform/include are all there is. On Windows the real calls are there too, so
// the stub's sources are compiled with this header forced in, which gives the calls
// the tool's names, as it is in win32_runtime.cpp, which defines them. The tool's
// other sources reach the real API by the real names.
#pragma once

#include <windows.h>

#ifdef _WIN32
#define _lread ToolRead
#define _lclose ToolClose
#define WriteFile ToolWriteFile
#define CloseHandle ToolCloseHandle
#define DeleteFileA ToolDeleteFileA
#define ExitProcess ToolExitProcess
#define SetDlgItemTextA ToolSetDlgItemTextA

UINT WINAPI _lread(HFILE file, LPVOID buffer, UINT size);
HFILE WINAPI _lclose(HFILE file);
BOOL WINAPI WriteFile(HANDLE output, LPCVOID data, DWORD size, LPDWORD written,
                      LPOVERLAPPED overlapped);
BOOL WINAPI CloseHandle(HANDLE output);
BOOL WINAPI DeleteFileA(LPCSTR name);
[[noreturn]] void WINAPI ExitProcess(UINT status);
BOOL WINAPI SetDlgItemTextA(HWND dialog, int id, LPCSTR text);
#endif
