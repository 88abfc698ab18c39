// The emulated i386 machine the real stub runs on: its memory, the traps that stand for
// the imported system calls, calls from the system back into the program, and the end
// of the run.
//
// Guest memory is host memory mapped into Unicorn, so a checked guest address turns
// into a host pointer that the Win32 model can read and write directly. Values the
// model hands out that do not fit 32 bits (registry keys, DDE blocks) travel through
// the program as tokens.
#pragma once

#include <stdint.h>
#include <unicorn/unicorn.h>

#include <map>
#include <string>
#include <vector>

class Machine;

// A system call as the program makes it: its stack arguments in order.
typedef uint32_t (*TrapHandler)(Machine &m, const uint32_t *args);

struct Trap {
    std::string dll;
    std::string name;
    int arguments;    // 32-bit words the callee takes off the stack (stdcall)
    bool caller_pops; // cdecl: the arguments stay for the caller to remove
    TrapHandler handler;
};

// How a run ended, besides the program's own ExitProcess.
enum RunEnd {
    kEndFault = 124,    // an unmodelled call, an access outside memory, an invalid instruction
    kEndNoAnswer = 125, // a box or dialog waited, and no answer was left
};

class Machine {
  public:
    static constexpr uint32_t kImageBase = 0x10000000; // not the stub's preferred base
    static constexpr uint32_t kStackBase = 0x00100000;
    static constexpr uint32_t kHeapBase = 0x20000000;
    static constexpr uint32_t kHeapSize = 64u << 20;
    static constexpr uint32_t kTrapBase = 0x7FF00000;
    static constexpr uint32_t kTrapSize = 0x10000;

    Machine();
    ~Machine();

    // Maps a region of `size` bytes (a multiple of 4 KiB) at `address`; null on failure.
    uint8_t *Map(uint32_t address, uint32_t size);
    // The address of a trap that runs `trap` when the program calls it.
    uint32_t AddTrap(const Trap &trap);
    // Runs the program from `entry` with the stack set up; returns only by Exit or Fault.
    [[noreturn]] void Run(uint32_t entry, uint32_t stack_size);
    // Calls guest code at `address` with 32-bit stdcall arguments; returns its EAX.
    uint32_t Call(uint32_t address, const std::vector<uint32_t> &args);

    // A host pointer for `size` bytes at guest `address`; null for address 0. A range
    // outside mapped memory ends the run as a fault naming `what`.
    void *Ptr(uint32_t address, uint32_t size, const char *what);
    template <typename T> T *Get(uint32_t address, const char *what) {
        return static_cast<T *>(Ptr(address, sizeof(T), what));
    }
    // A NUL-terminated string at `address`; null for 0; a fault when it runs off memory.
    char *Str(uint32_t address, const char *what);
    // The guest address of a host pointer into mapped memory (0 for null).
    uint32_t GuestOf(const void *host);

    // Guest heap for LocalAlloc and GlobalAlloc: zeroed blocks, freed ones reused.
    uint32_t Alloc(uint32_t size);
    bool Free(uint32_t address);
    bool IsBlock(uint32_t address) const;
    // A guest copy of a string, on the heap.
    uint32_t CopyString(const std::string &s);

    // Host values <-> 32-bit guest values: values that fit pass as they are.
    uint32_t ToGuest(uint64_t value);
    uint64_t ToHost(uint32_t value) const;

    // Ends the run: the observer closes the transcript, then the process exits.
    [[noreturn]] void Exit(int status);
    [[noreturn]] void Fault(const std::string &what);
    void SetExitObserver(void (*observer)(int status, const std::string &fault));

    uc_engine *engine() {
        return uc_;
    }

  private:
    struct Region {
        uint32_t address;
        uint32_t size;
        uint8_t *host;
    };
    static void OnTrap(uc_engine *uc, uint64_t address, uint32_t size, void *self);
    static bool OnBadAccess(uc_engine *uc, uc_mem_type type, uint64_t address, int size,
                            int64_t value, void *self);
    const Region *RegionOf(uint32_t address, uint32_t size) const;
    void Start(uint32_t begin, uint32_t until);

    uc_engine *uc_ = nullptr;
    std::vector<Region> regions_;
    std::vector<Trap> traps_;
    std::map<uint32_t, uint32_t> blocks_;    // live heap blocks: address, size
    std::multimap<uint32_t, uint32_t> free_; // freed blocks: size, address
    uint32_t heap_top_ = kHeapBase;
    std::map<uint32_t, uint64_t> tokens_;
    std::map<uint64_t, uint32_t> token_of_;
    uint32_t next_token_ = 0xE0000000;
    int depth_ = 0;
    void (*exit_observer_)(int, const std::string &) = nullptr;
};

// A trap's return address: when the program's code reaches it, a nested call is over.
constexpr uint32_t kReturnSentinel = Machine::kTrapBase + Machine::kTrapSize - 16;
