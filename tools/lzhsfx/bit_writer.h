// Writes a bit stream most significant bit first, as the LZH decoders read it.
#pragma once

#include <cstdint>
#include <vector>

namespace lzhsfx {

class BitWriter {
  public:
    // Appends the low `bits` bits of `value` (0 to 32 bits), highest first.
    void Put(uint32_t value, int bits) {
        if (bits == 0) {
            return;
        }
        // Fewer than 32 bits wait in the accumulator between calls, so 63 bits fit;
        // they leave four bytes at a time.
        accumulator_ = (accumulator_ << bits) | (value & ((uint64_t{1} << bits) - 1));
        pending_ += bits;
        if (pending_ >= 32) {
            pending_ -= 32;
            const uint32_t word = static_cast<uint32_t>(accumulator_ >> pending_);
            const uint8_t four[4] = {static_cast<uint8_t>(word >> 24),
                                     static_cast<uint8_t>(word >> 16),
                                     static_cast<uint8_t>(word >> 8), static_cast<uint8_t>(word)};
            bytes_.insert(bytes_.end(), four, four + 4);
            accumulator_ &= (uint64_t{1} << pending_) - 1;
        }
    }

    // Pads the last byte with zero bits and moves every waiting byte out.
    void Flush() {
        if (pending_ % 8 != 0) {
            Put(0, 8 - pending_ % 8);
        }
        while (pending_ > 0) {
            pending_ -= 8;
            bytes_.push_back(static_cast<uint8_t>(accumulator_ >> pending_));
        }
        accumulator_ = 0;
    }

    // Appends everything `other` holds, including its unfinished byte.
    void Append(const BitWriter &other) {
        for (uint8_t byte : other.bytes_) {
            Put(byte, 8);
        }
        Put(static_cast<uint32_t>(other.accumulator_), other.pending_);
    }

    uint64_t BitCount() const {
        return bytes_.size() * uint64_t{8} + static_cast<unsigned>(pending_);
    }

    // The bytes written; complete after Flush.
    std::vector<uint8_t> &Bytes() {
        return bytes_;
    }

    // Hands over the whole bytes written so far; the bits of an unfinished byte stay.
    std::vector<uint8_t> TakeBytes() {
        std::vector<uint8_t> taken;
        taken.swap(bytes_);
        return taken;
    }

  private:
    uint64_t accumulator_ = 0;
    int pending_ = 0;
    std::vector<uint8_t> bytes_;
};

} // namespace lzhsfx
