// The real program's start, which the unpacker at the entry point calls once the
// program is in place, and the few routines the compiler may call on its own. The
// program links no C runtime: nothing else runs before it, and no static constructor
// exists to be run.
#include <windows.h>

#include "startup/startup.h"

extern "C" void *memset(void *dst, int value, size_t n) {
    BYTE *p = static_cast<BYTE *>(dst);
    while (n-- != 0) {
        *p++ = static_cast<BYTE>(value);
    }
    return dst;
}

extern "C" void *memcpy(void *dst, const void *src, size_t n) {
    BYTE *d = static_cast<BYTE *>(dst);
    const BYTE *s = static_cast<const BYTE *>(src);
    while (n-- != 0) {
        *d++ = *s++;
    }
    return dst;
}

// Not inlined into the unpacker, whose code is stored as it is: this is stored packed.
extern "C" __attribute__((noinline)) void __stdcall StubEntry() {
    ExitProcess(
        static_cast<UINT>(SfxMain(GetModuleHandleA(nullptr), CommandTail(GetCommandLineA()))));
}
