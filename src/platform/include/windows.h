// The host build's stand-in for the Win32 headers.
//
// The stub's sources include <windows.h> and call Win32 by its real names. On the
// host this header declares exactly the calls they make, with the types, constants
// and documented behaviour each call site relies on; src/platform/host_*.cpp
// implement them over POSIX and in-memory state that the tests control through
// host_control.h. Nothing above this seam knows which side it builds on.
//
// Conventions of the double:
// - Windows paths ("C:\dir\file", "C:/dir/file", relative to the current directory,
//   or rooted "\dir" on the current drive) map to <test root>/<drive letter>/...
//   Both separators are accepted. Names are kept as their ANSI bytes.
// - Handles are small integers made opaque: a file handle is its descriptor + 1,
//   so neither 0 nor all ones is ever a valid handle.
// - Message boxes, dialog item texts and window messages are recorded, and their
//   answers scripted, through host_control.h.
#pragma once

#include <stddef.h>
#include <stdint.h>

#define WINAPI
#define CALLBACK
#define APIENTRY

typedef int BOOL;
typedef unsigned char BYTE;
typedef uint16_t WORD;
typedef uint32_t DWORD;
typedef int32_t LONG;
typedef uint32_t ULONG;
typedef unsigned int UINT;
typedef char CHAR;
typedef char *LPSTR;
typedef const char *LPCSTR;
typedef void *LPVOID;
typedef const void *LPCVOID;
typedef DWORD *LPDWORD;
typedef BYTE *LPBYTE;
typedef uintptr_t WPARAM;
typedef intptr_t LPARAM;
typedef intptr_t LRESULT;
typedef intptr_t INT_PTR;
typedef uintptr_t UINT_PTR;
typedef uintptr_t ULONG_PTR;
typedef LONG LSTATUS;
typedef WORD ATOM;
typedef DWORD REGSAM;
typedef int HFILE;

typedef void *HANDLE;
typedef HANDLE HWND;
typedef HANDLE HINSTANCE;
typedef HANDLE HMODULE;
typedef HANDLE HICON;
typedef HANDLE HDC;
typedef HANDLE HLOCAL;
typedef HANDLE HGLOBAL;
typedef HANDLE HKEY;
typedef HKEY *PHKEY;

#define TRUE 1
#define FALSE 0
#define MAX_PATH 260

#define INVALID_HANDLE_VALUE ((HANDLE)(intptr_t)-1)
#define HFILE_ERROR ((HFILE)-1)
#define INVALID_FILE_ATTRIBUTES ((DWORD)-1)

#define LOWORD(l) ((WORD)((uintptr_t)(l)&0xFFFF))
#define HIWORD(l) ((WORD)(((uintptr_t)(l) >> 16) & 0xFFFF))

// ---- Memory -------------------------------------------------------------------
#define LMEM_FIXED 0x0000
#define LMEM_ZEROINIT 0x0040
#define LPTR (LMEM_FIXED | LMEM_ZEROINIT)
#define GMEM_MOVEABLE 0x0002
#define GMEM_ZEROINIT 0x0040
#define GMEM_DDESHARE 0x2000

HLOCAL WINAPI LocalAlloc(UINT flags, size_t bytes);
HLOCAL WINAPI LocalFree(HLOCAL mem);
HGLOBAL WINAPI GlobalAlloc(UINT flags, size_t bytes);
HGLOBAL WINAPI GlobalFree(HGLOBAL mem);
LPVOID WINAPI GlobalLock(HGLOBAL mem);
BOOL WINAPI GlobalUnlock(HGLOBAL mem);

// ---- Process, module and version ---------------------------------------------
#define VER_PLATFORM_WIN32s 0
#define VER_PLATFORM_WIN32_WINDOWS 1
#define VER_PLATFORM_WIN32_NT 2

typedef struct _OSVERSIONINFOA {
    DWORD dwOSVersionInfoSize;
    DWORD dwMajorVersion;
    DWORD dwMinorVersion;
    DWORD dwBuildNumber;
    DWORD dwPlatformId;
    CHAR szCSDVersion[128];
} OSVERSIONINFOA, *LPOSVERSIONINFOA;

BOOL WINAPI GetVersionExA(LPOSVERSIONINFOA info);

typedef intptr_t(WINAPI *FARPROC)();
#define LOAD_LIBRARY_SEARCH_SYSTEM32 0x00000800
HMODULE WINAPI GetModuleHandleA(LPCSTR name);
FARPROC WINAPI GetProcAddress(HMODULE module, LPCSTR name);
DWORD WINAPI GetModuleFileNameA(HMODULE module, LPSTR name, DWORD size);
[[noreturn]] void WINAPI ExitProcess(UINT status);

// ---- Strings and code page ----------------------------------------------------
BOOL WINAPI IsDBCSLeadByte(BYTE b);
LPSTR WINAPI lstrcpyA(LPSTR dst, LPCSTR src);
LPSTR WINAPI lstrcpynA(LPSTR dst, LPCSTR src, int size);
int WINAPI lstrlenA(LPCSTR s);
int WINAPI lstrcmpA(LPCSTR a, LPCSTR b);
LPSTR WINAPI CharLowerA(LPSTR s);
LPSTR WINAPI CharPrevA(LPCSTR start, LPCSTR current);
int wsprintfA(LPSTR out, LPCSTR format, ...);

// ---- Files --------------------------------------------------------------------
#define GENERIC_READ 0x80000000u
#define GENERIC_WRITE 0x40000000u
#define FILE_SHARE_READ 0x00000001
#define FILE_SHARE_WRITE 0x00000002
#define CREATE_NEW 1
#define CREATE_ALWAYS 2
#define OPEN_EXISTING 3
#define OPEN_ALWAYS 4
#define FILE_ATTRIBUTE_READONLY 0x01
#define FILE_ATTRIBUTE_HIDDEN 0x02
#define FILE_ATTRIBUTE_SYSTEM 0x04
#define FILE_ATTRIBUTE_DIRECTORY 0x10
#define FILE_ATTRIBUTE_ARCHIVE 0x20
#define FILE_ATTRIBUTE_NORMAL 0x80
#define OF_READ 0x0000
#define FILE_BEGIN 0
#define FILE_CURRENT 1
#define FILE_END 2

typedef struct _SECURITY_ATTRIBUTES {
    DWORD nLength;
    LPVOID lpSecurityDescriptor;
    BOOL bInheritHandle;
} SECURITY_ATTRIBUTES, *LPSECURITY_ATTRIBUTES;

typedef struct _OVERLAPPED OVERLAPPED, *LPOVERLAPPED;

typedef struct _FILETIME {
    DWORD dwLowDateTime;
    DWORD dwHighDateTime;
} FILETIME, *LPFILETIME;

typedef struct _SYSTEMTIME {
    WORD wYear;
    WORD wMonth;
    WORD wDayOfWeek;
    WORD wDay;
    WORD wHour;
    WORD wMinute;
    WORD wSecond;
    WORD wMilliseconds;
} SYSTEMTIME, *LPSYSTEMTIME;

HANDLE WINAPI CreateFileA(LPCSTR name, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES security,
                          DWORD disposition, DWORD flags, HANDLE tmpl);
BOOL WINAPI CloseHandle(HANDLE h);
BOOL WINAPI WriteFile(HANDLE h, LPCVOID data, DWORD n, LPDWORD written, LPOVERLAPPED overlapped);
BOOL WINAPI GetFileTime(HANDLE h, LPFILETIME creation, LPFILETIME access, LPFILETIME write);
BOOL WINAPI SetFileTime(HANDLE h, const FILETIME *creation, const FILETIME *access,
                        const FILETIME *write);
DWORD WINAPI GetFileAttributesA(LPCSTR name);
BOOL WINAPI SetFileAttributesA(LPCSTR name, DWORD attributes);
BOOL WINAPI CreateDirectoryA(LPCSTR name, LPSECURITY_ATTRIBUTES security);
BOOL WINAPI DeleteFileA(LPCSTR name);
BOOL WINAPI MoveFileA(LPCSTR existing, LPCSTR new_name);
BOOL WINAPI GetVolumeInformationA(LPCSTR root, LPSTR volume_name, DWORD volume_name_size,
                                  LPDWORD serial, LPDWORD max_component, LPDWORD fs_flags,
                                  LPSTR fs_name, DWORD fs_name_size);
HFILE WINAPI _lopen(LPCSTR name, int mode);
UINT WINAPI _lread(HFILE h, LPVOID buffer, UINT n);
LONG WINAPI _llseek(HFILE h, LONG offset, int origin);
HFILE WINAPI _lclose(HFILE h);

// ---- Directories, environment, registry ----------------------------------------
UINT WINAPI GetWindowsDirectoryA(LPSTR buffer, UINT size);
UINT WINAPI GetSystemDirectoryA(LPSTR buffer, UINT size);
DWORD WINAPI GetCurrentDirectoryA(DWORD size, LPSTR buffer);
DWORD WINAPI GetEnvironmentVariableA(LPCSTR name, LPSTR buffer, DWORD size);
DWORD WINAPI SearchPathA(LPCSTR path, LPCSTR name, LPCSTR extension, DWORD size, LPSTR buffer,
                         LPSTR *file_part);
DWORD WINAPI GetShortPathNameA(LPCSTR long_path, LPSTR short_path, DWORD size);

#define HKEY_CLASSES_ROOT ((HKEY)(uintptr_t)0x80000000u)
#define HKEY_LOCAL_MACHINE ((HKEY)(uintptr_t)0x80000002u)
#define ERROR_SUCCESS 0L
#define ERROR_FILE_NOT_FOUND 2L
#define ERROR_MORE_DATA 234L
#define KEY_QUERY_VALUE 0x0001
#define KEY_WRITE 0x20006
#define REG_NONE 0
#define REG_SZ 1
#define REG_OPTION_NON_VOLATILE 0

LSTATUS WINAPI RegOpenKeyExA(HKEY root, LPCSTR path, DWORD options, REGSAM access, PHKEY key);
LSTATUS WINAPI RegQueryValueExA(HKEY key, LPCSTR name, LPDWORD reserved, LPDWORD type, LPBYTE data,
                                LPDWORD size);
LSTATUS WINAPI RegCloseKey(HKEY key);

// ---- Time ---------------------------------------------------------------------
BOOL WINAPI FileTimeToSystemTime(const FILETIME *file_time, LPSYSTEMTIME system_time);
BOOL WINAPI SystemTimeToFileTime(const SYSTEMTIME *system_time, LPFILETIME file_time);

// ---- Windows, messages and dialogs ---------------------------------------------
#define MB_OK 0x0000
#define MB_YESNOCANCEL 0x0003
#define MB_YESNO 0x0004
#define MB_ICONERROR 0x0010
#define MB_ICONQUESTION 0x0020
#define MB_ICONWARNING 0x0030
#define MB_TASKMODAL 0x2000
#define IDOK 1
#define IDCANCEL 2
#define IDYES 6
#define IDNO 7
#define PM_REMOVE 0x0001

typedef struct tagPOINT {
    LONG x;
    LONG y;
} POINT;

typedef struct tagMSG {
    HWND hwnd;
    UINT message;
    WPARAM wParam;
    LPARAM lParam;
    DWORD time;
    POINT pt;
} MSG, *LPMSG;

int WINAPI MessageBoxA(HWND owner, LPCSTR text, LPCSTR caption, UINT style);
BOOL WINAPI SetDlgItemTextA(HWND dialog, int id, LPCSTR text);
BOOL WINAPI PeekMessageA(LPMSG msg, HWND window, UINT first, UINT last, UINT remove);
BOOL WINAPI IsDialogMessageA(HWND dialog, LPMSG msg);
BOOL WINAPI TranslateMessage(const MSG *msg);
LRESULT WINAPI DispatchMessageA(const MSG *msg);

// ---- Common dialogs -----------------------------------------------------------
short WINAPI GetFileTitleA(LPCSTR path, LPSTR title, WORD size);

#include "win_dialogs.h"
#include "win_shell.h"
