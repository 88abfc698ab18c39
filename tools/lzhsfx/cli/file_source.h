// Files as byte sources: an archive read where it lies, and a scratch file that grows.
#pragma once

#include <string>
#include <vector>

#include "byte_source.h"
#include "platform.h"

namespace cli {

// A file opened for reading. Reads throw LzhError naming the file.
class FileSource final : public lzhsfx::ByteSource {
  public:
    // Throws Failure when the file cannot be opened or its size cannot be told.
    explicit FileSource(const std::string &path);
    ~FileSource() override;
    FileSource(const FileSource &) = delete;
    FileSource &operator=(const FileSource &) = delete;

    uint64_t size() const override {
        return size_;
    }
    void Read(uint64_t offset, uint8_t *out, size_t n) const override;

  private:
    std::string path_;
    platform::NativeFile file_ = platform::kNoFile;
    uint64_t size_ = 0;
};

// A scratch file (platform::CreateScratch), made when its first bytes are written;
// appends are gathered in a buffer, written out when it fills or before a read.
class FileSpool final : public lzhsfx::Spool {
  public:
    FileSpool() = default;
    ~FileSpool() override;
    FileSpool(const FileSpool &) = delete;
    FileSpool &operator=(const FileSpool &) = delete;

    uint64_t size() const override {
        return size_;
    }
    void Read(uint64_t offset, uint8_t *out, size_t n) const override;
    uint64_t Append(const uint8_t *data, size_t n) override;

  private:
    void Write(const uint8_t *data, size_t n) const;
    void Flush() const;

    mutable platform::NativeFile file_ = platform::kNoFile;
    mutable std::vector<uint8_t> pending_; // the bytes from written_ on
    mutable uint64_t written_ = 0;
    uint64_t size_ = 0;
};

} // namespace cli
