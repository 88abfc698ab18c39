#include "tool_test_support.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <stdexcept>
#include <sys/wait.h>

namespace tooltest {

std::vector<uint8_t> TextLike(size_t size, uint32_t seed) {
    static const char *const kWords[] = {
        "the",     "archive", "member", "header", "install", "program", "folder", "file",
        "window",  "setup",   "copy",   "data",   "code",    "block",   "table",  "of",
        "and",     "to",      "a",      "is",     "with",    "for",     "on",     "that",
        "Windows", "LZH",     "method", "size",   "time",    "name",    "path",   "CRC"};
    std::mt19937 rng(seed);
    std::vector<uint8_t> out;
    size_t line = 0;
    while (out.size() < size) {
        // Skewed choice: a few words are much more frequent than others.
        const uint32_t r = rng();
        const size_t word = (r % 32) * ((r >> 8) % 32) / 32;
        for (const char *p = kWords[word]; *p != 0; ++p) {
            out.push_back(static_cast<uint8_t>(*p));
        }
        line += std::char_traits<char>::length(kWords[word]) + 1;
        if (line > 60 + (r >> 20) % 20) {
            out.push_back('\n');
            line = 0;
        } else {
            out.push_back(' ');
        }
        if ((r >> 16) % 97 == 0) {
            const std::string number = std::to_string(rng() % 100000);
            out.insert(out.end(), number.begin(), number.end());
            out.push_back(' ');
        }
    }
    out.resize(size);
    return out;
}

std::vector<uint8_t> RandomBytes(size_t size, uint32_t seed) {
    std::mt19937 rng(seed);
    std::vector<uint8_t> out(size);
    for (uint8_t &b : out) {
        b = static_cast<uint8_t>(rng() >> 24);
    }
    return out;
}

std::vector<uint8_t> BinaryLike(size_t size, uint32_t seed) {
    std::mt19937 rng(seed);
    std::vector<uint8_t> out;
    const std::vector<uint8_t> text = TextLike(4096, seed + 1);
    while (out.size() < size) {
        const uint32_t kind = rng() % 4;
        const size_t length = 64 + rng() % 2048;
        for (size_t i = 0; i < length; ++i) {
            switch (kind) {
            case 0: // instruction-like: few opcodes, varied operands
                out.push_back(static_cast<uint8_t>((i % 3 == 0) ? 0x48 + rng() % 4 : rng() % 64));
                break;
            case 1: // a table of little-endian 32-bit values
                out.push_back(static_cast<uint8_t>((i % 4 == 0)   ? (i / 4) * 12
                                                   : (i % 4 == 1) ? 0x10
                                                                  : 0));
                break;
            case 2: // zero padding
                out.push_back(0);
                break;
            default: // strings
                out.push_back(text[(i + rng() % 8) % text.size()]);
                break;
            }
        }
    }
    out.resize(size);
    return out;
}

TempDir::TempDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "lzhtoolXXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) {
        throw std::runtime_error("cannot make a temporary directory");
    }
    path_ = pattern;
}

TempDir::~TempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
}

std::vector<uint8_t> ReadBytes(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        throw std::runtime_error("cannot read " + path);
    }
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void WriteBytes(const std::string &path, const std::vector<uint8_t> &bytes) {
    std::ofstream out(path, std::ios::binary);
    out.write(reinterpret_cast<const char *>(bytes.data()),
              static_cast<std::streamsize>(bytes.size()));
    if (!out) {
        throw std::runtime_error("cannot write " + path);
    }
}

bool HaveProgram(const std::string &program) {
    return Run("command -v " + program, "/dev/null") == 0;
}

int Run(const std::string &command, const std::string &log) {
    const int status = std::system((command + " >'" + log + "' 2>&1 </dev/null").c_str());
    if (status == -1 || !WIFEXITED(status)) {
        return -1;
    }
    return WEXITSTATUS(status);
}

} // namespace tooltest
