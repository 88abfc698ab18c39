#include "test_support.h"

#include "fresh_run_state.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <filesystem>
#include <fstream>
#include <sstream>

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
