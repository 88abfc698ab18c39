// The plain decoder, step by step as the format describes it, and the harness that
// runs it and the program's decoder side by side.
#include "oracle_decoder.h"

#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "archive/errors.h"
#include "archive/member_header.h"
#include "decode/bit_input.h"
#include "decode/crc.h"
#include "decode/decoder.h"
#include "platform/host_control.h"
#include "startup/run_state.h"
#include "ui/messages.h"

// The oracle's own procedures hide the program's of the same names. The CRC, the output
// sink and the stored copy are the program's, with tests of their own: the oracle shares
// them. Its bit input is its own, a byte at a time.
namespace oracle {

enum { kNoSpecialIndex = -1 };

// ---- bit_input ----

// The refill of `InputBuffer` is the program's `ReadInputByte`: the same reads of the
// archive are what the two readers are compared on.
using ::ReadInputByte;

void FillBits(int n) {
    RunState *s = State;
    // Each pass moves the rest of `SubBitBuffer` into `BitBuffer` and takes the next
    // byte; a shift of 8 moves nothing out of a byte, a shift of 16 empties the word.
    while (n > s->SubBitCount) {
        n -= s->SubBitCount;
        s->BitBuffer = static_cast<WORD>((s->BitBuffer << s->SubBitCount) +
                                         (s->SubBitBuffer >> (8 - s->SubBitCount)));
        if (s->PackedLeft != 0) {
            --s->PackedLeft;
            int b = ReadInputByte(s->ArchiveFile, s->PackedLeft + 1);
            if (b < 0) {
                ReportReadError();
                AbortRun();
            }
            s->SubBitBuffer = static_cast<BYTE>(b);
        } else {
            s->SubBitBuffer = 0;
        }
        s->SubBitCount = 8;
    }
    s->SubBitCount = static_cast<BYTE>(s->SubBitCount - n);
    s->BitBuffer = static_cast<WORD>((s->BitBuffer << n) + (s->SubBitBuffer >> (8 - n)));
    s->SubBitBuffer = static_cast<BYTE>(s->SubBitBuffer << n);
}

WORD GetBits(int n) {
    WORD value = static_cast<WORD>(State->BitBuffer >> (16 - n));
    FillBits(n);
    return value;
}

// ---- huffman ----

void ReportBadTable() {
    ErrorBox(kTableFailure, State->OwnPath);
    AbortRun();
}

void MakeTable(WORD count, const BYTE *lengths, int table_bits, WORD *table) {
    RunState *s = State;
    DWORD symbols_of[17]; // symbols per length ([0]: without code); later the code step
    DWORD start[18];      // first code of each length, [1..17]; then the next free one

    for (int len = 0; len <= 16; ++len) {
        symbols_of[len] = 0;
    }
    for (int i = 0; i < count; ++i) {
        // A damaged length escape can give up to 23; such a list is no code.
        if (lengths[i] > 16) {
            ReportBadTable();
        }
        ++symbols_of[lengths[i]];
    }

    // Exact sums: a list whose total is a multiple of 2^16 above it must not pass.
    start[1] = 0;
    for (int len = 1; len <= 16; ++len) {
        start[len + 1] = start[len] + (symbols_of[len] << (16 - len));
    }
    if (start[17] == 0) {
        return; // no symbol has a code: the structures keep what they hold
    }
    if (start[17] != 0x10000) {
        ReportBadTable(); // incomplete or oversubscribed
    }

    int shift = 16 - table_bits;
    DWORD *step = symbols_of; // the counts are no longer needed
    for (int len = 1; len <= table_bits; ++len) {
        start[len] >>= shift;
        step[len] = 1u << (table_bits - len);
    }
    for (int len = table_bits + 1; len <= 16; ++len) {
        step[len] = 1u << (16 - len);
    }

    // The slots past the short codes will root trees; 0 marks "no node here yet".
    DWORD slots = 1u << table_bits;
    for (DWORD i = start[table_bits + 1] >> shift; i < slots; ++i) {
        table[i] = 0;
    }

    WORD avail = count;
    DWORD first_mask = 1u << (15 - table_bits);
    for (int symbol = 0; symbol < count; ++symbol) {
        int len = lengths[symbol];
        if (len == 0) {
            continue;
        }
        DWORD code = start[len];
        DWORD next = code + step[len];
        if (len <= table_bits) {
            for (DWORD i = code; i < next; ++i) {
                table[i] = static_cast<WORD>(symbol);
            }
        } else {
            // Walk from the slot down the code's bits past the table index, adding the
            // nodes not yet there. A complete code of n symbols adds fewer than n nodes,
            // so node numbers stay below 2n - 1, inside the tree arrays.
            WORD *place = &table[code >> shift];
            DWORD mask = first_mask;
            for (int level = table_bits; level < len; ++level) {
                if (*place == 0) {
                    s->TreeLeft[avail] = 0;
                    s->TreeRight[avail] = 0;
                    *place = avail++;
                }
                place = (code & mask) ? &s->TreeRight[*place] : &s->TreeLeft[*place];
                code <<= 1;
            }
            *place = static_cast<WORD>(symbol);
        }
        start[len] = next;
    }
}

WORD LookupSymbol(const WORD *table, int table_bits, WORD count, const BYTE *lengths) {
    RunState *s = State;
    WORD symbol = table[s->BitBuffer >> (16 - table_bits)];
    // The code's bits past the table index pick the branches. Structures left by an
    // earlier build, or by another code, may hold anything: a walk that has used up
    // all 16 bits, or that meets a node number outside the tree, found no code.
    WORD mask = static_cast<WORD>(1u << (15 - table_bits));
    while (symbol >= count) {
        if (mask == 0 || symbol >= kTreeNodes) {
            ReportBadTable();
        }
        symbol = (s->BitBuffer & mask) ? s->TreeRight[symbol] : s->TreeLeft[symbol];
        mask >>= 1;
    }
    FillBits(lengths[symbol]);
    return symbol;
}

// ---- block_header ----

static void SetSingleSymbol(WORD count, BYTE *lengths, WORD *table, int table_size, WORD value) {
    if (value >= count) {
        ReportBadTable();
    }
    for (int i = 0; i < count; ++i) {
        lengths[i] = 0;
    }
    for (int i = 0; i < table_size; ++i) {
        table[i] = value;
    }
}

void ReadAuxLengths(WORD count, int count_bits, int special_index) {
    RunState *s = State;
    int n = GetBits(count_bits);
    if (n == 0) {
        SetSingleSymbol(count, s->AuxLengths, s->AuxTable, 256, GetBits(count_bits));
        return;
    }
    // At most 31 lengths and 3 zeros: `AuxLengths` (128) holds them all, and those
    // past `count` are ignored.
    int i = 0;
    while (i < n) {
        int v = GetBits(3);
        if (v == 7) {
            // 7 and up: 111, then one 1 bit per step above 7, then a 0 bit.
            for (WORD bit = 0x8000; bit != 0 && (s->BitBuffer & bit); bit >>= 1) {
                ++v;
            }
            FillBits(v - 6);
        }
        s->AuxLengths[i++] = static_cast<BYTE>(v);
        if (i == special_index) {
            for (int z = GetBits(2); z > 0; --z) {
                s->AuxLengths[i++] = 0;
            }
        }
    }
    for (; i < count; ++i) {
        s->AuxLengths[i] = 0;
    }
    MakeTable(count, s->AuxLengths, 8, s->AuxTable);
}

// Sets the character/length entries [from, from + run) to 0. A damaged stream can
// announce 511 entries, and a zero run can reach 531 past any start; entries past the
// alphabet's 510 are dropped.
static void ZeroCharLengths(int from, int run) {
    for (int i = from; i < from + run && i < kCharSymbols; ++i) {
        State->CharLengths[i] = 0;
    }
}

void ReadCharLengths() {
    RunState *s = State;
    int n = GetBits(9);
    if (n == 0) {
        SetSingleSymbol(kCharSymbols, s->CharLengths, s->CharTable, 4096, GetBits(9));
        return;
    }
    int i = 0;
    while (i < n) {
        int symbol = LookupSymbol(s->AuxTable, 8, 19, s->AuxLengths);
        int run;
        if (symbol == 0) {
            run = 1;
        } else if (symbol == 1) {
            run = GetBits(4) + 3;
        } else if (symbol == 2) {
            run = GetBits(9) + 20;
        } else {
            if (i < kCharSymbols) {
                s->CharLengths[i] = static_cast<BYTE>(symbol - 2);
            }
            ++i;
            continue;
        }
        ZeroCharLengths(i, run);
        i += run;
    }
    ZeroCharLengths(i, kCharSymbols - i);
    MakeTable(kCharSymbols, s->CharLengths, 12, s->CharTable);
}

// ---- decoder ----

void StartDecoder(char method) {
    RunState *s = State;
    // -lh4- and -lh5- send 14 position symbols in a 4-bit count; -lh6- and -lh7-
    // send 17 in a 5-bit count (a stream of 16 gives the 17th the length 0).
    if ((method & 0x0F) >= 6) {
        s->PositionSymbols = 17;
        s->PositionCountBits = 5;
    } else {
        s->PositionSymbols = 14;
        s->PositionCountBits = 4;
    }
    s->BitBuffer = 0;
    s->SubBitBuffer = 0;
    s->SubBitCount = 0;
    FillBits(16);
    s->BlockSymbolsLeft = 0;
}

WORD DecodeChar() {
    RunState *s = State;
    if (s->BlockSymbolsLeft == 0) {
        s->BlockSymbolsLeft = GetBits(16);
        ReadAuxLengths(19, 5, 3);
        ReadCharLengths();
        ReadAuxLengths(s->PositionSymbols, s->PositionCountBits, kNoSpecialIndex);
    }
    --s->BlockSymbolsLeft;
    return LookupSymbol(s->CharTable, 12, kCharSymbols, s->CharLengths);
}

WORD DecodePosition() {
    RunState *s = State;
    // Below `PositionSymbols` (at most 17), so the extra bits number at most 15.
    WORD j = LookupSymbol(s->AuxTable, 8, s->PositionSymbols, s->AuxLengths);
    if (j <= 1) {
        return j;
    }
    return static_cast<WORD>((1u << (j - 1)) + GetBits(j - 1));
}

// Hands the full window to the sink; progress is shown only while a file is written.
static void WindowFull(DWORD done) {
    RunState *s = State;
    FlushWindow(kWindowBytes);
    if (s->OutputFile != INVALID_HANDLE_VALUE) {
        ReportProgress(done, s->UnpackedSize);
    }
    s->WindowFill = 0;
}

void DecodeMember() {
    RunState *s = State;
    s->UnpackedSize = MemberUnpackedSize();
    s->PackedLeft = MemberPackedSize();
    s->RunningCrc = 0;
    s->WindowSize = kWindowBytes;
    StartDecoder(MemberMethod());
    s->BytesProduced = 0;
    s->WindowFill = 0;

    while (s->BytesProduced < s->UnpackedSize) {
        WORD c = DecodeChar();
        if (c <= 255) {
            s->DecodeWindow[s->WindowFill++] = static_cast<BYTE>(c);
            if (s->WindowFill == static_cast<DWORD>(s->WindowSize)) {
                WindowFull(s->BytesProduced + 1);
            }
            ++s->BytesProduced;
            continue;
        }
        // A match counts in full at once and is not cut at the unpacked size. The
        // count stops at its maximum rather than wrapping, so that a damaged size near
        // 4 GiB cannot start the loop over.
        DWORD length = c - 253u;
        WORD d = DecodePosition();
        s->BytesProduced =
            length > 0xFFFFFFFFu - s->BytesProduced ? 0xFFFFFFFFu : s->BytesProduced + length;
        DWORD source = (s->WindowFill - d - 1) & 0xFFFF;
        for (DWORD k = 0; k < length; ++k) {
            s->DecodeWindow[s->WindowFill++] = s->DecodeWindow[(source + k) & 0xFFFF];
            if (s->WindowFill == static_cast<DWORD>(s->WindowSize)) {
                WindowFull(s->BytesProduced);
            }
        }
    }
    if (s->WindowFill != 0) {
        FlushWindow(s->WindowFill);
        if (s->OutputFile != INVALID_HANDLE_VALUE) {
            ReportProgress(s->BytesProduced, s->UnpackedSize); // done >= total: 100%
        }
    }
}

} // namespace oracle

#include "decode/crc.h"
#include "decode/decoder.h"
#include "decode/huffman.h"

// ---- Differential harness ----------------------------------------------------------

namespace {

const HWND kDiffDialog = reinterpret_cast<HWND>(0x5150);

int pumps_left; // pumps until Cancel is pressed; 0: never

void PressCancelOnPump() {
    if (pumps_left > 0 && --pumps_left == 0) {
        State->CancelRequested = 1;
    }
}

struct DecodeCall {
    bool use_oracle;
    char method;
};

int DecodeOne(void *context) {
    const DecodeCall &call = *static_cast<DecodeCall *>(context);
    LONG size = static_cast<LONG>(MemberUnpackedSize());
    if (call.method == '0') {
        CopyStored(size);
    } else {
        call.use_oracle ? oracle::DecodeMember() : DecodeMember();
    }
    return 0;
}

std::string HostBytes(const char *windows_path) {
    FILE *f = fopen(HostPath(windows_path).c_str(), "rb");
    if (f == nullptr) {
        return "<missing>";
    }
    std::string bytes;
    char buffer[65536];
    size_t n;
    while ((n = fread(buffer, 1, sizeof buffer, f)) > 0) {
        bytes.append(buffer, n);
    }
    fclose(f);
    return bytes;
}

void PutLe32(BYTE *p, DWORD v) {
    for (int i = 0; i < 4; ++i) {
        p[i] = static_cast<BYTE>(v >> (8 * i));
    }
}

} // namespace

DiffOutcome RunDiffCase(const DiffCase &c, bool use_oracle, const std::string &root) {
    DiffOutcome out;
    RunState *caller = State;
    HostReset(root);
    CreateDirectoryA("C:\\OUT", nullptr);
    for (size_t i = 0; i < c.members.size(); ++i) {
        std::string name = "C:\\OUT\\M" + std::to_string(i) + ".BIN";
        DeleteFileA(name.c_str());
    }
    std::string archive;
    for (const DiffMember &m : c.members) {
        archive += m.packed;
    }
    archive += "TRAILER";
    FILE *f = fopen(HostPath("C:\\ARC.EXE").c_str(), "wb");
    if (f == nullptr || fwrite(archive.data(), 1, archive.size(), f) != archive.size()) {
        abort();
    }
    fclose(f);

    State = static_cast<RunState *>(calloc(1, sizeof(RunState)));
    RunState *s = State;
    s->OutputFile = INVALID_HANDLE_VALUE;
    lstrcpyA(s->OwnPath, "C:\\ARC.EXE");
    s->DialogWindow = kDiffDialog;
    BuildCrcTable(0xA001);
    s->ArchiveFile = _lopen(s->OwnPath, OF_READ);
    BYTE *header = static_cast<BYTE *>(calloc(1, 27));
    s->HeaderBuffer = header;
    memcpy(header + 2, "-lh5-", 5);
    if (c.read_budget >= 0) {
        HostFailReadsAfter(c.read_budget);
    }
    if (c.write_budget >= 0) {
        HostLimitWrites(c.write_budget);
    }
    pumps_left = c.cancel_at_pump;
    HostSetPumpHook(PressCancelOnPump);

    for (size_t i = 0; i < c.members.size(); ++i) {
        const DiffMember &m = c.members[i];
        std::string name = "C:\\OUT\\M" + std::to_string(i) + ".BIN";
        header[5] = static_cast<BYTE>(m.method);
        PutLe32(header + 7, m.packed_size);
        PutLe32(header + 11, m.unpacked_size);
        s->InputIndex = 0xFFFFFFFF;
        s->RunningCrc = 0;
        s->SpecialMode = 0;
        if (c.sink == 0) {
            lstrcpyA(s->DestinationPath, name.c_str());
            lstrcpyA(OutputTempPath, name.c_str());
            s->OutputFile = CreateFileA(name.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                        FILE_ATTRIBUTE_NORMAL, nullptr);
        } else {
            OutputTempPath[0] = 0;
            s->DestinationPath[0] = 0;
            s->SpecialMode = static_cast<BYTE>(c.sink % 3);
            s->ScratchText[0] = 0;
            s->DirectiveText[0] = 0;
        }
        DecodeCall call = {use_oracle, m.method};
        DiffMemberOutcome r;
        r.status = HostRunProcess(DecodeOne, &call);
        r.crc = s->RunningCrc;
        r.position = s->ArchiveFile == HFILE_ERROR ? -1 : _llseek(s->ArchiveFile, 0, FILE_CURRENT);
        r.input_index = s->InputIndex;
        r.packed_left = s->PackedLeft;
        r.bytes_produced = s->BytesProduced;
        r.window_fill = s->WindowFill;
        r.bit_buffer = s->BitBuffer;
        r.block_symbols_left = s->BlockSymbolsLeft;
        r.sub_bit_buffer = s->SubBitBuffer;
        r.sub_bit_count = s->SubBitCount;
        if (c.sink == 0) {
            if (s->OutputFile != INVALID_HANDLE_VALUE) {
                CloseHandle(s->OutputFile);
                s->OutputFile = INVALID_HANDLE_VALUE;
            }
            r.output = HostBytes(name.c_str());
        } else {
            r.output = std::string(s->ScratchText) + "|" + s->DirectiveText;
        }
        out.members.push_back(r);
        if (r.status != 0) {
            break; // the process has ended
        }
    }

    for (const HostMessageBox &b : HostMessageBoxes()) {
        out.boxes.push_back(std::to_string(reinterpret_cast<uintptr_t>(b.owner)) + " " + b.caption +
                            " " + b.text + " " + std::to_string(b.style));
    }
    for (const HostItemText &t : HostItemTexts()) {
        out.progress.push_back(std::to_string(reinterpret_cast<uintptr_t>(t.dialog)) + " " +
                               std::to_string(t.id) + " " + t.text);
    }
    out.failed = s->Failed;
    out.window.assign(reinterpret_cast<const char *>(s->DecodeWindow), kWindowBytes);
    out.lengths.assign(reinterpret_cast<const char *>(s->CharLengths), kCharSymbols);
    out.lengths.append(reinterpret_cast<const char *>(s->AuxLengths), sizeof s->AuxLengths);
    for (WORD entry : s->CharTable) {
        out.tables.push_back(entry & kEntrySymbolMask);
    }
    for (WORD entry : s->AuxTable) {
        out.tables.push_back(entry & kEntrySymbolMask);
    }
    out.tree.assign(s->TreeLeft, s->TreeLeft + kTreeNodes);
    out.tree.insert(out.tree.end(), s->TreeRight, s->TreeRight + kTreeNodes);

    if (s->ArchiveFile != HFILE_ERROR) {
        _lclose(s->ArchiveFile);
    }
    HostSetPumpHook(nullptr);
    free(s->HeaderBuffer);
    free(s);
    State = caller;
    HostReset(root);
    return out;
}

namespace {

template <typename T> std::string Show(const T &v) {
    return std::to_string(v);
}
std::string Show(const std::string &v) {
    return v.size() <= 64 ? "\"" + v + "\"" : std::to_string(v.size()) + " bytes";
}

template <typename T>
bool Differs(std::string *why, const char *what, const T &fast, const T &plain) {
    if (fast == plain) {
        return false;
    }
    *why = std::string(what) + ": " + Show(fast) + " (fast) vs " + Show(plain) + " (plain)";
    return true;
}

template <typename T>
bool ListDiffers(std::string *why, const char *what, const std::vector<T> &fast,
                 const std::vector<T> &plain) {
    if (fast == plain) {
        return false;
    }
    size_t i = 0;
    while (i < fast.size() && i < plain.size() && fast[i] == plain[i]) {
        ++i;
    }
    *why = std::string(what) + " differ from entry " + std::to_string(i) + ": " +
           (i < fast.size() ? Show(fast[i]) : std::string("none")) + " (fast) vs " +
           (i < plain.size() ? Show(plain[i]) : std::string("none")) + " (plain)";
    return true;
}

} // namespace

std::string FirstDifference(const DiffOutcome &fast, const DiffOutcome &plain) {
    std::string why;
    if (Differs(&why, "members run", fast.members.size(), plain.members.size())) {
        return why;
    }
    for (size_t i = 0; i < fast.members.size(); ++i) {
        const DiffMemberOutcome &a = fast.members[i], &b = plain.members[i];
        std::string m = "member " + std::to_string(i) + " ";
        if (Differs(&why, (m + "status").c_str(), a.status, b.status) ||
            Differs(&why, (m + "output").c_str(), a.output, b.output)) {
            return why;
        }
        if (a.status != 0) {
            break; // the process has ended: its state is no one's to see
        }
        if (Differs(&why, (m + "CRC").c_str(), a.crc, b.crc) ||
            Differs(&why, (m + "archive position").c_str(), a.position, b.position) ||
            Differs(&why, (m + "InputIndex").c_str(), a.input_index, b.input_index) ||
            Differs(&why, (m + "PackedLeft").c_str(), a.packed_left, b.packed_left) ||
            Differs(&why, (m + "BytesProduced").c_str(), a.bytes_produced, b.bytes_produced) ||
            Differs(&why, (m + "WindowFill").c_str(), a.window_fill, b.window_fill) ||
            Differs(&why, (m + "BitBuffer").c_str(), a.bit_buffer, b.bit_buffer) ||
            Differs(&why, (m + "SubBitBuffer").c_str(), a.sub_bit_buffer, b.sub_bit_buffer) ||
            Differs(&why, (m + "SubBitCount").c_str(), a.sub_bit_count, b.sub_bit_count) ||
            Differs(&why, (m + "BlockSymbolsLeft").c_str(), a.block_symbols_left,
                    b.block_symbols_left)) {
            return why;
        }
    }
    if (ListDiffers(&why, "message boxes", fast.boxes, plain.boxes) ||
        ListDiffers(&why, "progress texts", fast.progress, plain.progress) ||
        Differs(&why, "Failed", fast.failed, plain.failed)) {
        return why;
    }
    if (!fast.members.empty() && fast.members.back().status != 0) {
        return "";
    }
    if (Differs(&why, "window", fast.window, plain.window) ||
        Differs(&why, "code lengths", fast.lengths, plain.lengths) ||
        ListDiffers(&why, "table entries", fast.tables, plain.tables) ||
        ListDiffers(&why, "tree links", fast.tree, plain.tree)) {
        return why;
    }
    return "";
}
