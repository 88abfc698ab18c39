#include "output_file.h"

#include "console.h"
#include "platform.h"

namespace cli {
namespace {

std::string Quoted(const std::string &s) {
    return "\"" + s + "\"";
}

} // namespace

OutputFile::OutputFile(const std::string &target) : target_(target) {
    platform::FileStatus status;
    if (platform::Status(target, &status) && status.directory) {
        throw Failure(Quoted(target) + " is a folder");
    }
    file_ = platform::CreateTemporary(target, &temporary_);
    if (file_ == platform::kNoFile) {
        throw Failure(Quoted(target) + ": cannot write: " + platform::LastError());
    }
}

OutputFile::~OutputFile() {
    if (file_ != platform::kNoFile) {
        platform::Close(file_);
        platform::RemoveFile(temporary_);
        platform::Unguard();
    }
}

void OutputFile::Fail(const char *what) {
    const std::string error = platform::LastError();
    if (file_ != platform::kNoFile) {
        platform::Close(file_);
        file_ = platform::kNoFile;
    }
    platform::RemoveFile(temporary_);
    platform::Unguard();
    throw Failure(Quoted(target_) + ": " + what + ": " + error);
}

void OutputFile::Write(const uint8_t *data, size_t size) {
    WriteAt(size_, data, size);
}

void OutputFile::WriteAt(uint64_t offset, const uint8_t *data, size_t size) {
    if (!platform::WriteAt(file_, offset, data, size)) {
        Fail("cannot write");
    }
    if (offset + size > size_) {
        size_ = offset + size;
    }
}

void OutputFile::Truncate(uint64_t size) {
    if (!platform::Truncate(file_, size)) {
        Fail("cannot write");
    }
    size_ = size;
}

void OutputFile::Commit() {
    const platform::NativeFile file = file_;
    file_ = platform::kNoFile; // closed by FinishTemporary whatever it returns
    if (!platform::FinishTemporary(file) || !platform::Replace(temporary_, target_)) {
        Fail("cannot write");
    }
    platform::Unguard();
}

} // namespace cli
