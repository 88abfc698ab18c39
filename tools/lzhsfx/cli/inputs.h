// The files and folders named on the build command line, walked into the sorted list
// of members an installer will hold.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace cli {

struct InputEntry {
    std::string source; // the path to read
    // The member path's components, outermost first, with "/" between them: in UTF-8,
    // and in Shift-JIS, whose second bytes are never "/". One string each, not a list of
    // components, keeps a list of millions of files small.
    std::string path, sjis;
    bool directory = false;
    uint64_t size = 0;
    uint32_t time = 0; // last write, Unix seconds
    uint8_t attribute = 0x20;
    uint64_t volume = 0, file = 0; // the file's identity, as platform::FileStatus has it
};

// Walks `paths`: a file becomes a member named by its last component, a folder a
// directory entry and, below it, everything it holds, following symbolic links.
// Names are relative to each path's parent. `take` is given the entries in member-path
// order (component by component, a folder right before its contents), so that the
// order does not depend on the order in which the file system lists a folder; nothing
// of the walk is kept but the names of the folders open on the way. Throws Failure for
// a missing or unreadable input, a name Shift-JIS cannot hold or the installer cannot
// store, a path that is too long, and two inputs with the same member path. With
// `warn`, says which members differ from another only in case, and which times lie
// outside what a header holds.
void WalkInputs(const std::vector<std::string> &paths, bool warn,
                const std::function<void(const InputEntry &)> &take);

// The member path in UTF-8, "/" between components and after a directory.
std::string ShowPath(const InputEntry &entry);

// The components of a path with "/" between them.
std::vector<std::string> Components(const std::string &path);

} // namespace cli
