// Helpers of the tool's tests: test data, temporary directories, files, and running
// the LHA peers (lhasa, 7z, unar, jlha) installed on the machine.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace tooltest {

// Deterministic data of `size` bytes: words and lines like a text file.
std::vector<uint8_t> TextLike(size_t size, uint32_t seed);
// Bytes with no structure at all.
std::vector<uint8_t> RandomBytes(size_t size, uint32_t seed);
// A mix like a program file: instruction-like runs, tables, zero padding and text.
std::vector<uint8_t> BinaryLike(size_t size, uint32_t seed);

// A fresh directory under the system's temporary directory, removed with its content
// when the object goes.
class TempDir {
  public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir &) = delete;
    TempDir &operator=(const TempDir &) = delete;
    const std::string &Path() const {
        return path_;
    }
    std::string operator/(const std::string &name) const {
        return path_ + "/" + name;
    }

  private:
    std::string path_;
};

std::vector<uint8_t> ReadBytes(const std::string &path);
void WriteBytes(const std::string &path, const std::vector<uint8_t> &bytes);

// Whether `program` is on the PATH.
bool HaveProgram(const std::string &program);
// Runs `command` through the shell with its output sent to `log`; returns its exit
// status (-1 when it could not run).
int Run(const std::string &command, const std::string &log);

} // namespace tooltest
