// The harness shared by the fuzz targets: a fresh machine and run state for every
// input, checks that end the run as a crash, and the repair of header checksums so
// that mutated archives get past the header check.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <string>
#include <vector>

#include "platform/host_control.h"
#include "startup/run_state.h"

// Resets the host double under this process's own temporary root (emptied), the
// option flags and the stub's other globals, and allocates a zero-filled run state
// as start-up does.
void FuzzBegin();
// Releases the run state and the header buffer left by a run that ended through
// ExitProcess.
void FuzzEnd();

// Reports a broken property with the input's context and aborts, which the fuzzer
// records as a crash.
#define FUZZ_CHECK(condition)                                                                      \
    do {                                                                                           \
        if (!(condition)) {                                                                        \
            FuzzFail(__FILE__, __LINE__, #condition);                                              \
        }                                                                                          \
    } while (0)
[[noreturn]] void FuzzFail(const char *file, int line, const char *what);

// The folder the host machine of every input lives under, made on first use and
// removed when the process ends.
const std::string &FuzzRoot();

// Writes a file of the host machine at a Windows path, creating its directories.
void FuzzWriteFile(const char *windows_path, const std::string &bytes);
// Every regular file under the machine's root, as Linux paths.
std::vector<std::string> FuzzFiles();

// Recomputes the header checksum of every header of the member chain that starts at
// `at`, as far as the chain can be followed; with `archive_sum` also the 2-byte
// archive checksum in front of `at` (the XOR of the data-CRC fields).
void FuzzRepairHeaders(std::string &archive, size_t at, bool archive_sum);

// Whether no header of the member chain that starts at `at` announces more than `limit`
// unpacked bytes. A few packed bytes may announce 4 GiB, which the decoder then produces
// from the zero bits past the data: correct, but minutes of work for one input.
bool FuzzSizesBounded(const std::string &archive, size_t at, uint32_t limit);

// A length of a NUL-free prefix of the bytes, at most `limit`.
size_t FuzzTextLength(const uint8_t *data, size_t size, size_t limit);
