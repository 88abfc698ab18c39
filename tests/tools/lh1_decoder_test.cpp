// The -lh1- decoder against lhasa: archives of the tests' own encoder (lh1_encoder.py)
// and of jLHA, each proven with `lhasa t` and decoded byte for byte as `lhasa x` does;
// and damaged, truncated and oversized streams, which are refused with LzhError or
// decoded to exactly their announced size, never reading or writing outside a buffer.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "archive_reader.h"
#include "crc16.h"
#include "lh1_decoder.h"
#include "tool_test_support.h"

namespace {

using lzhsfx::ArchiveMember;
using lzhsfx::DecodeLh1;
using lzhsfx::LzhError;
using tooltest::RandomBytes;
using tooltest::TempDir;
using tooltest::TextLike;

const std::string kEncoder = std::string(TOOL_TESTS_DIR) + "/lh1_encoder.py";
const std::string kJlhaLibrary = "/usr/share/java/jlha.jar";

struct Input {
    std::string name;
    std::vector<uint8_t> data;
    bool compressible = true;
};

std::vector<uint8_t> Repeat(const std::vector<uint8_t> &unit, size_t times) {
    std::vector<uint8_t> out;
    for (size_t i = 0; i < times; ++i) {
        out.insert(out.end(), unit.begin(), unit.end());
    }
    return out;
}

std::vector<uint8_t> Bytes(const std::string &s) {
    return {s.begin(), s.end()};
}

std::vector<Input> Inputs() {
    std::vector<uint8_t> spaces_first(300, ' ');
    const std::vector<uint8_t> text = TextLike(5000, 3);
    spaces_first.insert(spaces_first.end(), text.begin(), text.end());
    return {
        {"empty", {}, false},
        {"one", {'x'}, false},
        {"run", std::vector<uint8_t>(20000, 'a')},
        {"pairs", Repeat(Bytes("ab"), 7000)},
        // Matches into the spaces the window starts with.
        {"spaces", spaces_first},
        // Over 0x8000 symbols of every byte value: the tree is rebuilt several times.
        {"random", RandomBytes(120000, 5), false},
        {"text", TextLike(400000, 6)},
        {"binary", tooltest::BinaryLike(200000, 7)},
        // Repeats at the window's largest distance, one past it and one short of it.
        {"window", Repeat(RandomBytes(4096, 8), 3)},
        {"beyond", Repeat(RandomBytes(4097, 9), 3), false},
        {"within", Repeat(RandomBytes(4095, 10), 3)},
        // Matches of the longest length, 60 bytes, one after another.
        {"long", Repeat(RandomBytes(250, 11), 80)},
    };
}

std::string Quote(const std::string &s) {
    return "'" + s + "'";
}

std::string Log(const std::string &path) {
    const std::vector<uint8_t> bytes = tooltest::ReadBytes(path);
    return std::string(bytes.begin(), bytes.end());
}

// Writes `inputs` into DIR/in, packs them with `pack` (run there, followed by the
// archive's path and the file names), proves the archive with `lhasa t`, extracts it
// with lhasa and decodes every -lh1- member: the bytes must be lhasa's and the input,
// with the member's CRC. Returns the names of the -lh1- members.
std::vector<std::string> CheckAgainstLhasa(const TempDir &dir, const std::string &pack,
                                           const std::vector<Input> &inputs) {
    std::filesystem::create_directories(dir / "in");
    std::filesystem::create_directories(dir / "lhasa");
    std::string names;
    for (const Input &input : inputs) {
        tooltest::WriteBytes(dir / ("in/" + input.name), input.data);
        names += " " + input.name;
    }
    const std::string archive = dir / "x.lzh";
    const std::string log = dir / "log";
    if (tooltest::Run("cd " + Quote(dir / "in") + " && " + pack + " " + Quote(archive) + names,
                      log) != 0) {
        ADD_FAILURE() << "packing failed: " << Log(log);
        return {};
    }
    EXPECT_EQ(tooltest::Run("lhasa t " + Quote(archive), log), 0) << Log(log);
    EXPECT_EQ(tooltest::Run("cd " + Quote(dir / "lhasa") + " && lhasa x " + Quote(archive), log), 0)
        << Log(log);

    const std::vector<uint8_t> bytes = tooltest::ReadBytes(archive);
    const std::vector<ArchiveMember> members = lzhsfx::ReadArchive(bytes.data(), bytes.size());
    EXPECT_EQ(members.size(), inputs.size());
    std::vector<std::string> decoded;
    for (const ArchiveMember &member : members) {
        const std::string &name = member.info.name;
        if (member.method != "-lh1-") {
            continue;
        }
        decoded.push_back(name);
        const std::vector<uint8_t> out =
            DecodeLh1(bytes.data() + member.data_offset, member.packed_size, member.unpacked_size);
        EXPECT_TRUE(out == tooltest::ReadBytes(dir / ("lhasa/" + name))) << name;
        EXPECT_EQ(lzhsfx::Crc16(out.data(), out.size()), member.crc) << name;
        for (const Input &input : inputs) {
            if (input.name == name) {
                EXPECT_TRUE(out == input.data) << name;
            }
        }
    }
    return decoded;
}

// The packed data of `data` as the tests' encoder writes it.
std::vector<uint8_t> Packed(const std::vector<uint8_t> &data) {
    TempDir dir;
    tooltest::WriteBytes(dir / "data", data);
    const std::string log = dir / "log";
    EXPECT_EQ(tooltest::Run("python3 " + Quote(kEncoder) + " " + Quote(dir / "x.lzh") + " " +
                                Quote(dir / "data"),
                            log),
              0)
        << Log(log);
    const std::vector<uint8_t> bytes = tooltest::ReadBytes(dir / "x.lzh");
    const std::vector<ArchiveMember> members = lzhsfx::ReadArchive(bytes.data(), bytes.size());
    EXPECT_EQ(members.size(), 1u);
    const uint8_t *at = bytes.data() + members.at(0).data_offset;
    return {at, at + members[0].packed_size};
}

// Decodes `packed` for `size` bytes: either LzhError or exactly `size` bytes.
void ExpectRefusedOrExact(const std::vector<uint8_t> &packed, size_t size) {
    try {
        EXPECT_EQ(DecodeLh1(packed.data(), packed.size(), size).size(), size);
    } catch (const LzhError &) {
    }
}

TEST(Lh1DecoderTest, ArchivesOfTheTestEncoderDecodeAsLhasaDoes) {
    TempDir dir;
    const std::vector<Input> inputs = Inputs();
    const std::vector<std::string> decoded =
        CheckAgainstLhasa(dir, "python3 " + Quote(kEncoder), inputs);
    EXPECT_EQ(decoded.size(), inputs.size());
}

TEST(Lh1DecoderTest, ArchivesOfJlhaDecodeAsLhasaDoes) {
    if (!tooltest::HaveProgram("javac") || !std::filesystem::exists(kJlhaLibrary)) {
        GTEST_SKIP() << "javac or jLHA is not installed";
    }
    TempDir dir;
    const std::string log = dir / "log";
    ASSERT_EQ(tooltest::Run("javac -cp " + kJlhaLibrary + " -d " + Quote(dir.Path()) + " " +
                                Quote(std::string(TOOL_TESTS_DIR) + "/JlhaLh1.java"),
                            log),
              0)
        << Log(log);
    const std::vector<Input> inputs = Inputs();
    const std::vector<std::string> decoded = CheckAgainstLhasa(
        dir, "java -cp " + kJlhaLibrary + ":" + Quote(dir.Path()) + " JlhaLh1", inputs);
    // jLHA stores what -lh1- would not make smaller.
    for (const Input &input : inputs) {
        if (input.compressible) {
            EXPECT_NE(std::find(decoded.begin(), decoded.end(), input.name), decoded.end())
                << input.name << " was not stored as -lh1-";
        }
    }
}

TEST(Lh1DecoderTest, ALastMatchPastTheSizeEndsThereAsInLhasa) {
    // One literal, then matches of 60 and 39 bytes at distance 1.
    const std::vector<uint8_t> run(100, 'A');
    const std::vector<uint8_t> packed = Packed(run);
    for (size_t size : {0, 1, 2, 5, 60, 61, 62, 99, 100}) {
        EXPECT_TRUE(DecodeLh1(packed.data(), packed.size(), size) ==
                    std::vector<uint8_t>(size, 'A'))
            << size;
    }
    EXPECT_THROW(DecodeLh1(packed.data(), packed.size(), 101), LzhError);

    // lhasa delivers the announced 5 bytes of the same stream and finds their CRC.
    TempDir dir;
    std::vector<uint8_t> member = {0, 0};
    const std::string name = "cut";
    const std::vector<uint8_t> five(5, 'A');
    const uint16_t crc = lzhsfx::Crc16(five.data(), five.size());
    const uint32_t packed_size = static_cast<uint32_t>(packed.size());
    for (uint8_t b : Bytes("-lh1-")) {
        member.push_back(b);
    }
    for (uint32_t field : {packed_size, 5u, 0x5A8C6000u}) {
        for (int i = 0; i < 4; ++i) {
            member.push_back(static_cast<uint8_t>(field >> (8 * i)));
        }
    }
    member.insert(member.end(), {0x20, 0, static_cast<uint8_t>(name.size())});
    member.insert(member.end(), name.begin(), name.end());
    member.insert(member.end(), {static_cast<uint8_t>(crc), static_cast<uint8_t>(crc >> 8)});
    member[0] = static_cast<uint8_t>(member.size() - 2);
    for (size_t i = 2; i < member.size(); ++i) {
        member[1] = static_cast<uint8_t>(member[1] + member[i]);
    }
    member.insert(member.end(), packed.begin(), packed.end());
    member.push_back(0);
    tooltest::WriteBytes(dir / "cut.lzh", member);
    const std::string log = dir / "log";
    ASSERT_EQ(tooltest::Run("cd " + Quote(dir.Path()) + " && lhasa x cut.lzh", log), 0) << Log(log);
    EXPECT_TRUE(tooltest::ReadBytes(dir / "cut") == five);
    const std::vector<ArchiveMember> members = lzhsfx::ReadArchive(member.data(), member.size());
    ASSERT_EQ(members.size(), 1u);
    EXPECT_TRUE(DecodeLh1(member.data() + members[0].data_offset, members[0].packed_size,
                          members[0].unpacked_size) == five);
}

TEST(Lh1DecoderTest, TruncatedStreamsAreRefused) {
    const std::vector<uint8_t> text = TextLike(20000, 12);
    const std::vector<uint8_t> packed = Packed(text);
    ASSERT_TRUE(DecodeLh1(packed.data(), packed.size(), text.size()) == text);
    // Each byte of the stream holds bits of a code, the last one too.
    for (size_t cut = 0; cut < packed.size(); cut += cut + 64 < packed.size() ? 53 : 1) {
        const std::vector<uint8_t> part(packed.begin(), packed.begin() + cut);
        EXPECT_THROW(DecodeLh1(part.data(), part.size(), text.size()), LzhError) << cut;
    }
    // More than the stream holds.
    EXPECT_THROW(DecodeLh1(packed.data(), packed.size(), text.size() + 1), LzhError);
    EXPECT_THROW(DecodeLh1(nullptr, 0, 1), LzhError);
    EXPECT_TRUE(DecodeLh1(nullptr, 0, 0).empty());
}

TEST(Lh1DecoderTest, AnnouncedSizesFarBeyondTheDataAreRefusedWithoutTakingThatMemory) {
    const std::vector<uint8_t> packed = Packed(std::vector<uint8_t>(2000, 'z'));
    for (size_t size : {size_t{1} << 40, SIZE_MAX / 2, SIZE_MAX}) {
        EXPECT_THROW(DecodeLh1(packed.data(), packed.size(), size), LzhError) << size;
        EXPECT_THROW(DecodeLh1(nullptr, 0, size), LzhError) << size;
    }
}

TEST(Lh1DecoderTest, DamagedStreamsAreRefusedOrGiveTheirSize) {
    const std::vector<uint8_t> text = TextLike(6000, 13);
    const std::vector<uint8_t> packed = Packed(text);
    // Every bit of the first 300 bytes flipped in turn.
    for (size_t bit = 0; bit < 8 * std::min<size_t>(packed.size(), 300); ++bit) {
        std::vector<uint8_t> damaged = packed;
        damaged[bit / 8] ^= static_cast<uint8_t>(1 << (bit % 8));
        ExpectRefusedOrExact(damaged, text.size());
    }
    // Noise, announced as sizes small and large.
    for (uint32_t seed = 0; seed < 200; ++seed) {
        const std::vector<uint8_t> noise = RandomBytes(seed * 7 % 900, seed);
        ExpectRefusedOrExact(noise, seed * 131 % 20000);
    }
    // All zero bits or all one bits: the same symbol again and again.
    ExpectRefusedOrExact(std::vector<uint8_t>(5000, 0x00), 200000);
    ExpectRefusedOrExact(std::vector<uint8_t>(5000, 0xFF), 200000);
}

} // namespace
