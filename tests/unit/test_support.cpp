#include "test_support.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <filesystem>
#include <fstream>
#include <sstream>

void StubTest::SetUp() {
    char pattern[] = "/tmp/lzhsfx-test-XXXXXX";
    root_ = mkdtemp(pattern);
    HostReset(root_);
    State = static_cast<RunState *>(calloc(1, sizeof(RunState)));
    State->OutputFile = INVALID_HANDLE_VALUE;
    State->ArchiveFile = HFILE_ERROR;
    AutoStart = OverwriteSilently = LegacyShell = AskBeforeAssociate = DirFromCommandLine = 0;
    SkipNotNewer = 1;
    ArchiveCrcXor = 0;
    OutputTempPath[0] = 0;
    DdeState = 0;
}

void StubTest::TearDown() {
    if (State != nullptr) {
        free(State->HeaderBuffer);
        free(State);
        State = nullptr;
    }
    HostReset(root_);
    std::filesystem::remove_all(root_);
}

void StubTest::WriteFile(const char *windows_path, const std::string &bytes) {
    std::filesystem::path path = HostPath(windows_path);
    std::filesystem::create_directories(path.parent_path());
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    ASSERT_TRUE(out.good()) << path;
}

std::string StubTest::ReadFile(const char *windows_path) {
    std::ifstream in(HostPath(windows_path), std::ios::binary);
    if (!in) {
        return "<missing>";
    }
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

bool StubTest::Exists(const char *windows_path) {
    return std::filesystem::exists(HostPath(windows_path));
}
