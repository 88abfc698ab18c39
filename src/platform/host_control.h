// Test-side controls of the host Win32 double: the machine a test runs the stub's
// code on (drives, directories, environment, registry, platform), the faults it
// injects, and the record of what the code showed the user.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

struct HostMessageBox {
    HWND owner;
    std::string caption;
    std::string text;
    UINT style;
};

struct HostItemText {
    HWND dialog;
    int id;
    std::string text;
};

// Resets every piece of host state and maps drive letters under `root`, a Linux
// directory the test owns (drive C: is root/c, created on demand). Defaults: platform
// id 2, current directory "C:\", Windows directory "C:\WINDOWS", system directory
// "C:\WINDOWS\SYSTEM32", module path "C:\SFX.EXE", no environment variables, an
// empty registry, volumes reporting a maximum component length of 255.
void HostReset(const std::string &root);

// The Linux path a Windows path maps to ("" when it names no drive).
std::string HostPath(const char *windows_path);

void HostSetPlatformId(DWORD id);
// Makes GetProcAddress on kernel32 find `name` as `proc`; by default it finds nothing,
// as on a system that lacks the call.
void HostSetKernelProc(const char *name, FARPROC proc);
void HostSetModulePath(const char *path);
void HostSetCurrentDirectory(const char *path);
void HostSetWindowsDirectory(const char *path); // "" makes the query fail
void HostSetEnv(const char *name, const char *value);
void HostSetMachineValue(const char *key, const char *name, const std::string &data,
                         DWORD type = REG_SZ);
void HostSetMaxComponentLength(DWORD length); // 0 makes GetVolumeInformationA fail
// Files are kept on Linux as Wine keeps them: names in the UTF-8 form of their code
// page 932 names, hidden and system attributes in the extended attribute
// user.DOSATTRIB. By default names are their bytes and those attributes live in memory.
void HostStoreAsWine(bool on);

// Faults. Each applies to calls made after it is set, until HostReset.
void HostFailAllocationAfter(int successes); // LocalAlloc/GlobalAlloc fail after n successes
void HostFailReadsAfter(long long bytes);    // _lread fails once this many bytes were read
void HostLimitWrites(long long bytes);       // WriteFile writes short past this many bytes
void HostLimitWritesOn(char drive, long long bytes); // the same for one drive's files alone
void HostFailNextClose();                            // the next CloseHandle of a file fails
void HostFailNextGetFileTime();                      // the next GetFileTime fails

// Message boxes are answered from this queue, then with the box's first button.
void HostQueueAnswer(int answer);
const std::vector<HostMessageBox> &HostMessageBoxes();
// Every SetDlgItemTextA call, in order.
const std::vector<HostItemText> &HostItemTexts();
// Called from every PeekMessageA; a test uses it to act while the code pumps.
void HostSetPumpHook(void (*hook)());

// Runs `body` as the process would run it: the result is its return value, or the
// status handed to ExitProcess.
int HostRunProcess(int (*body)(void *), void *context);
