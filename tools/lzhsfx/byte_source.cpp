#include "byte_source.h"

#include <algorithm>
#include <cstring>

#include "lzh_writer.h"

namespace lzhsfx {
namespace {

void CheckRange(uint64_t offset, size_t n, uint64_t size) {
    if (offset > size || n > size - offset) {
        throw LzhError("a read of " + std::to_string(n) + " bytes at offset " +
                       std::to_string(offset) + " beyond the end, " + std::to_string(size));
    }
}

} // namespace

void MemorySource::Read(uint64_t offset, uint8_t *out, size_t n) const {
    CheckRange(offset, n, size_);
    if (n != 0) {
        std::memcpy(out, data_ + offset, n);
    }
}

void MemorySpool::Read(uint64_t offset, uint8_t *out, size_t n) const {
    CheckRange(offset, n, bytes_.size());
    if (n != 0) {
        std::memcpy(out, bytes_.data() + offset, n);
    }
}

uint64_t MemorySpool::Append(const uint8_t *data, size_t n) {
    const uint64_t at = bytes_.size();
    bytes_.insert(bytes_.end(), data, data + n);
    return at;
}

void PieceSource::Add(const ByteSource *source, uint64_t offset, uint64_t n) {
    if (n == 0) {
        return;
    }
    if (!pieces_.empty()) {
        Piece &last = pieces_.back();
        if (last.source == source && last.offset + last.size == offset) {
            last.size += n;
            size_ += n;
            return;
        }
    }
    pieces_.push_back({size_, offset, n, source});
    size_ += n;
}

void PieceSource::Read(uint64_t offset, uint8_t *out, size_t n) const {
    CheckRange(offset, n, size_);
    if (n == 0) {
        return;
    }
    size_t i = last_ < pieces_.size() ? last_ : 0;
    if (offset < pieces_[i].start || offset - pieces_[i].start >= pieces_[i].size) {
        // The first piece that ends after `offset`.
        i = static_cast<size_t>(
            std::upper_bound(pieces_.begin(), pieces_.end(), offset,
                             [](uint64_t at, const Piece &p) { return at < p.start + p.size; }) -
            pieces_.begin());
    }
    while (n > 0) {
        last_ = i;
        const Piece &p = pieces_[i];
        const uint64_t within = offset - p.start;
        const size_t part = static_cast<size_t>(std::min<uint64_t>(n, p.size - within));
        p.source->Read(p.offset + within, out, part);
        out += part;
        offset += part;
        n -= part;
        ++i;
    }
}

} // namespace lzhsfx
