#include "pe_image.h"

#include <string.h>

namespace {

// Bounds-checked little-endian reads of a byte vector; every read outside sets `bad`.
struct Reader {
    const std::vector<uint8_t> &bytes;
    bool bad = false;

    bool Has(uint64_t at, uint64_t n) {
        if (at > bytes.size() || n > bytes.size() - at) {
            bad = true;
            return false;
        }
        return true;
    }
    uint32_t U16(uint64_t at) {
        return Has(at, 2) ? bytes[at] | bytes[at + 1] << 8 : 0;
    }
    uint32_t U32(uint64_t at) {
        return Has(at, 4) ? static_cast<uint32_t>(bytes[at]) | bytes[at + 1] << 8 |
                                bytes[at + 2] << 16 | static_cast<uint32_t>(bytes[at + 3]) << 24
                          : 0;
    }
    // A NUL-terminated string starting at `at`.
    std::string Text(uint64_t at) {
        std::string out;
        while (Has(at, 1) && bytes[at] != 0) {
            out += static_cast<char>(bytes[at++]);
        }
        return out;
    }
};

std::string Upper(std::string s) {
    for (char &c : s) {
        if (c >= 'a' && c <= 'z') {
            c = static_cast<char>(c - 'a' + 'A');
        }
    }
    return s;
}

// A resource directory entry's name: "#n" for an ordinal, else its UTF-16 name in
// upper case (the names here are ASCII).
std::string EntryName(Reader &image, uint32_t directory, uint32_t entry) {
    uint32_t id = image.U32(entry);
    if ((id & 0x80000000u) == 0) {
        return "#" + std::to_string(id);
    }
    uint32_t at = directory + (id & 0x7FFFFFFFu);
    uint32_t length = image.U16(at);
    std::string name;
    for (uint32_t i = 0; i < length; ++i) {
        uint32_t c = image.U16(at + 2 + 2 * i);
        name += c < 0x80 ? static_cast<char>(c) : '?';
    }
    return Upper(name);
}

void ReadResources(Reader &image, uint32_t root, PeImage *out) {
    // Three levels: type, name, language (the first language of each name is taken).
    auto entries = [&](uint32_t directory) {
        return image.U16(directory + 12) + image.U16(directory + 14);
    };
    for (uint32_t t = 0, nt = entries(root); t < nt && !image.bad; ++t) {
        uint32_t type_entry = root + 16 + 8 * t;
        uint32_t names = image.U32(type_entry + 4);
        if ((names & 0x80000000u) == 0) {
            continue;
        }
        uint32_t names_dir = root + (names & 0x7FFFFFFFu);
        for (uint32_t n = 0, nn = entries(names_dir); n < nn && !image.bad; ++n) {
            uint32_t name_entry = names_dir + 16 + 8 * n;
            uint32_t languages = image.U32(name_entry + 4);
            if ((languages & 0x80000000u) == 0) {
                continue;
            }
            uint32_t languages_dir = root + (languages & 0x7FFFFFFFu);
            if (entries(languages_dir) == 0) {
                continue;
            }
            uint32_t data_entry = root + image.U32(languages_dir + 16 + 4);
            uint32_t rva = image.U32(data_entry);
            uint32_t size = image.U32(data_entry + 4);
            if (!image.Has(rva, size)) {
                return;
            }
            out->resources.push_back(PeImage::Resource{
                EntryName(image, root, type_entry), EntryName(image, root, name_entry),
                std::vector<uint8_t>(image.bytes.begin() + rva, image.bytes.begin() + rva + size)});
        }
    }
}

} // namespace

const PeImage::Resource *PeImage::FindResource(const std::string &type,
                                               const std::string &name) const {
    for (const Resource &r : resources) {
        if (r.type == type && r.name == Upper(name)) {
            return &r;
        }
    }
    return nullptr;
}

bool LoadPeImage(const std::vector<uint8_t> &file, uint32_t base, PeImage *image,
                 std::string *error) {
    Reader in{file};
    if (in.U16(0) != 0x5A4D) {
        *error = "no MZ header";
        return false;
    }
    uint32_t pe = in.U32(0x3C);
    if (in.U32(pe) != 0x00004550 || in.U16(pe + 4) != 0x014C) {
        *error = "not a PE program for i386";
        return false;
    }
    uint32_t sections = in.U16(pe + 6);
    uint32_t optional_size = in.U16(pe + 20);
    uint32_t optional = pe + 24;
    if (in.U16(optional) != 0x10B) {
        *error = "not a PE32 optional header";
        return false;
    }
    image->entry = in.U32(optional + 16);
    image->preferred_base = in.U32(optional + 28);
    image->image_size = in.U32(optional + 56);
    uint32_t header_size = in.U32(optional + 60);
    image->stack_reserve = in.U32(optional + 72);
    uint32_t directories = in.U32(optional + 92);
    if (in.bad || image->image_size == 0 || image->image_size > (64u << 20) ||
        header_size > image->image_size) {
        *error = "an image size this loader does not take";
        return false;
    }
    auto directory = [&](uint32_t index, uint32_t *rva, uint32_t *size) {
        *rva = index < directories ? in.U32(optional + 96 + 8 * index) : 0;
        *size = index < directories ? in.U32(optional + 100 + 8 * index) : 0;
    };

    image->memory.assign(image->image_size, 0);
    if (!in.Has(0, header_size)) {
        *error = "the headers run past the file";
        return false;
    }
    memcpy(image->memory.data(), file.data(), header_size);
    uint32_t table = optional + optional_size;
    for (uint32_t i = 0; i < sections; ++i) {
        uint32_t s = table + 40 * i;
        uint32_t virtual_size = in.U32(s + 8);
        uint32_t rva = in.U32(s + 12);
        uint32_t raw_size = in.U32(s + 16);
        uint32_t raw = in.U32(s + 20);
        uint32_t copied = raw_size < virtual_size || virtual_size == 0 ? raw_size : virtual_size;
        if (in.bad || !in.Has(raw, copied) || rva > image->image_size ||
            copied > image->image_size - rva) {
            *error = "section " + std::to_string(i) + " lies outside the file or the image";
            return false;
        }
        memcpy(image->memory.data() + rva, file.data() + raw, copied);
    }

    Reader mem{image->memory};
    uint32_t rva, size;
    // Base relocations: only 32-bit absolute ones (and padding) are expected.
    directory(5, &rva, &size);
    int64_t delta = static_cast<int64_t>(base) - image->preferred_base;
    for (uint32_t block = rva; size != 0 && block < rva + size;) {
        uint32_t page = mem.U32(block);
        uint32_t block_size = mem.U32(block + 4);
        if (mem.bad || block_size < 8) {
            *error = "a damaged base relocation block";
            return false;
        }
        for (uint32_t at = block + 8; at + 2 <= block + block_size; at += 2) {
            uint32_t entry = mem.U16(at);
            uint32_t kind = entry >> 12;
            uint32_t target = page + (entry & 0xFFF);
            if (kind == 0) {
                continue;
            }
            if (kind != 3 || !mem.Has(target, 4)) {
                *error = "a base relocation of kind " + std::to_string(kind) + " at " +
                         std::to_string(target);
                return false;
            }
            uint32_t value = mem.U32(target) + static_cast<uint32_t>(delta);
            memcpy(image->memory.data() + target, &value, 4);
        }
        block += block_size;
    }

    // Imports: each descriptor names a DLL, its name table and its address table.
    directory(1, &rva, &size);
    for (uint32_t d = rva; rva != 0; d += 20) {
        uint32_t names = mem.U32(d);
        uint32_t dll = mem.U32(d + 12);
        uint32_t slots = mem.U32(d + 16);
        if (mem.bad) {
            *error = "a damaged import table";
            return false;
        }
        if (dll == 0 && slots == 0) {
            break;
        }
        std::string dll_name = Upper(mem.Text(dll));
        uint32_t lookup = names != 0 ? names : slots;
        for (uint32_t i = 0;; ++i) {
            uint32_t entry = mem.U32(lookup + 4 * i);
            if (mem.bad) {
                *error = "a damaged import table of " + dll_name;
                return false;
            }
            if (entry == 0) {
                break;
            }
            std::string name = (entry & 0x80000000u) != 0 ? "#" + std::to_string(entry & 0xFFFF)
                                                          : mem.Text(entry + 2);
            image->imports.push_back(PeImport{dll_name, name, slots + 4 * i});
        }
    }

    directory(2, &rva, &size);
    if (rva != 0) {
        ReadResources(mem, rva, image);
    }
    if (mem.bad) {
        *error = "a damaged resource directory";
        return false;
    }
    return true;
}
