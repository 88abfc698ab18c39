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

class FuzzRegressionTest : public StubTest {
  protected:
    void SetUp() override {
        StubTest::SetUp();
        free(State); // start-up allocates its own
        State = nullptr;
        HostDefineTemplate("SfxDialog", SfxControls());
        PressOk(1);
    }

    void TearDown() override {
        if (State != nullptr) { // left by a run that ended inside decoding
            free(State->HeaderBuffer);
            free(State);
            State = nullptr;
        }
        ModuleInstance = nullptr;
        DialogIcon = nullptr;
        StubTest::TearDown();
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
    BlockWriter w;
    w.StartBlock(10, Lengths({1, 2}), Single(0), Single(0)); // incomplete code-length code
    w.bits.Put(0, 32);
    TestMember m;
    m.method = "-lh5-";
    m.name = "a.txt";
    m.packed = w.Bytes();
    m.unpacked_size = 10;
    m.data_crc = 0;
    EXPECT_EQ(Run(MemberBytes(m) + '\0'), 1);
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
