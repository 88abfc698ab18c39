// Bytes read at any offset: an archive on disk, in memory, or laid out from pieces of
// others. Archives are read through these a header or a buffer at a time, so that
// memory does not grow with them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace lzhsfx {

class ByteSource {
  public:
    virtual ~ByteSource() = default;
    virtual uint64_t size() const = 0;
    // Copies the `n` bytes at `offset`, which must lie within size(). Throws LzhError
    // when they cannot be read.
    virtual void Read(uint64_t offset, uint8_t *out, size_t n) const = 0;
};

class MemorySource final : public ByteSource {
  public:
    // The bytes must stay valid while the source is read.
    MemorySource(const uint8_t *data, size_t size) : data_(data), size_(size) {}
    uint64_t size() const override {
        return size_;
    }
    void Read(uint64_t offset, uint8_t *out, size_t n) const override;

  private:
    const uint8_t *data_;
    size_t size_;
};

// A source that grows at its end.
class Spool : public ByteSource {
  public:
    // Appends the bytes; returns the offset they start at.
    virtual uint64_t Append(const uint8_t *data, size_t n) = 0;
};

class MemorySpool final : public Spool {
  public:
    uint64_t size() const override {
        return bytes_.size();
    }
    void Read(uint64_t offset, uint8_t *out, size_t n) const override;
    uint64_t Append(const uint8_t *data, size_t n) override;

  private:
    std::vector<uint8_t> bytes_;
};

// Pieces of other sources, one after the other. The sources must outlive it.
class PieceSource final : public ByteSource {
  public:
    // Appends `n` bytes of `source` from `offset`; a piece that continues the last one
    // in the same source extends it.
    void Add(const ByteSource *source, uint64_t offset, uint64_t n);
    uint64_t size() const override {
        return size_;
    }
    void Read(uint64_t offset, uint8_t *out, size_t n) const override;

  private:
    struct Piece {
        uint64_t start; // in this source
        uint64_t offset;
        uint64_t size;
        const ByteSource *source;
    };
    std::vector<Piece> pieces_;
    uint64_t size_ = 0;
    mutable size_t last_ = 0; // the piece the last read began in: reads go mostly forward
};

// The bytes of `source` from `offset` on, `n` of them, handed to `sink` a buffer at a
// time (at most `chunk` bytes each).
template <typename Sink>
void CopyOut(const ByteSource &source, uint64_t offset, uint64_t n, Sink sink,
             size_t chunk = size_t{1} << 20) {
    std::vector<uint8_t> buffer(static_cast<size_t>(n < chunk ? n : chunk));
    while (n > 0) {
        const size_t part = static_cast<size_t>(n < chunk ? n : chunk);
        source.Read(offset, buffer.data(), part);
        sink(buffer.data(), part);
        offset += part;
        n -= part;
    }
}

} // namespace lzhsfx
