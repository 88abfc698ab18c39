#include "machine.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <unistd.h>

namespace {

constexpr uint32_t kPage = 4096;
constexpr uint32_t kTrapStride = 16;
constexpr uint32_t kBlockAlign = 16;

std::string Hex(uint64_t value) {
    char text[24];
    snprintf(text, sizeof text, "0x%08llx", static_cast<unsigned long long>(value));
    return text;
}

uint32_t ReadReg(uc_engine *uc, int reg) {
    uint32_t value = 0;
    uc_reg_read(uc, reg, &value);
    return value;
}

void WriteReg(uc_engine *uc, int reg, uint32_t value) {
    uc_reg_write(uc, reg, &value);
}

} // namespace

Machine::Machine() {
    if (uc_open(UC_ARCH_X86, UC_MODE_32, &uc_) != UC_ERR_OK) {
        fprintf(stderr, "emulator: Unicorn cannot emulate i386 here\n");
        exit(kEndFault);
    }
    uint8_t *traps = Map(kTrapBase, kTrapSize);
    // hlt everywhere: a trap is always caught by its hook before it would run.
    memset(traps, 0xF4, kTrapSize);
    uc_hook hook;
    uc_hook_add(uc_, &hook, UC_HOOK_CODE, reinterpret_cast<void *>(OnTrap), this, kTrapBase,
                kTrapBase + kTrapSize - 1);
    uc_hook_add(uc_, &hook, UC_HOOK_MEM_INVALID, reinterpret_cast<void *>(OnBadAccess), this, 1, 0);
}

Machine::~Machine() {
    uc_close(uc_);
    for (const Region &r : regions_) {
        munmap(r.host, r.size);
    }
}

uint8_t *Machine::Map(uint32_t address, uint32_t size) {
    void *host = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (host == MAP_FAILED) {
        return nullptr;
    }
    if (uc_mem_map_ptr(uc_, address, size, UC_PROT_ALL, host) != UC_ERR_OK) {
        munmap(host, size);
        return nullptr;
    }
    regions_.push_back(Region{address, size, static_cast<uint8_t *>(host)});
    return static_cast<uint8_t *>(host);
}

uint32_t Machine::AddTrap(const Trap &trap) {
    traps_.push_back(trap);
    return kTrapBase + kTrapStride * static_cast<uint32_t>(traps_.size() - 1);
}

const Machine::Region *Machine::RegionOf(uint32_t address, uint32_t size) const {
    for (const Region &r : regions_) {
        if (address >= r.address && address - r.address < r.size &&
            size <= r.size - (address - r.address)) {
            return &r;
        }
    }
    return nullptr;
}

void *Machine::Ptr(uint32_t address, uint32_t size, const char *what) {
    if (address == 0) {
        return nullptr;
    }
    const Region *r = RegionOf(address, size == 0 ? 1 : size);
    if (r == nullptr) {
        Fault(std::string(what) + ": " + std::to_string(size) + " bytes at " + Hex(address) +
              " lie outside the program's memory");
    }
    return r->host + (address - r->address);
}

char *Machine::Str(uint32_t address, const char *what) {
    if (address == 0) {
        return nullptr;
    }
    const Region *r = RegionOf(address, 1);
    if (r != nullptr) {
        uint8_t *start = r->host + (address - r->address);
        if (memchr(start, 0, r->size - (address - r->address)) != nullptr) {
            return reinterpret_cast<char *>(start);
        }
    }
    Fault(std::string(what) + ": the string at " + Hex(address) +
          " does not end inside the program's memory");
}

uint32_t Machine::GuestOf(const void *host) {
    if (host == nullptr) {
        return 0;
    }
    const uint8_t *p = static_cast<const uint8_t *>(host);
    for (const Region &r : regions_) {
        if (p >= r.host && p < r.host + r.size) {
            return r.address + static_cast<uint32_t>(p - r.host);
        }
    }
    Fault("a pointer the model returned lies outside the program's memory");
}

uint32_t Machine::Alloc(uint32_t size) {
    uint32_t rounded = (size + kBlockAlign - 1) / kBlockAlign * kBlockAlign;
    if (rounded == 0) {
        rounded = kBlockAlign;
    }
    uint32_t address = 0;
    auto reuse = free_.lower_bound(rounded);
    if (reuse != free_.end() && reuse->first == rounded) {
        address = reuse->second;
        free_.erase(reuse);
    } else {
        if (heap_top_ == kHeapBase && Map(kHeapBase, kHeapSize) == nullptr) {
            return 0;
        }
        if (rounded > kHeapBase + kHeapSize - heap_top_) {
            return 0;
        }
        address = heap_top_;
        heap_top_ += rounded;
    }
    memset(Ptr(address, rounded, "heap"), 0, rounded);
    blocks_[address] = rounded;
    return address;
}

bool Machine::Free(uint32_t address) {
    auto block = blocks_.find(address);
    if (block == blocks_.end()) {
        return false;
    }
    free_.emplace(block->second, address);
    blocks_.erase(block);
    return true;
}

bool Machine::IsBlock(uint32_t address) const {
    return blocks_.count(address) != 0;
}

uint32_t Machine::CopyString(const std::string &s) {
    uint32_t address = Alloc(static_cast<uint32_t>(s.size() + 1));
    if (address == 0) {
        Fault("the emulator's heap is full");
    }
    memcpy(Ptr(address, static_cast<uint32_t>(s.size() + 1), "heap"), s.c_str(), s.size() + 1);
    return address;
}

uint32_t Machine::ToGuest(uint64_t value) {
    if (value < next_token_ && value <= 0xDFFFFFFFu) {
        return static_cast<uint32_t>(value);
    }
    // All ones (an invalid handle) keeps its meaning in 32 bits.
    if (value == ~uint64_t{0}) {
        return 0xFFFFFFFFu;
    }
    auto known = token_of_.find(value);
    if (known != token_of_.end()) {
        return known->second;
    }
    uint32_t token = next_token_;
    next_token_ += 4;
    tokens_[token] = value;
    token_of_[value] = token;
    return token;
}

uint64_t Machine::ToHost(uint32_t value) const {
    auto token = tokens_.find(value);
    if (token != tokens_.end()) {
        return token->second;
    }
    return value == 0xFFFFFFFFu ? ~uint64_t{0} : value;
}

void Machine::SetExitObserver(void (*observer)(int, const std::string &)) {
    exit_observer_ = observer;
}

void Machine::Exit(int status) {
    if (exit_observer_ != nullptr) {
        exit_observer_(status, "");
    }
    fflush(nullptr);
    _exit(status);
}

void Machine::Fault(const std::string &what) {
    std::string message = what + " (EIP " + Hex(ReadReg(uc_, UC_X86_REG_EIP)) + ")";
    fprintf(stderr, "emulator: %s\n", message.c_str());
    if (exit_observer_ != nullptr) {
        exit_observer_(kEndFault, message);
    }
    fflush(nullptr);
    _exit(kEndFault);
}

void Machine::OnTrap(uc_engine *uc, uint64_t address, uint32_t, void *self) {
    Machine &m = *static_cast<Machine *>(self);
    if (address == kReturnSentinel) {
        uc_emu_stop(uc);
        return;
    }
    uint32_t index = static_cast<uint32_t>(address - kTrapBase) / kTrapStride;
    if ((address - kTrapBase) % kTrapStride != 0 || index >= m.traps_.size()) {
        m.Fault("a jump into the system's call table at " + Hex(address));
    }
    const Trap &trap = m.traps_[index];
    uint32_t esp = ReadReg(uc, UC_X86_REG_ESP);
    uint32_t *frame = static_cast<uint32_t *>(
        m.Ptr(esp, 4 * (1 + static_cast<uint32_t>(trap.arguments)), trap.name.c_str()));
    uint32_t return_address = frame[0];
    std::vector<uint32_t> args(frame + 1, frame + 1 + trap.arguments);
    if (trap.handler == nullptr) {
        m.Fault("the program called " + trap.dll + "!" + trap.name +
                ", which the model does not have, from " + Hex(return_address));
    }
    uint32_t result = trap.handler(m, args.data());
    WriteReg(uc, UC_X86_REG_EAX, result);
    WriteReg(uc, UC_X86_REG_ESP, esp + 4 + (trap.caller_pops ? 0 : 4 * trap.arguments));
    WriteReg(uc, UC_X86_REG_EIP, return_address);
}

bool Machine::OnBadAccess(uc_engine *, uc_mem_type type, uint64_t address, int size, int64_t,
                          void *self) {
    Machine &m = *static_cast<Machine *>(self);
    bool fetch = type == UC_MEM_FETCH_UNMAPPED || type == UC_MEM_FETCH_PROT;
    bool write = type == UC_MEM_WRITE_UNMAPPED || type == UC_MEM_WRITE_PROT;
    std::string kind = fetch ? "a jump to"
                             : (write ? "a write" : "a read") + std::string(" of ") +
                                   std::to_string(size) + " bytes at";
    m.Fault(kind + " " + Hex(address) + ", outside the program's memory");
}

void Machine::Start(uint32_t begin, uint32_t until) {
    ++depth_;
    uc_err err = uc_emu_start(uc_, begin, until, 0, 0);
    --depth_;
    if (err != UC_ERR_OK) {
        Fault(std::string("the processor stopped: ") + uc_strerror(err));
    }
}

uint32_t Machine::Call(uint32_t address, const std::vector<uint32_t> &args) {
    uc_context *saved = nullptr;
    uc_context_alloc(uc_, &saved);
    uc_context_save(uc_, saved);
    uint32_t esp = ReadReg(uc_, UC_X86_REG_ESP) - 64; // below anything the caller keeps
    esp -= 4 * static_cast<uint32_t>(args.size() + 1);
    uint32_t *frame = static_cast<uint32_t *>(
        Ptr(esp, 4 * static_cast<uint32_t>(args.size() + 1), "the stack of a call back"));
    frame[0] = kReturnSentinel;
    for (size_t i = 0; i < args.size(); ++i) {
        frame[1 + i] = args[i];
    }
    WriteReg(uc_, UC_X86_REG_ESP, esp);
    Start(address, kReturnSentinel);
    uint32_t result = ReadReg(uc_, UC_X86_REG_EAX);
    uc_context_restore(uc_, saved);
    uc_context_free(saved);
    return result;
}

void Machine::Run(uint32_t entry, uint32_t stack_size) {
    uint32_t size = (stack_size + kPage - 1) / kPage * kPage;
    if (Map(kStackBase, size) == nullptr) {
        Fault("no room for the stack");
    }
    uint32_t esp = kStackBase + size - 16;
    *static_cast<uint32_t *>(Ptr(esp, 4, "stack")) = kReturnSentinel;
    WriteReg(uc_, UC_X86_REG_ESP, esp);
    Start(entry, kReturnSentinel);
    // Returning from the entry point ends the process with the value returned.
    Exit(static_cast<int>(ReadReg(uc_, UC_X86_REG_EAX)));
}
