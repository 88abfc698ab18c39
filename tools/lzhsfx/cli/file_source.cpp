#include "file_source.h"

#include "console.h"
#include "lzh_writer.h"

namespace cli {
namespace {

std::string Quoted(const std::string &s) {
    return "\"" + s + "\"";
}

// Reads exactly `n` bytes at `offset`, or throws LzhError with `what` and the reason.
void ReadExactly(platform::NativeFile file, uint64_t offset, uint8_t *out, size_t n,
                 const std::string &what) {
    size_t got = 0;
    if (!platform::ReadAt(file, offset, out, n, &got)) {
        throw lzhsfx::LzhError(what + ": cannot read: " + platform::LastError());
    }
    if (got != n) {
        throw lzhsfx::LzhError(what + ": cannot read: it ended at byte " +
                               std::to_string(offset + got) + " while being read");
    }
}

} // namespace

FileSource::FileSource(const std::string &path) : path_(path) {
    file_ = platform::OpenForReading(path);
    if (file_ == platform::kNoFile) {
        throw Failure(Quoted(path) + ": cannot open: " + platform::LastError());
    }
    if (!platform::Size(file_, &size_)) {
        const std::string error = platform::LastError();
        platform::Close(file_);
        throw Failure(Quoted(path) + ": cannot read: " + error);
    }
}

FileSource::~FileSource() {
    platform::Close(file_);
}

void FileSource::Read(uint64_t offset, uint8_t *out, size_t n) const {
    ReadExactly(file_, offset, out, n, Quoted(path_));
}

FileSpool::~FileSpool() {
    if (file_ != platform::kNoFile) {
        platform::Close(file_);
    }
}

void FileSpool::Write(const uint8_t *data, size_t n) const {
    if (file_ == platform::kNoFile) {
        file_ = platform::CreateScratch();
        if (file_ == platform::kNoFile) {
            throw Failure("cannot create a scratch file: " + platform::LastError());
        }
    }
    if (!platform::WriteAt(file_, written_, data, n)) {
        throw Failure("cannot write the scratch file: " + platform::LastError());
    }
    written_ += n;
}

void FileSpool::Flush() const {
    if (!pending_.empty()) {
        Write(pending_.data(), pending_.size());
        pending_.clear();
    }
}

void FileSpool::Read(uint64_t offset, uint8_t *out, size_t n) const {
    if (n == 0) {
        return;
    }
    if (offset + n > written_) {
        Flush();
    }
    ReadExactly(file_, offset, out, n, "the scratch file");
}

uint64_t FileSpool::Append(const uint8_t *data, size_t n) {
    constexpr size_t kBuffer = 65536;
    const uint64_t at = size_;
    if (pending_.size() + n > kBuffer) {
        Flush();
    }
    if (n >= kBuffer) {
        Write(data, n);
    } else {
        pending_.insert(pending_.end(), data, data + n);
    }
    size_ += n;
    return at;
}

} // namespace cli
