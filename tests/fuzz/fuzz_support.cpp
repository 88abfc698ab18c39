#include "fuzz_support.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "archive_builder.h"
#include "fresh_run_state.h"

namespace {

std::string &Root() {
    static std::string root;
    return root;
}

void RemoveRoot() {
    std::error_code ignored;
    std::filesystem::remove_all(Root(), ignored);
}

uint16_t Le16(const std::string &s, size_t at) {
    return static_cast<uint16_t>(static_cast<uint8_t>(s[at]) |
                                 (static_cast<uint8_t>(s[at + 1]) << 8));
}

uint32_t Le32(const std::string &s, size_t at) {
    return Le16(s, at) | (static_cast<uint32_t>(Le16(s, at + 2)) << 16);
}

void Put16(std::string &s, size_t at, uint16_t v) {
    s[at] = static_cast<char>(v & 0xFF);
    s[at + 1] = static_cast<char>(v >> 8);
}

} // namespace

const std::string &FuzzRoot() {
    if (Root().empty()) {
        // Memory-backed when the machine has it: every input writes files.
        char pattern[] = "/dev/shm/lzhsfx-fuzz-XXXXXX";
        char fallback[] = "/tmp/lzhsfx-fuzz-XXXXXX";
        const char *made = mkdtemp(pattern);
        if (made == nullptr) {
            made = mkdtemp(fallback);
        }
        if (made == nullptr) {
            perror("mkdtemp");
            abort();
        }
        Root() = made;
        atexit(RemoveRoot);
    }
    return Root();
}

void FuzzBegin() {
    FuzzRoot();
    HostReset(Root()); // closes what a run left open
    std::error_code ignored;
    for (const auto &entry : std::filesystem::directory_iterator(Root(), ignored)) {
        std::filesystem::remove_all(entry.path(), ignored);
    }
    HostReset(Root());
    StartFreshRunState();
}

void FuzzEnd() {
    if (State != nullptr) {
        free(State->HeaderBuffer);
        free(State);
        State = nullptr;
    }
}

void FuzzFail(const char *file, int line, const char *what) {
    fprintf(stderr, "%s:%d: property broken: %s\n", file, line, what);
    abort();
}

void FuzzWriteFile(const char *windows_path, const std::string &bytes) {
    std::filesystem::path path = HostPath(windows_path);
    std::filesystem::create_directories(path.parent_path());
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    if (!out.good()) {
        FuzzFail(__FILE__, __LINE__, "writing a host file");
    }
}

std::vector<std::string> FuzzFiles() {
    std::vector<std::string> files;
    std::error_code ignored;
    for (auto it = std::filesystem::recursive_directory_iterator(Root(), ignored);
         it != std::filesystem::recursive_directory_iterator(); it.increment(ignored)) {
        if (it->is_regular_file(ignored)) {
            files.push_back(it->path().string());
        }
    }
    return files;
}

void FuzzRepairHeaders(std::string &archive, size_t at, bool archive_sum) {
    uint16_t sum = 0;
    size_t first = at;
    for (int members = 0; members < 256 && at + 26 <= archive.size(); ++members) {
        size_t size = Le16(archive, at);
        if (size < 26 || size >= 0x8000 || at + size > archive.size()) {
            break;
        }
        std::string header = archive.substr(at, size);
        sum ^= Le16(header, 21);
        size_t ext = 24, crc_at = 0;
        while (ext + 2 <= size) {
            size_t record = Le16(header, ext);
            if (record < 3 || ext + 2 + record > size) {
                break;
            }
            if (header[ext + 2] == 0 && record >= 5) {
                crc_at = ext + 3;
            }
            ext += record;
        }
        if (crc_at != 0) {
            Put16(header, crc_at, 0);
            Put16(header, crc_at, ReferenceCrc(header));
            archive.replace(at, size, header);
        }
        at += size;
        if (header[5] != 'd') {
            uint32_t packed = Le32(header, 7);
            if (packed > archive.size() - at) {
                break;
            }
            at += packed;
        }
    }
    if (archive_sum && first >= 2) {
        Put16(archive, first - 2, sum);
    }
}

bool FuzzSizesBounded(const std::string &archive, size_t at, uint32_t limit) {
    for (int members = 0; members < 256 && at + 26 <= archive.size(); ++members) {
        size_t size = Le16(archive, at);
        if (size < 26 || at + size > archive.size()) {
            return true; // the reader stops here
        }
        if (Le32(archive, at + 11) > limit) {
            return false;
        }
        uint32_t packed = archive[at + 5] == 'd' ? 0 : Le32(archive, at + 7);
        if (packed > archive.size() - at - size) {
            return true;
        }
        at += size + packed;
    }
    return true;
}

size_t FuzzTextLength(const uint8_t *data, size_t size, size_t limit) {
    size_t n = 0;
    while (n < size && n < limit && data[n] != 0) {
        ++n;
    }
    return n;
}
