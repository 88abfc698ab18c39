// The manifest is found as the loader finds it: the resource directory of the PE
// optional header, mapped to the file through the section table, then the tree of
// type, name and language. Every offset read from the file is checked against the
// bytes there before it is followed.
#include "manifest.h"

#include <algorithm>
#include <cstring>

#include "console.h"
#include "platform.h"
#include "stub_features.h"

namespace cli {

const char *const kExecutionLevels[3] = {"asInvoker", "highestAvailable", "requireAdministrator"};
const char kDefaultExecutionLevel[] = "requireAdministrator";

namespace {

constexpr uint16_t kPe32Magic = 0x10B;
constexpr uint32_t kResourceDirectory = 2;
constexpr uint32_t kManifestType = 24;
constexpr uint32_t kManifestId = 1;
constexpr uint32_t kHighBit = 0x80000000u;
// Reading an installer, the stub is looked at no further than this.
constexpr uint64_t kLongestStub = uint64_t{1} << 20;

const char kElement[] = "<requestedExecutionLevel";
const char kAttribute[] = "level=\"";

uint16_t Le16(const uint8_t *p) {
    return static_cast<uint16_t>(p[0] | p[1] << 8);
}

uint32_t Le32(const uint8_t *p) {
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
           static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}

std::string Quoted(const std::string &s) {
    return "\"" + s + "\"";
}

size_t LongestLevel() {
    size_t longest = 0;
    for (const char *level : kExecutionLevels) {
        longest = std::max(longest, std::strlen(level));
    }
    return longest;
}

class Image {
  public:
    Image(const uint8_t *data, size_t size) : data_(data), size_(size) {}

    bool Has(size_t offset, size_t length) const {
        return offset <= size_ && length <= size_ - offset;
    }
    const uint8_t *At(size_t offset) const {
        return data_ + offset;
    }

    // Reads the headers; false when the image is no PE32 program with a resource
    // directory.
    bool ReadHeaders() {
        if (!Has(0, 0x40) || data_[0] != 'M' || data_[1] != 'Z') {
            return false;
        }
        const size_t pe = Le32(data_ + 0x3C);
        if (!Has(pe, 24) || std::memcmp(data_ + pe, "PE\0\0", 4) != 0) {
            return false;
        }
        sections_ = Le16(data_ + pe + 6);
        const size_t optional_size = Le16(data_ + pe + 20);
        const size_t optional = pe + 24;
        if (!Has(optional, optional_size) || optional_size < 96 + 8 * (kResourceDirectory + 1) ||
            Le16(data_ + optional) != kPe32Magic ||
            Le32(data_ + optional + 92) <= kResourceDirectory) {
            return false;
        }
        table_ = optional + optional_size;
        if (!Has(table_, size_t{40} * sections_)) {
            return false;
        }
        const uint8_t *entry = data_ + optional + 96 + 8 * kResourceDirectory;
        resources_ = Le32(entry);
        resources_size_ = Le32(entry + 4);
        return resources_size_ != 0;
    }

    // The file offset of `length` bytes at `rva`, all in one section's file data.
    bool Map(uint32_t rva, size_t length, size_t *offset) const {
        for (size_t i = 0; i < sections_; ++i) {
            const uint8_t *s = data_ + table_ + 40 * i;
            const uint32_t start = Le32(s + 12), raw_size = Le32(s + 16), raw = Le32(s + 20);
            if (rva >= start && rva - start < raw_size && length <= raw_size - (rva - start) &&
                Has(size_t{raw} + (rva - start), length)) {
                *offset = size_t{raw} + (rva - start);
                return true;
            }
        }
        return false;
    }

    // The entry for `id` in the resource directory at `directory` (an offset into the
    // resources), or any entry when `id` is 0; its target, or false.
    bool Entry(uint32_t directory, uint32_t id, uint32_t *target) const {
        size_t at;
        if (directory > resources_size_ || !Map(resources_ + directory, 16, &at)) {
            return false;
        }
        const size_t named = Le16(data_ + at + 12), ids = Le16(data_ + at + 14);
        size_t entries;
        if (!Map(resources_ + directory + 16, 8 * (named + ids), &entries)) {
            return false;
        }
        for (size_t i = named; i < named + ids; ++i) {
            const uint8_t *e = data_ + entries + 8 * i;
            if (id == 0 || Le32(e) == id) {
                *target = Le32(e + 4);
                return true;
            }
        }
        return false;
    }

    // The manifest's file offset and size.
    bool Manifest(size_t *offset, size_t *length) const {
        uint32_t names, languages, leaf;
        if (!Entry(0, kManifestType, &names) || !(names & kHighBit) ||
            !Entry(names & ~kHighBit, kManifestId, &languages) || !(languages & kHighBit) ||
            !Entry(languages & ~kHighBit, 0, &leaf) || (leaf & kHighBit)) {
            return false;
        }
        size_t at;
        if (leaf > resources_size_ || !Map(resources_ + leaf, 16, &at)) {
            return false;
        }
        *length = Le32(data_ + at + 4);
        return Map(Le32(data_ + at), *length, offset);
    }

  private:
    const uint8_t *data_;
    size_t size_;
    size_t sections_ = 0;
    size_t table_ = 0;
    uint32_t resources_ = 0, resources_size_ = 0;
};

} // namespace

bool IsExecutionLevel(const std::string &level) {
    for (const char *known : kExecutionLevels) {
        if (level == known) {
            return true;
        }
    }
    return false;
}

bool FindLevelSlot(const uint8_t *data, size_t size, LevelSlot *slot, std::string *why) {
    Image image(data, size);
    size_t at = 0, length = 0;
    if (!image.ReadHeaders() || !image.Manifest(&at, &length)) {
        *why = "no manifest";
        return false;
    }
    const std::string text(reinterpret_cast<const char *>(image.At(at)), length);
    const size_t element = text.find(kElement);
    const size_t end = element == std::string::npos ? element : text.find('>', element);
    size_t value = element == std::string::npos ? element : text.find(kAttribute, element);
    if (end == std::string::npos || value == std::string::npos || value > end ||
        (text[value - 1] != ' ' && text[value - 1] != '\t')) {
        *why = "no execution level in its manifest";
        return false;
    }
    value += std::strlen(kAttribute);
    const size_t quote = text.find('"', value);
    if (quote == std::string::npos || quote > end) {
        *why = "no execution level in its manifest";
        return false;
    }
    // The blanks behind the closing quote, all but the one that parts it from the next
    // attribute, are room for a longer value.
    size_t blanks = quote + 1;
    while (blanks < end && text[blanks] == ' ') {
        ++blanks;
    }
    slot->offset = at + value;
    slot->size = blanks - value;
    slot->capacity = blanks - value - (blanks > quote + 1 ? 2 : 1);
    slot->level = text.substr(value, quote - value);
    return true;
}

void SetExecutionLevel(std::vector<uint8_t> *image, const std::string &level,
                       const std::string &path) {
    LevelSlot slot;
    std::string why;
    if (!FindLevelSlot(image->data(), image->size(), &slot, &why)) {
        throw Failure(Quoted(path) + " has " + why +
                      ", so the installer's execution level cannot be set: it is a stub older "
                      "than this tool, or not the installer stub");
    }
    if (slot.capacity < LongestLevel() || !IsExecutionLevel(slot.level)) {
        throw Failure(Quoted(path) +
                      ": its manifest has no room to set the execution level in place "
                      "(it holds " +
                      Quoted(slot.level) + "); it is not the installer stub");
    }
    uint8_t *value = image->data() + slot.offset;
    std::memcpy(value, level.data(), level.size());
    value[level.size()] = '"';
    std::memset(value + level.size() + 1, ' ', slot.size - level.size() - 1);
}

std::string ExecutionLevelOf(const std::string &path, uint64_t stub_end) {
    std::vector<uint8_t> stub;
    if (!ReadFileStart(path, static_cast<size_t>(std::min(stub_end, kLongestStub)), &stub)) {
        return "unknown (cannot read the stub: " + platform::LastError() + ")";
    }
    LevelSlot slot;
    std::string why;
    if (!FindLevelSlot(stub.data(), stub.size(), &slot, &why)) {
        return "none (" + why + ")";
    }
    return slot.level;
}

} // namespace cli
