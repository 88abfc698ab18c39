#include "test_support.h"

#include "fresh_run_state.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "archive_builder.h"
#include "ui/install_dialog.h"

void StubTest::SetUp() {
    char pattern[] = "/tmp/lzhsfx-test-XXXXXX";
    root_ = mkdtemp(pattern);
    HostReset(root_);
    StartFreshRunState();
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

void StartUpTest::SetUp() {
    StubTest::SetUp();
    free(State);
    State = nullptr;
    HostDefineTemplate("SfxDialog", SfxControls());
}

void StartUpTest::TearDown() {
    ModuleInstance = nullptr;
    DialogIcon = nullptr;
    StubTest::TearDown();
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

void StubTest::WriteFileWithTime(const char *windows_path, const std::string &bytes,
                                 uint32_t time) {
    WriteFile(windows_path, bytes);
    HANDLE h = CreateFileA(windows_path, GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(h, INVALID_HANDLE_VALUE) << windows_path;
    FILETIME t = {static_cast<DWORD>(FileTimeOf(time)), static_cast<DWORD>(FileTimeOf(time) >> 32)};
    SetFileTime(h, nullptr, nullptr, &t);
    CloseHandle(h);
}

std::vector<std::string> &ProgmanCommandsReceived() {
    static std::vector<std::string> commands;
    return commands;
}

LRESULT AcknowledgingProgmanProc(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
    HWND client = reinterpret_cast<HWND>(wparam);
    if (message == WM_DDE_INITIATE) {
        SendMessageA(client, WM_DDE_ACK, reinterpret_cast<WPARAM>(window),
                     MAKELPARAM(GlobalAddAtomA("PROGMAN"), GlobalAddAtomA("PROGMAN")));
    } else if (message == WM_DDE_EXECUTE) {
        UINT_PTR unused = 0, block = 0;
        UnpackDDElParam(WM_DDE_EXECUTE, lparam, &unused, &block);
        ProgmanCommandsReceived().push_back(
            static_cast<const char *>(GlobalLock(reinterpret_cast<HGLOBAL>(block))));
        GlobalUnlock(reinterpret_cast<HGLOBAL>(block));
        PostMessageA(client, WM_DDE_ACK, reinterpret_cast<WPARAM>(window),
                     PackDDElParam(WM_DDE_ACK, 0x8000, block));
    }
    return 0;
}

// The controls of the "SfxDialog" template, as the resource script defines them.
std::vector<HostControlSpec> SfxControls() {
    return {
        {kFolderLabel, "ｲﾝｽﾄｰﾙするﾌｫﾙﾀﾞ(&D):", 0},
        {kFolderEdit, "", 0},
        {kBrowseButton, "参照(&B)...", BS_PUSHBUTTON},
        {kFileLabel, "", 0},
        {kProgressLabel, "", 0},
        {IDOK, "OK(&O)", BS_DEFPUSHBUTTON},
        {IDCANCEL, "ｷｬﾝｾﾙ(&C)", BS_PUSHBUTTON},
        {kGroupCheck, "ｽﾀｰﾄﾒﾆｭｰに登録(&S)", BS_CHECKBOX},
        {kAssociationCheck, "関連付け(&A)", BS_CHECKBOX},
    };
}

static int ok_presses_left;

static bool PressOkWhileAny(HWND dialog) {
    if (ok_presses_left <= 0) {
        return false;
    }
    --ok_presses_left;
    SendMessageA(dialog, WM_COMMAND, IDOK, 0);
    return true;
}

void PressOk(int presses) {
    ok_presses_left = presses;
    HostSetDialogDriver(PressOkWhileAny);
}
