#include "output_file.h"

#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "console.h"

namespace cli {
namespace {

// The temporary file an interrupt must remove, kept where a signal handler can read it.
char pending[4096];

void RemovePending(int signal) {
    if (pending[0] != 0) {
        unlink(pending);
    }
    std::signal(signal, SIG_DFL);
    std::raise(signal);
}

void Guard(const std::string &path) {
    if (path.size() < sizeof pending) {
        std::memcpy(pending, path.c_str(), path.size() + 1);
    }
    for (int s : {SIGINT, SIGTERM, SIGHUP, SIGPIPE}) {
        std::signal(s, RemovePending);
    }
}

void Unguard() {
    pending[0] = 0;
    for (int s : {SIGINT, SIGTERM, SIGHUP, SIGPIPE}) {
        std::signal(s, SIG_DFL);
    }
}

std::string Quoted(const std::string &s) {
    return "\"" + s + "\"";
}

} // namespace

OutputFile::OutputFile(const std::string &target) : target_(target) {
    struct stat st;
    if (stat(target.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) {
        throw Failure(Quoted(target) + " is a folder");
    }
    std::vector<char> name(target.begin(), target.end());
    const char suffix[] = ".tmp-XXXXXX";
    name.insert(name.end(), suffix, suffix + sizeof suffix);
    fd_ = mkstemp(name.data());
    if (fd_ < 0) {
        throw Failure(Quoted(target) + ": cannot write: " + std::strerror(errno));
    }
    temporary_ = name.data();
    Guard(temporary_);
}

OutputFile::~OutputFile() {
    if (fd_ >= 0) {
        close(fd_);
        unlink(temporary_.c_str());
        Unguard();
    }
}

void OutputFile::Fail(const char *what) {
    const int error = errno;
    close(fd_);
    unlink(temporary_.c_str());
    fd_ = -1;
    Unguard();
    throw Failure(Quoted(target_) + ": " + what + ": " + std::strerror(error));
}

void OutputFile::Write(const uint8_t *data, size_t size) {
    WriteAt(size_, data, size);
}

void OutputFile::WriteAt(uint64_t offset, const uint8_t *data, size_t size) {
    size_t done = 0;
    while (done < size) {
        const ssize_t n = pwrite(fd_, data + done, size - done, static_cast<off_t>(offset + done));
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            if (n == 0) {
                errno = ENOSPC;
            }
            Fail("cannot write");
        }
        done += static_cast<size_t>(n);
    }
    if (offset + size > size_) {
        size_ = offset + size;
    }
}

void OutputFile::Commit() {
    // mkstemp made the file private; give it the permissions a new file gets.
    const mode_t mask = umask(0);
    umask(mask);
    if (fchmod(fd_, 0666 & ~mask) != 0 || fsync(fd_) != 0) {
        Fail("cannot write");
    }
    if (close(fd_) != 0) {
        fd_ = -1;
        unlink(temporary_.c_str());
        Unguard();
        throw Failure(Quoted(target_) + ": cannot write: " + std::strerror(errno));
    }
    fd_ = -1;
    if (rename(temporary_.c_str(), target_.c_str()) != 0) {
        const int error = errno;
        unlink(temporary_.c_str());
        Unguard();
        throw Failure(Quoted(target_) + ": cannot write: " + std::strerror(error));
    }
    Unguard();
}

} // namespace cli
