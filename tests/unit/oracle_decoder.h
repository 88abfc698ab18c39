// The plain decoder, kept as the oracle of the fast one: the Huffman tables and the
// block decoder written step by step as the format describes them, a byte and
// a bit at a time, in namespace `oracle` so that both decoders link into one test
// program. It has a byte-wise bit input of its own and delivers into the program's
// output sink.
//
// Also the harness that runs either decoder over the same members on a fresh host
// machine and run state and records all they leave behind, so that tests and the
// fuzz target can compare the two.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

namespace oracle {

void FillBits(int n);
WORD GetBits(int n);

void MakeTable(WORD count, const BYTE *lengths, int table_bits, WORD *table);
WORD LookupSymbol(const WORD *table, int table_bits, WORD count, const BYTE *lengths);
[[noreturn]] void ReportBadTable();

void ReadAuxLengths(WORD count, int count_bits, int special_index);
void ReadCharLengths();
void StartDecoder(char method);
WORD DecodeChar();
WORD DecodePosition();
void DecodeMember();

} // namespace oracle

// ---- Differential harness ----------------------------------------------------------

// One member of an archive: its packed bytes, as they stand in the file, and the
// header's method character and sizes.
struct DiffMember {
    char method = '5'; // '0' stored, '4' to '7' decoded
    std::string packed;
    DWORD packed_size = 0;
    DWORD unpacked_size = 0;
};

// Members decoded one after another from one archive file, each from where the one
// before stopped, with the run state carried over as in one archive pass.
struct DiffCase {
    std::vector<DiffMember> members;
    int sink = 0;                // 0: output files; 1 or 2: the notice or directive text
                                 // (`SpecialMode`); 3: an ordinary member to memory
    long long read_budget = -1;  // _lread fails once this many bytes were read
    long long write_budget = -1; // WriteFile writes short past this many bytes
    int cancel_at_pump = 0;      // the nth message pump presses Cancel; 0: never
};

// What one member left: the end of the run, the bytes delivered and the state of the
// input and of the decoder.
struct DiffMemberOutcome {
    int status = 0;
    std::string output; // the output file ("<missing>" when gone) or the kept text
    WORD crc = 0;
    LONG position = 0; // of the archive file afterwards, -1 when it was closed
    DWORD input_index = 0, packed_left = 0, bytes_produced = 0, window_fill = 0;
    WORD bit_buffer = 0, block_symbols_left = 0;
    BYTE sub_bit_buffer = 0, sub_bit_count = 0;
};

struct DiffOutcome {
    std::vector<DiffMemberOutcome> members;
    std::vector<std::string> boxes;    // message boxes: owner, caption, text
    std::vector<std::string> progress; // every SetDlgItemTextA
    DWORD failed = 0;
    // What the next member finds: the window, the lengths, and the tables' symbols and
    // nodes (a fast table entry also carries a code length, which is left out).
    std::string window, lengths;
    std::vector<WORD> tables, tree;
};

// Runs the case with the plain decoder (`use_oracle`) or the program's own, on a
// host machine reset under `root`, with a run state of its own; the caller's `State`
// is restored afterwards.
DiffOutcome RunDiffCase(const DiffCase &c, bool use_oracle, const std::string &root);

// "" when the outcomes agree, else a description of the first difference. After a run
// that ended the process only what it showed and left on disk counts.
std::string FirstDifference(const DiffOutcome &fast, const DiffOutcome &plain);
