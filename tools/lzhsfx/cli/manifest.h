// The execution level in the stub's application manifest (resource type 24, id 1):
// the privileges Windows Vista and later give the installer when it starts. The stub
// holds the value followed by room for the longest one, so the level is set in place
// and the manifest keeps its size.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace cli {

// The levels, as the manifest spells them.
extern const char *const kExecutionLevels[3]; // asInvoker, highestAvailable, requireAdministrator
// An installer writes into %ProgramFiles% and registers file types under
// HKEY_CLASSES_ROOT, both of which take an administrator.
extern const char kDefaultExecutionLevel[];

bool IsExecutionLevel(const std::string &level);

// Where the level lies in a program image.
struct LevelSlot {
    size_t offset = 0;   // of the level's value in the image
    size_t size = 0;     // of the value, its closing quote and the blanks behind it
    size_t capacity = 0; // the longest value that fits in place
    std::string level;   // the value there now
};

// Finds the level in the manifest of the program image `image`; false, with `why` set,
// when the image has no manifest or no level in it.
bool FindLevelSlot(const uint8_t *image, size_t size, LevelSlot *slot, std::string *why);

// Sets the level in the image read from `path` in place, the blanks behind the value
// taking up what it leaves. Throws Failure when the image has no manifest with room
// for every level.
void SetExecutionLevel(std::vector<uint8_t> *image, const std::string &level,
                       const std::string &path);

// The level of the installer at `path`, whose stub ends at `stub_end`, or a note saying
// why it has none.
std::string ExecutionLevelOf(const std::string &path, uint64_t stub_end);

} // namespace cli
