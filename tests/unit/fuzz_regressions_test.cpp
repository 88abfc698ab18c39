// Inputs that fuzzing and the damaged-download sweep turned up, run as the process
// would run them.
#include "archive_builder.h"
#include "bit_writer.h"
#include "platform/host_dialogs_control.h"
#include "test_support.h"

#include <filesystem>

#include "startup/startup.h"

namespace {

HINSTANCE const kInstance = reinterpret_cast<HINSTANCE>(0x400000);

class FuzzRegressionTest : public StartUpTest {
  protected:
    void SetUp() override {
        StartUpTest::SetUp();
        PressOk(1);
    }

    int Run(const std::string &archive) {
        SettingsBlock settings = {};
        lstrcpyA(settings.WindowTitle, "Setup");
        lstrcpyA(settings.InstallDir, "C:\\Dest");
        WriteFile("C:\\SFX.EXE", InstallerBytes(settings, archive));
        return RunAsProcess([] { return SfxMain(kInstance, ""); });
    }
};

// A run that ends inside the install dialog's extraction leaves the dialog's modal
// loop by ExitProcess; the host double kept a vector alive across that loop, which
// then leaked on every such run (caught by LeakSanitizer at the end of the suite).
TEST_F(FuzzRegressionTest, ABadTableInsideTheDialogEndsTheRunWithStatus1AndNoFile) {
    EXPECT_EQ(Run(MemberBytes(BadTableMember("a.txt")) + '\0'), 1);
    ASSERT_EQ(HostMessageBoxes().size(), 1u);
    EXPECT_EQ(HostMessageBoxes()[0].text, "\"C:\\SFX.EXE\" Bad table");
    EXPECT_EQ(HostDialogBoxCalls().size(), 1u);
    EXPECT_FALSE(Exists("C:\\Dest\\a.txt"));
    EXPECT_TRUE(Exists("C:\\Dest")); // the member's directories are made before its data
    for (const auto &e : std::filesystem::directory_iterator(HostPath("C:\\Dest"))) {
        ADD_FAILURE() << "left behind: " << e.path();
    }
}

} // namespace
