// The whole run over an installer on the host double: the scan pass and, when it
// succeeds, the extract pass into C:\Dest. Each pass either returns, with the
// archive closed, no file left open and the header buffer released, or ends the
// process with status 1 after its message; no temporary output file ever stays.
//
// Input: two bytes of options, then the archive appended to the stub.
// Byte 0: bits 0 to 3 the settings flags (bit 2: the archive checksum); bit 4:
// repair the header checksums (and the archive checksum); bit 5: `LegacyShell`;
// bit 6: short names (a volume without long names); bit 7: restore attributes.
// Byte 1: bit 0: decline the first question; bit 1: existing files in the way;
// bit 2: the destination is the bare drive C:; bit 3: cancel at the first progress
// step; bits 4 and 5: `OverwriteSilently`, `SkipNotNewer`.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "archive/archive_pass.h"
#include "archive_builder.h"
#include "fuzz_support.h"
#include "platform/host_state.h"

namespace {

HWND const kDialog = reinterpret_cast<HWND>(0x1234);

int Scan(void *) {
    return ArchivePass(nullptr, kScanMode) ? 2 : 3;
}

int Extract(void *) {
    return ArchivePass(kDialog, kExtractMode) ? 2 : 3;
}

void CancelOnPump() {
    State->CancelRequested = 1;
}

// What every way out of a pass leaves behind.
void CheckAfterPass(int status) {
    FUZZ_CHECK(status == 1 || status == 2 || status == 3);
    FUZZ_CHECK(State->ArchiveFile == HFILE_ERROR);
    FUZZ_CHECK(State->OutputFile == INVALID_HANDLE_VALUE);
    FUZZ_CHECK(Host().files.empty());
    FUZZ_CHECK(OutputTempPath[0] == 0);
    if (status != 1) {
        FUZZ_CHECK(State->HeaderBuffer == nullptr);
        FUZZ_CHECK(State->SpecialMode == 0);
    }
    FUZZ_CHECK(memchr(State->MemberPath, 0, kPathSize) != nullptr);
    FUZZ_CHECK(memchr(State->DestinationPath, 0, kDestinationPathSize) != nullptr);
    for (const std::string &file : FuzzFiles()) {
        FUZZ_CHECK(file.find("~LZSFX") == std::string::npos);
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 2) {
        return 0;
    }
    uint8_t a = data[0], b = data[1];
    std::string archive(reinterpret_cast<const char *>(data + 2), size - 2);
    FuzzBegin();
    SettingsBlock &settings = State->Settings;
    settings.Flags = a & 0x0F;
    settings.RestoreAttributes = (a & 0x80) ? '/' : 0;
    lstrcpyA(settings.WindowTitle, "Setup");
    const size_t stub = 2048;
    if (a & 0x10) {
        std::string framed = std::string(2, '\0') + archive;
        FuzzRepairHeaders(framed, (settings.Flags & kFlagArchiveChecksum) ? 2 : 0,
                          (settings.Flags & kFlagArchiveChecksum) != 0);
        archive = (settings.Flags & kFlagArchiveChecksum) ? framed : framed.substr(2);
    }
    if (!FuzzSizesBounded(archive, (settings.Flags & kFlagArchiveChecksum) ? 2 : 0, 1 << 20)) {
        FuzzEnd();
        return 0;
    }
    FuzzWriteFile("C:\\SFX.EXE", InstallerBytes(settings, archive, stub));
    lstrcpyA(State->OwnPath, "C:\\SFX.EXE");
    settings.ArchiveOffset = stub;
    LegacyShell = (a >> 5) & 1;
    HostSetMaxComponentLength((a & 0x40) ? 12 : 255);
    OverwriteSilently = (b >> 4) & 1;
    SkipNotNewer = (b >> 5) & 1;
    if (b & 1) {
        HostQueueAnswer(IDNO);
    }
    if (b & 2) {
        FuzzWriteFile("C:\\Dest\\a.txt", "old");
        FuzzWriteFile("C:\\Dest\\doc\\readme.txt", "old");
        FuzzWriteFile("C:\\Dest\\A.TXT\\x", "a folder in the way");
    }
    if (b & 8) {
        HostSetPumpHook(CancelOnPump);
    }

    int status = HostRunProcess(Scan, nullptr);
    CheckAfterPass(status);
    int scan_status = status;
    if (status == 2) {
        lstrcpyA(State->DestinationDir, (b & 4) ? "C:" : "C:\\Dest");
        status = HostRunProcess(Extract, nullptr);
        CheckAfterPass(status);
    }
    if (getenv("LZHSFX_FUZZ_VERBOSE") != nullptr) {
        // The outcome of one input, for reading a reproducer: 1 ended, 2 passed, 3 failed.
        fprintf(stderr, "scan %d, extract %d, %zu files\n", scan_status,
                scan_status == 2 ? status : 0, FuzzFiles().size());
        for (const HostMessageBox &box : HostMessageBoxes()) {
            fprintf(stderr, "  box: %s\n", box.text.c_str());
        }
    }
    FuzzEnd();
    return 0;
}
