// The entry point of the file as shipped. The program's code, constants and data are
// stored compressed behind the resources (tools/pelayout/lzpack.py describes the
// format); this decodes them to the addresses they were linked for, adds the distance
// of the load address from the linked one to each absolute address in them, and
// starts the program. It runs before anything else is there: it calls nothing, and
// all of it lies in its own section, outside what it unpacks.
#include <windows.h>

namespace {

// Laid out by the linker script; the relayout tool fills in the fields from `stream` on.
struct Packing {
    DWORD tag;
    DWORD linkedAddress; // where the linker put this record
    DWORD rva;           // and its RVA
    DWORD resources;
    DWORD resourcesSize;
    DWORD programStart; // the program's RVAs once unpacked
    DWORD programEnd;
    DWORD stream; // the RVA of the stream as the file holds it
    DWORD streamSize;
    DWORD scratch;         // the RVA of free room for the stream while it is decoded
    DWORD relocationsSize; // bytes of the relocation list decoded behind the program
};

#define UNPACK_CODE __attribute__((section(".unpack"), noinline))

struct BitSource {
    const BYTE *in;
    unsigned tag; // the bits still to come from a tag byte, then a bit 1 that ends them

    UNPACK_CODE unsigned Bit() {
        if ((tag & 0xFF) == 0) {
            tag = *in++ * 2 + 1;
        }
        tag <<= 1;
        return tag >> 9 & 1;
    }

    UNPACK_CODE DWORD Number() {
        DWORD value = 1;
        while (Bit() != 0) {
            value = value * 2 + Bit();
        }
        return value;
    }
};

} // namespace

extern "C" Packing PackingRecord;
extern "C" void __stdcall StubEntry();

extern "C" __attribute__((section(".unpack"))) void __stdcall UnpackAndStart() {
    Packing *record = &PackingRecord;
    // The record's last fields are written after the link: they must be read, not assumed.
    __asm__("" : "+r"(record));
    BYTE *const image = reinterpret_cast<BYTE *>(record) - record->rva;

    // The stream lies where the program goes: it is moved out of the way first.
    BYTE *const scratch = image + record->scratch;
    const BYTE *from = image + record->stream;
    for (DWORD n = record->streamSize; n != 0; --n) {
        scratch[record->streamSize - n] = *from++;
    }

    // Zero bytes follow the stream to the image's end, enough for the longest read a
    // damaged stream can make before the copy checks below end it. A file not packed
    // (the linker's output itself) holds the program in place: nothing is decoded.
    BitSource source = {scratch, 0};
    BYTE *const start = image + record->programStart;
    BYTE *const end =
        record->streamSize == 0 ? start : image + record->programEnd + record->relocationsSize;
    BYTE *out = start;
    DWORD distance = 0;
    bool literalBefore = false;
    while (out < end) {
        if (source.Bit() == 0) {
            *out++ = *source.in++;
            literalBefore = true;
            continue;
        }
        if (!literalBefore || source.Bit() == 0) {
            distance = (source.Number() - 1) * 256 + *source.in++ + 1;
        }
        DWORD length = source.Number() + 1;
        // A damaged file must not make the copy reach outside the program.
        if (distance > static_cast<DWORD>(out - start) || length > static_cast<DWORD>(end - out)) {
            return;
        }
        for (; length != 0; --length, ++out) {
            *out = out[-static_cast<int>(distance)];
        }
        literalBefore = false;
    }

    // Each byte of the list advances to the next absolute address by its value; 255
    // advances without one. The list is cleared after: that room is zero-filled data.
    const DWORD delta = reinterpret_cast<DWORD>(record) - record->linkedAddress;
    BYTE *site = start;
    for (BYTE *step = image + record->programEnd; step < end; ++step) {
        site += *step;
        if (*step != 0xFF) {
            *reinterpret_cast<DWORD *>(site) += delta;
        }
        *step = 0;
    }
    StubEntry();
}
