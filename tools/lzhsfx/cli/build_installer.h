// `lzhsfx build`: the installer from the stub, its settings record and an archive of
// the given files, or of an existing archive.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "manifest.h"
#include "settings_record.h"

namespace cli {

struct BuildOptions {
    std::string output;
    std::string stub;  // empty: the stub next to the tool, then the build tree's
    char method = '7'; // '0', '5', '6' or '7'
    int level = 6;
    int threads = 0;
    Settings settings;
    std::string execution_level = kDefaultExecutionLevel; // set in the stub's manifest
    std::string notice_file;
    std::string directives_file;
    std::string from_archive;
    // Members of the archive whose paths start at a drive's root or with a drive letter
    // are kept as they are, for the installer to honour.
    bool allow_outside = false;
    std::vector<std::string> paths;
    bool verify = false;
    int32_t dos_time_offset = 0; // of level-0/1 archives' times, seconds east of UTC
};

// Writes the installer, or throws Failure and leaves the output as it was.
void BuildInstaller(const BuildOptions &options);

// The stub `build` takes without --stub, or the places it looked in.
std::string DefaultStub(std::vector<std::string> *looked_in);

} // namespace cli
