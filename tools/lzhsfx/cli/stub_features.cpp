#include "stub_features.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "platform.h"

namespace cli {
namespace {

constexpr uint16_t kPe32Magic = 0x10B;
constexpr size_t kImageVersionAt = 44; // in the optional header
// The PE header of an installer is looked for no further than this.
constexpr size_t kHeaderSpan = 4096;

uint16_t Le16(const uint8_t *p) {
    return static_cast<uint16_t>(p[0] | p[1] << 8);
}

} // namespace

bool ReadImageVersion(const uint8_t *image, size_t size, ImageVersion *version) {
    if (size < 0x40 || image[0] != 'M' || image[1] != 'Z') {
        return false;
    }
    const size_t pe = static_cast<size_t>(image[0x3C]) | static_cast<size_t>(image[0x3D]) << 8 |
                      static_cast<size_t>(image[0x3E]) << 16 |
                      static_cast<size_t>(image[0x3F]) << 24;
    const size_t optional = pe + 24;
    if (pe > size || size - pe < 24 + kImageVersionAt + 4 ||
        std::memcmp(image + pe, "PE\0\0", 4) != 0 || Le16(image + optional) != kPe32Magic) {
        return false;
    }
    version->major = Le16(image + optional + kImageVersionAt);
    version->minor = Le16(image + optional + kImageVersionAt + 2);
    return true;
}

bool KnowsSilentSwitch(const ImageVersion &version) {
    return version.major >= 1;
}

bool ReadFileStart(const std::string &path, size_t size, std::vector<uint8_t> *bytes) {
    bytes->resize(size);
    const platform::NativeFile file = platform::OpenForReading(path);
    size_t got = 0;
    const bool read = file != platform::kNoFile && platform::Read(file, bytes->data(), size, &got);
    if (file != platform::kNoFile) {
        platform::Close(file);
    }
    bytes->resize(got);
    return read;
}

std::string SilentSwitchOf(const std::string &path, uint64_t stub_end) {
    std::vector<uint8_t> head;
    if (!ReadFileStart(path, static_cast<size_t>(std::min<uint64_t>(stub_end, kHeaderSpan)),
                       &head)) {
        return "unknown (cannot read the stub: " + platform::LastError() + ")";
    }
    ImageVersion version;
    if (!ReadImageVersion(head.data(), head.size(), &version)) {
        return "unknown (the stub is no PE32 program)";
    }
    const std::string stub =
        "stub " + std::to_string(version.major) + "." + std::to_string(version.minor);
    return KnowsSilentSwitch(version) ? "-s and -l known (" + stub + ")"
                                      : "not known (" + stub + ", older than -s)";
}

} // namespace cli
