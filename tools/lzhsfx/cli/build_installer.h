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
    std::string stub;  // empty: DefaultStub()
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

// The environment variable naming the stub `build` takes without --stub.
constexpr char kStubVariable[] = "LZHSFX_STUB";

// The stub `build` takes without --stub: the file LZHSFX_STUB names when it is set (not
// looked at here), else the first readable one of sfxstub.exe beside the tool,
// ../share/lzhsfx/sfxstub.exe and ../win32/sfxstub.exe from it.
struct StubChoice {
    std::string path; // empty: none found
    bool from_environment = false;
    std::vector<std::string> looked_in; // the places tried, in order
};
StubChoice DefaultStub();

// The places `choice` looked in, quoted: "A", "B" and "C".
std::string LookedIn(const StubChoice &choice);

} // namespace cli
