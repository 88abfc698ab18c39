// Host double: the machine's set-up, the process, memory, strings and the code page.
#include "platform/host_state.h"

#include <setjmp.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {
jmp_buf *exit_target;
int exit_status;
} // namespace

HostMachine &Host() {
    static HostMachine machine;
    return machine;
}

std::string HostUpper(const std::string &s) {
    std::string out = s;
    for (char &c : out) {
        if (c >= 'a' && c <= 'z') {
            c = static_cast<char>(c - 'a' + 'A');
        }
    }
    return out;
}

DWORD HostCopyOut(const std::string &value, LPSTR buffer, DWORD size) {
    if (value.size() + 1 > size) {
        return static_cast<DWORD>(value.size() + 1);
    }
    memcpy(buffer, value.c_str(), value.size() + 1);
    return static_cast<DWORD>(value.size());
}

void HostReset(const std::string &root) {
    for (auto &entry : Host().files) {
        close(entry.second.fd);
    }
    Host() = HostMachine();
    HostResetShell();
    HostResetDialogs();
    HostMachine &m = Host();
    m.root = root;
    m.module_path = "C:\\SFX.EXE";
    m.current_dir = "C:\\";
    m.windows_dir = "C:\\WINDOWS";
    m.system_dir = "C:\\WINDOWS\\SYSTEM32";
    mkdir(root.c_str(), 0755);
    mkdir((root + "/c").c_str(), 0755);
}

void HostSetKernelProc(const char *name, FARPROC proc) {
    Host().kernel_procs[name] = proc;
}

static char kernel_module; // the address stands for kernel32's module handle

HMODULE WINAPI GetModuleHandleA(LPCSTR name) {
    return name != nullptr && HostUpper(name) == "KERNEL32.DLL" ? &kernel_module : nullptr;
}

FARPROC WINAPI GetProcAddress(HMODULE module, LPCSTR name) {
    auto found = Host().kernel_procs.find(name);
    return module == &kernel_module && found != Host().kernel_procs.end() ? found->second : nullptr;
}

void HostStoreAsWine(bool on) {
    Host().wine_storage = on;
}

void HostSetPlatformId(DWORD id) {
    Host().platform_id = id;
}
void HostSetModulePath(const char *path) {
    Host().module_path = path;
}
void HostSetCurrentDirectory(const char *path) {
    Host().current_dir = path;
}
void HostSetWindowsDirectory(const char *path) {
    Host().windows_dir = path;
}
void HostSetEnv(const char *name, const char *value) {
    if (value == nullptr) {
        Host().env.erase(HostUpper(name));
    } else {
        Host().env[HostUpper(name)] = value;
    }
}
void HostSetMachineValue(const char *key, const char *name, const std::string &data, DWORD type) {
    Host().registry[HostUpper(key)][HostUpper(name)] = HostValue{type, data};
}
void HostSetMaxComponentLength(DWORD length) {
    Host().max_component = length;
}
void HostFailAllocationAfter(int successes) {
    Host().allocations_left = successes;
}
void HostFailReadsAfter(long long bytes) {
    Host().read_budget = bytes;
}
void HostLimitWrites(long long bytes) {
    Host().write_budget = bytes;
}
void HostLimitWritesOn(char drive, long long bytes) {
    Host().drive_write_budgets[static_cast<char>(drive | 0x20)] = bytes;
}
void HostFailNextClose() {
    Host().fail_next_close = true;
}
void HostFailNextGetFileTime() {
    Host().fail_next_get_file_time = true;
}

int HostRunProcess(int (*body)(void *), void *context) {
    jmp_buf target;
    jmp_buf *outer = exit_target;
    exit_target = &target;
    int status;
    if (setjmp(target) == 0) {
        status = body(context);
    } else {
        status = exit_status;
    }
    exit_target = outer;
    return status;
}

void WINAPI ExitProcess(UINT status) {
    if (exit_target == nullptr) {
        fprintf(stderr, "ExitProcess(%u) outside HostRunProcess\n", status);
        abort();
    }
    exit_status = static_cast<int>(status);
    longjmp(*exit_target, 1);
}

BOOL WINAPI GetVersionExA(LPOSVERSIONINFOA info) {
    if (info->dwOSVersionInfoSize != sizeof(OSVERSIONINFOA)) {
        return FALSE;
    }
    DWORD id = Host().platform_id;
    info->dwPlatformId = id;
    info->dwMajorVersion = id == VER_PLATFORM_WIN32s ? 3 : 5;
    info->dwMinorVersion = id == VER_PLATFORM_WIN32s ? 10 : 1;
    info->dwBuildNumber = 0;
    info->szCSDVersion[0] = 0;
    return TRUE;
}

DWORD WINAPI GetModuleFileNameA(HMODULE, LPSTR name, DWORD size) {
    // A path that does not fit is cut and terminated, and the call returns `size`.
    const std::string &path = Host().module_path;
    if (size == 0) {
        return 0;
    }
    DWORD n = path.size() < size ? static_cast<DWORD>(path.size()) : size - 1;
    memcpy(name, path.data(), n);
    name[n] = 0;
    return path.size() < size ? n : size;
}

// ---- Memory -------------------------------------------------------------------

static void *HostAllocate(UINT flags, size_t bytes) {
    HostMachine &m = Host();
    if (m.allocations_left == 0) {
        return nullptr;
    }
    if (m.allocations_left > 0) {
        --m.allocations_left;
    }
    void *p = (flags & LMEM_ZEROINIT) ? calloc(1, bytes ? bytes : 1) : malloc(bytes ? bytes : 1);
    return p;
}

HLOCAL WINAPI LocalAlloc(UINT flags, size_t bytes) {
    return HostAllocate(flags, bytes);
}
HLOCAL WINAPI LocalFree(HLOCAL mem) {
    free(mem);
    return nullptr;
}
HGLOBAL WINAPI GlobalAlloc(UINT flags, size_t bytes) {
    void *p = HostAllocate(flags, bytes);
    if (p != nullptr) {
        ++Host().live_global_blocks;
    }
    return p;
}
HGLOBAL WINAPI GlobalFree(HGLOBAL mem) {
    if (mem != nullptr) {
        --Host().live_global_blocks;
    }
    free(mem);
    return nullptr;
}
LPVOID WINAPI GlobalLock(HGLOBAL mem) {
    return mem;
}
BOOL WINAPI GlobalUnlock(HGLOBAL) {
    return FALSE; // the lock count reached zero
}

// ---- Strings and code page 932 -----------------------------------------------

BOOL WINAPI IsDBCSLeadByte(BYTE b) {
    return (b >= 0x81 && b <= 0x9F) || (b >= 0xE0 && b <= 0xFC);
}

LPSTR WINAPI lstrcpyA(LPSTR dst, LPCSTR src) {
    return strcpy(dst, src);
}

LPSTR WINAPI lstrcpynA(LPSTR dst, LPCSTR src, int size) {
    // Copies at most size - 1 bytes and always terminates; a double-byte
    // character may be cut.
    if (size <= 0) {
        return dst;
    }
    int i = 0;
    for (; i < size - 1 && src[i] != 0; ++i) {
        dst[i] = src[i];
    }
    dst[i] = 0;
    return dst;
}

int WINAPI lstrlenA(LPCSTR s) {
    return s == nullptr ? 0 : static_cast<int>(strlen(s));
}

int WINAPI lstrcmpA(LPCSTR a, LPCSTR b) {
    // Exact byte comparison is all the call sites rely on (equality of names).
    int r = strcmp(a, b);
    return r < 0 ? -1 : (r > 0 ? 1 : 0);
}

static char LowerAscii(char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

LPSTR WINAPI CharLowerA(LPSTR s) {
    // A value below 0x10000 is a single character, not a pointer.
    uintptr_t value = reinterpret_cast<uintptr_t>(s);
    if (value <= 0xFFFF) {
        return reinterpret_cast<LPSTR>(
            static_cast<uintptr_t>(static_cast<BYTE>(LowerAscii(static_cast<char>(value & 0xFF)))));
    }
    for (char *p = s; *p != 0; ++p) {
        if (IsDBCSLeadByte(static_cast<BYTE>(*p)) && p[1] != 0) {
            ++p;
        } else {
            *p = LowerAscii(*p);
        }
    }
    return s;
}

LPSTR WINAPI CharPrevA(LPCSTR start, LPCSTR current) {
    if (current <= start) {
        return const_cast<LPSTR>(start);
    }
    const char *p = start;
    for (;;) {
        const char *next = p + ((IsDBCSLeadByte(static_cast<BYTE>(*p)) && p[1] != 0) ? 2 : 1);
        if (next >= current) {
            return const_cast<LPSTR>(p);
        }
        p = next;
    }
}

int wsprintfA(LPSTR out, LPCSTR format, ...) {
    // The conversions the call sites use: %s %c %d %i %u %x %X with an optional l,
    // and %%. Like the real call, output stops at 1024 bytes with the terminator.
    const int limit = 1024;
    char number[32];
    int n = 0;
    va_list args;
    va_start(args, format);
    auto put = [&](char c) {
        if (n < limit - 1) {
            out[n++] = c;
        }
    };
    for (const char *f = format; *f != 0; ++f) {
        if (*f != '%') {
            put(*f);
            continue;
        }
        ++f;
        if (*f == '%') {
            put('%');
            continue;
        }
        if (*f == 'l' || *f == 'h') {
            ++f;
        }
        const char *text = number;
        switch (*f) {
        case 's':
            text = va_arg(args, const char *);
            if (text == nullptr) {
                text = "(null)";
            }
            break;
        case 'c':
            number[0] = static_cast<char>(va_arg(args, int));
            number[1] = 0;
            break;
        case 'd':
        case 'i':
            snprintf(number, sizeof number, "%d", va_arg(args, int));
            break;
        case 'u':
            snprintf(number, sizeof number, "%u", va_arg(args, unsigned));
            break;
        case 'x':
            snprintf(number, sizeof number, "%x", va_arg(args, unsigned));
            break;
        case 'X':
            snprintf(number, sizeof number, "%X", va_arg(args, unsigned));
            break;
        default:
            fprintf(stderr, "wsprintfA: conversion %%%c is not modelled\n", *f);
            abort();
        }
        for (; *text != 0; ++text) {
            put(*text);
        }
    }
    va_end(args);
    out[n] = 0;
    return n;
}
