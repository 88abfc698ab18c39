"""The compressed form of the stub's program: a small LZ77 format that the unpacker at the
stub's entry decodes in a few dozen instructions.

The stream mixes single bits, read most significant first from tag bytes, with whole bytes;
a tag byte lies in the stream where the decoder needs its first bit. Its tokens:

    0               a literal: the next byte of the stream
    1 0 G B         a copy from a new distance: (G - 1) * 256 + B + 1 bytes back, where G is
                    a number (below) and B the next byte of the stream; then the length
    1 1             right after a literal only: a copy from the last distance; then the length
    1 G B           right after a copy: a copy from a new distance, as above

The length of a copy is a number plus 1, so 2 or more. A number is Elias gamma coded with its
bits interleaved: it starts at 1, and while a bit 1 is read, the value doubles and takes the
next bit. The decoder is told the decoded size; the stream has no end mark.

The parse is optimal for the bit costs of this format except for the last distance, which
each position takes from the cheapest way there.
"""

LITERAL_BITS = 9
LONGEST_SEARCH = 4096  # candidate positions looked at, nearest first
GOOD_ENOUGH = 256  # a copy this long is taken as it is


def gamma_bits(value):
    return 2 * value.bit_length() - 1


def distance_bits(distance):
    return gamma_bits((distance - 1 >> 8) + 1) + 8


class _Writer:
    def __init__(self):
        self.out = bytearray()
        self.tag = None  # where the tag byte being filled lies
        self.used = 8

    def bit(self, value):
        if self.used == 8:
            self.tag = len(self.out)
            self.out.append(0)
            self.used = 0
        if value:
            self.out[self.tag] |= 0x80 >> self.used
        self.used += 1

    def byte(self, value):
        self.out.append(value)

    def number(self, value):
        assert value >= 1
        for shift in range(value.bit_length() - 2, -1, -1):
            self.bit(1)
            self.bit(value >> shift & 1)
        self.bit(0)


def _parse(data):
    """The cheapest tokens for `data`: ("literal",), ("copy", length, distance) or
    ("again", length, distance)."""
    n = len(data)
    infinite = float("inf")
    cost = [infinite] * (n + 1)
    cost[0] = 0
    step = [None] * (n + 1)  # the token that reaches each position most cheaply
    last = [0] * (n + 1)  # the last distance on that way
    after_literal = [False] * (n + 1)
    seen = {}  # every earlier position of each byte pair

    def reach(at, new_cost, token, distance, literal):
        if new_cost < cost[at]:
            cost[at] = new_cost
            step[at] = token
            last[at] = distance
            after_literal[at] = literal

    def match_length(earlier, at):
        limit = n - at
        length, chunk = 0, 8
        while length < limit:  # whole chunks compared at once, growing
            size = min(chunk, limit - length)
            if data[earlier + length : earlier + length + size] != data[at + length : at + length + size]:
                while data[earlier + length] == data[at + length]:
                    length += 1
                return length
            length += size
            chunk = min(chunk * 2, 4096)
        return length

    def lengths(longest, length):
        """The copy lengths worth trying: each up to GOOD_ENOUGH, and then only the whole."""
        sizes = range(longest + 1, min(length, GOOD_ENOUGH) + 1)
        return list(sizes) + [length] if length > GOOD_ENOUGH else sizes

    i = 0
    while i < n:
        here = cost[i]
        reach(i + 1, here + LITERAL_BITS, ("literal",), last[i], True)
        if after_literal[i] and last[i]:
            for size in lengths(1, match_length(i - last[i], i)):
                reach(i + size, here + 2 + gamma_bits(size - 1), ("again", size, last[i]),
                      last[i], False)
        longest = 1
        flag = 2 if after_literal[i] else 1
        for earlier in reversed(seen.get(data[i : i + 2], [])[-LONGEST_SEARCH:]):
            length = match_length(earlier, i)
            if length <= longest:
                continue
            distance = i - earlier
            base = here + flag + distance_bits(distance)
            for size in lengths(longest, length):
                reach(i + size, base + gamma_bits(size - 1), ("copy", size, distance),
                      distance, False)
            longest = length
            if longest >= GOOD_ENOUGH:
                break
        # A long copy is taken as it is: the positions it covers are not parsed.
        skip = longest if longest >= GOOD_ENOUGH and cost[i + longest] < infinite else 1
        for at in range(i, i + skip):
            seen.setdefault(data[at : at + 2], []).append(at)
        i += skip

    tokens = []
    at = n
    while at > 0:
        token = step[at]
        tokens.append(token)
        at -= 1 if token[0] == "literal" else token[1]
    tokens.reverse()
    return tokens


def compress(data):
    """`data` in the stream format above."""
    writer = _Writer()
    at = 0
    literal_before = False
    for token in _parse(bytes(data)):
        if token[0] == "literal":
            writer.bit(0)
            writer.byte(data[at])
            at += 1
            literal_before = True
            continue
        kind, length, distance = token
        writer.bit(1)
        if literal_before:
            writer.bit(kind == "again")
        if kind == "copy":
            writer.number((distance - 1 >> 8) + 1)
            writer.byte(distance - 1 & 0xFF)
        writer.number(length - 1)
        at += length
        literal_before = False
    return bytes(writer.out)


class FormatError(Exception):
    """The stream does not decode to the size asked for."""


def decompress(stream, size):
    """The `size` bytes `stream` decodes to, as the unpacker decodes them."""
    out = bytearray()
    position = 0
    state = {"tag": 0, "used": 8}

    def byte():
        nonlocal position
        if position >= len(stream):
            raise FormatError("stream ends early")
        position += 1
        return stream[position - 1]

    def bit():
        if state["used"] == 8:
            state["tag"] = byte()
            state["used"] = 0
        state["used"] += 1
        return state["tag"] >> 8 - state["used"] & 1

    def number():
        value = 1
        while bit():
            value = value * 2 + bit()
        return value

    distance = 0
    literal_before = False
    while len(out) < size:
        if not bit():
            out.append(byte())
            literal_before = True
            continue
        if not literal_before or not bit():
            distance = (number() - 1) * 256 + byte() + 1
        length = number() + 1
        if distance == 0 or distance > len(out) or len(out) + length > size:
            raise FormatError("copy outside the data")
        for _ in range(length):
            out.append(out[-distance])
        literal_before = False
    if position != len(stream):
        raise FormatError("bytes behind the stream")
    return bytes(out)
