#!/usr/bin/env python3
"""A small -lh1- encoder for the tests of the tool's -lh1- decoder, as no LHA program
installed here writes that method from its command line (jlha offers -lh5- to -lh7-).
Its archives are proven with lhasa (an independent decoder) before the tool's decoder
is checked against them.

    python3 tests/tools/lh1_encoder.py ARCHIVE FILE...

writes ARCHIVE with one -lh1- member (level-0 header) for every FILE, named by its base
name. -lh1- is LZSS over a 4 KiB window (matches of 3 to 60 bytes, the window starting
as spaces) whose bytes and match lengths share an adaptive Huffman code of 314 symbols;
a match's distance less one follows, its upper 6 bits in a fixed code, its lower 6 bits
as they are.
"""
import os
import struct
import sys

WINDOW = 4096
SHORTEST, LONGEST = 3, 60
SYMBOLS = 256 + LONGEST - SHORTEST + 1
NODES = 2 * SYMBOLS - 1
ROOT = NODES - 1
REBUILD_AT = 0x8000
# Codes of the upper 6 bits of a distance: this many of 3, 4, ... 8 bits, canonical.
UPPER_COUNTS = [(3, 1), (4, 3), (5, 8), (6, 12), (7, 24), (8, 16)]


def crc16(data):
    table = crc16.table
    crc = 0
    for b in data:
        crc = (crc >> 8) ^ table[(crc ^ b) & 0xFF]
    return crc


crc16.table = []
for _n in range(256):
    _c = _n
    for _ in range(8):
        _c = (_c >> 1) ^ 0xA001 if _c & 1 else _c >> 1
    crc16.table.append(_c)


def upper_codes():
    """(code, bits) for each upper 6-bit value."""
    codes, code = [], 0
    for bits, count in UPPER_COUNTS:
        if codes:
            code <<= bits - prev_bits
        for _ in range(count):
            codes.append((code, bits))
            code += 1
        prev_bits = bits
    assert len(codes) == 64 and code == 1 << 8
    return codes


UPPER = upper_codes()


class BitOutput:
    def __init__(self):
        self.out = bytearray()
        self.acc = 0
        self.count = 0

    def put(self, value, bits):
        self.acc = (self.acc << bits) | value
        self.count += bits
        while self.count >= 8:
            self.count -= 8
            self.out.append((self.acc >> self.count) & 0xFF)
        self.acc &= (1 << self.count) - 1

    def finish(self):
        if self.count:
            self.out.append((self.acc << (8 - self.count)) & 0xFF)
        return bytes(self.out)


class Model:
    """The adaptive tree: nodes ordered by weight, the root last; an inner node's
    children are nodes son and son + 1, a leaf's son is NODES + its symbol."""

    def __init__(self):
        self.weight = [1] * SYMBOLS + [0] * (NODES - SYMBOLS) + [0xFFFF]
        self.son = list(range(NODES, NODES + SYMBOLS)) + [0] * (NODES - SYMBOLS)
        self.up = [0] * (NODES + SYMBOLS)
        self.build()

    def build(self):
        w, son = self.weight, self.son
        first = 0
        for nxt in range(SYMBOLS, NODES):
            total = w[first] + w[first + 1]
            at = nxt
            while w[at - 1] > total:
                at -= 1
            w[at + 1:nxt + 1] = w[at:nxt]
            son[at + 1:nxt + 1] = son[at:nxt]
            w[at], son[at] = total, first
            first += 2
        for node in range(NODES):
            self.adopt(son[node], node)

    def adopt(self, child, node):
        self.up[child] = node
        if child < NODES:
            self.up[child + 1] = node

    def encode(self, symbol, out):
        code, bits, node = 0, 0, self.up[NODES + symbol]
        while node != ROOT:
            parent = self.up[node]
            code |= (node - self.son[parent]) << bits
            bits += 1
            node = parent
        out.put(code, bits)
        self.count(symbol)

    def count(self, symbol):
        w, son = self.weight, self.son
        if w[ROOT] == REBUILD_AT:
            leaves = 0
            for node in range(NODES):
                if son[node] >= NODES:
                    w[leaves] = (w[node] + 1) // 2
                    son[leaves] = son[node]
                    leaves += 1
            self.build()
        node = self.up[NODES + symbol]
        while True:
            k = w[node] + 1
            if k > w[node + 1]:
                last = node + 1
                while k > w[last + 1]:
                    last += 1
                w[node] = w[last]
                son[node], son[last] = son[last], son[node]
                self.adopt(son[node], node)
                self.adopt(son[last], last)
                node = last
            w[node] = k
            if node == ROOT:
                return
            node = self.up[node]


def encode(data, chain=48):
    """The packed -lh1- stream of `data`: greedy matches from hash chains, reaching
    into the initial spaces of the window too."""
    text = b" " * WINDOW + data
    out, model = BitOutput(), Model()
    heads, prev = {}, [0] * len(text)

    def insert(p):
        if p + SHORTEST <= len(text):
            key = text[p:p + SHORTEST]
            prev[p] = heads.get(key, -1)
            heads[key] = p

    for p in range(WINDOW):
        insert(p)
    at, end = WINDOW, len(text)
    while at < end:
        best_len, best_dist = 0, 0
        limit = min(LONGEST, end - at)
        if limit >= SHORTEST:
            cand, tries = heads.get(text[at:at + SHORTEST], -1), chain
            while cand >= 0 and at - cand <= WINDOW and tries:
                n = SHORTEST
                while n < limit and text[cand + n] == text[at + n]:
                    n += 1
                if n > best_len:
                    best_len, best_dist = n, at - cand
                    if n == limit:
                        break
                cand, tries = prev[cand], tries - 1
        if best_len >= SHORTEST:
            model.encode(256 + best_len - SHORTEST, out)
            code, bits = UPPER[(best_dist - 1) >> 6]
            out.put(code, bits)
            out.put((best_dist - 1) & 0x3F, 6)
            for p in range(at, at + best_len):
                insert(p)
            at += best_len
        else:
            model.encode(text[at], out)
            insert(at)
            at += 1
    return out.finish()


def level0_member(name, data):
    packed = encode(data)
    rest = b"-lh1-" + struct.pack("<IIIBB", len(packed), len(data), 0x5A8C6000, 0x20, 0)
    rest += bytes([len(name)]) + name + struct.pack("<H", crc16(data))
    return bytes([len(rest), sum(rest) & 0xFF]) + rest + packed


def main(argv):
    if len(argv) < 2:
        sys.exit(__doc__)
    archive = bytearray()
    for path in argv[1:]:
        with open(path, "rb") as f:
            archive += level0_member(os.path.basename(path).encode(), f.read())
    archive.append(0)
    with open(argv[0], "wb") as f:
        f.write(archive)


if __name__ == "__main__":
    main(sys.argv[1:])
