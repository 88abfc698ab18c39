// What a stub knows beyond the settings record, as its image version tells: the PE
// optional header's image version, which loaders pass over, is 1.0 from the first
// stub that takes the silent switch "-s" and the log "-l" on, and 0.0 before it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace cli {

struct ImageVersion {
    uint16_t major = 0;
    uint16_t minor = 0;
};

// The image version of the program image `image`; false when it is no PE32 program.
bool ReadImageVersion(const uint8_t *image, size_t size, ImageVersion *version);

// Whether a stub of this version takes "-s" and "-l".
bool KnowsSilentSwitch(const ImageVersion &version);

// Reads the first `size` bytes of the file at `path` into `bytes`, fewer when it is
// shorter; false, with the system's error at hand, when it cannot be read.
bool ReadFileStart(const std::string &path, size_t size, std::vector<uint8_t> *bytes);

// What `lzhsfx list` says of the installer at `path`, whose stub ends at `stub_end`:
// whether its stub takes the silent switch, with the stub's version.
std::string SilentSwitchOf(const std::string &path, uint64_t stub_end);

} // namespace cli
