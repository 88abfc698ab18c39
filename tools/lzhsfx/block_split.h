// Cuts a parsed sequence of symbols into blocks, each with codes of its own.
#pragma once

#include <cstddef>
#include <vector>

#include "lzh_format.h"

namespace lzhsfx {

// Splits `symbols` into blocks of whole units of `unit` symbols (the last unit may
// be shorter) so that the estimated total size is small, and no block holds more
// than kMaxBlockSymbols symbols. Returns the end index of every block, in order.
std::vector<size_t> SplitBlocks(const Symbol *symbols, size_t count, size_t unit);

} // namespace lzhsfx
