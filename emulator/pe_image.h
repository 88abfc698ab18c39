// Reads a PE32 i386 program the way the Windows loader does, for the emulator: its
// sections laid out at a chosen base, its base relocations applied, its imports listed
// with the address-table slot each fills, and its resources found by type and name.
#pragma once

#include <stdint.h>

#include <string>
#include <vector>

struct PeImport {
    std::string dll;  // as the import table names it, upper-cased
    std::string name; // the function's name; "#n" for an import by ordinal
    uint32_t slot;    // the address-table entry the loader fills, as an offset in the image
};

struct PeImage {
    uint32_t preferred_base = 0;
    uint32_t image_size = 0;
    uint32_t entry = 0; // offset in the image
    uint32_t stack_reserve = 0;
    std::vector<uint8_t> memory; // the image as the loader lays it out, from offset 0
    std::vector<PeImport> imports;
    // Resource data by type and name, each an ordinal or an upper-cased name.
    struct Resource {
        std::string type;
        std::string name;
        std::vector<uint8_t> data;
    };
    std::vector<Resource> resources;

    const Resource *FindResource(const std::string &type, const std::string &name) const;
};

// Loads `file` for the base `base`; false with the reason in `error` when the file is
// not a PE32 i386 program that this loader can lay out, or a table points outside it.
bool LoadPeImage(const std::vector<uint8_t> &file, uint32_t base, PeImage *image,
                 std::string *error);
