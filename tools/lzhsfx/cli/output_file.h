// A file written in full or not at all: the bytes go to a temporary file next to the
// target, which takes the target's name only when it is complete. An error, an
// exception or an interrupt leaves the target as it was and no temporary file behind.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "platform.h"

namespace cli {

class OutputFile {
  public:
    // Throws Failure when the target's folder cannot take a new file or the target is
    // a folder.
    explicit OutputFile(const std::string &target);
    ~OutputFile();
    OutputFile(const OutputFile &) = delete;
    OutputFile &operator=(const OutputFile &) = delete;

    void Write(const uint8_t *data, size_t size);
    void WriteAt(uint64_t offset, const uint8_t *data, size_t size);
    // Cuts the file to `size` bytes; writing goes on there.
    void Truncate(uint64_t size);
    uint64_t size() const {
        return size_;
    }
    const std::string &temporary_path() const {
        return temporary_;
    }
    // Makes the file the target.
    void Commit();

  private:
    [[noreturn]] void Fail(const char *what);

    std::string target_;
    std::string temporary_;
    platform::NativeFile file_ = platform::kNoFile;
    uint64_t size_ = 0;
};

} // namespace cli
