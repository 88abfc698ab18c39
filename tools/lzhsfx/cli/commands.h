// `lzhsfx list`, `test` and `extract`: an installer or a plain .lzh looked into
// without running it, read by the stub's own reader and decoder.
#pragma once

#include <cstdint>
#include <string>

namespace cli {

// Each returns the exit status: 0, or 1 after any fault (reported).
int ListArchive(const std::string &file, int32_t dos_time_offset);
// Members are decoded on up to `threads` threads at once (0: one per processor).
int ExtractArchive(const std::string &file, const std::string &folder, bool force,
                   int32_t dos_time_offset, int threads = 0);

// Decodes every member, checks every CRC, the sizes, the positions the installer's
// walk depends on and the archive checksum. Returns the number of faults; each has
// been reported. `verifying` words the summary for a build's own check.
int TestArchive(const std::string &file, int32_t dos_time_offset, int threads = 0,
                bool verifying = false);

} // namespace cli
