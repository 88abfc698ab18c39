// The folder browse dialog: the request handed to the file-open common dialog, and
// the folder cut out of the path it returns.
#include "test_support.h"

#include "platform/host_dialogs_control.h"
#include "ui/browse_dialog.h"

namespace {

HWND const kDialog = reinterpret_cast<HWND>(0x1234);
HINSTANCE const kInstance = reinterpret_cast<HINSTANCE>(0x400000);

class BrowseDialogTest : public StubTest {
  protected:
    void SetUp() override {
        StubTest::SetUp();
        ModuleInstance = kInstance;
        lstrcpyA(State->DestinationPath, "untouched");
    }
    void TearDown() override {
        ModuleInstance = nullptr;
        StubTest::TearDown();
    }
};

TEST_F(BrowseDialogTest, EveryFieldOfTheRequestIsSetOrZero) {
    lstrcpyA(State->ScratchText, "left over from an earlier message");
    HostQueueOpenFileCancel();
    BrowseForFolder(kDialog);
    ASSERT_EQ(HostOpenFileRequests().size(), 1u);
    const HostOpenFileRequest &request = HostOpenFileRequests()[0];
    const OPENFILENAMEA &r = request.record;
    EXPECT_EQ(r.lStructSize, 76u);
    EXPECT_EQ(r.hwndOwner, kDialog);
    EXPECT_EQ(r.hInstance, kInstance);
    EXPECT_EQ(r.lpstrFilter, nullptr);
    EXPECT_EQ(r.lpstrCustomFilter, nullptr);
    EXPECT_EQ(r.nMaxCustFilter, 0u);
    EXPECT_EQ(r.nFilterIndex, 0u);
    EXPECT_EQ(r.lpstrFile, State->ScratchText);
    EXPECT_EQ(r.nMaxFile, 260u);
    EXPECT_EQ(r.lpstrFileTitle, nullptr);
    EXPECT_EQ(r.nMaxFileTitle, 0u);
    EXPECT_EQ(r.lpstrInitialDir, nullptr);
    EXPECT_EQ(r.Flags, 0x44u);
    EXPECT_EQ(r.Flags, static_cast<DWORD>(OFN_ENABLETEMPLATE | OFN_HIDEREADONLY));
    EXPECT_EQ(r.nFileOffset, 0u);
    EXPECT_EQ(r.nFileExtension, 0u);
    EXPECT_EQ(r.lpstrDefExt, nullptr);
    EXPECT_EQ(r.lCustData, 0);
    EXPECT_EQ(r.lpfnHook, nullptr);
    EXPECT_EQ(r.pvReserved, nullptr);
    EXPECT_EQ(r.dwReserved, 0u);
    EXPECT_EQ(r.FlagsEx, 0u);
    EXPECT_EQ(request.file, "work.txt");
    EXPECT_EQ(request.title, "ﾃﾞｨﾚｸﾄﾘの参照");
    EXPECT_EQ(request.templ, "GetDirDialog");
}

TEST_F(BrowseDialogTest, ACancelledPickerReportsNoChoiceAndLeavesTheDestination) {
    HostQueueOpenFileCancel();
    EXPECT_EQ(BrowseForFolder(kDialog), 0);
    EXPECT_STREQ(State->DestinationPath, "untouched");
}

TEST_F(BrowseDialogTest, TheChosenFolderKeepsItsTrailingSeparator) {
    HostQueueOpenFileAnswer("C:\\Program Files\\App\\work.txt");
    EXPECT_NE(BrowseForFolder(kDialog), 0);
    EXPECT_STREQ(State->DestinationPath, "C:\\Program Files\\App\\");
}

TEST_F(BrowseDialogTest, ADriveRootYieldsTheLetterColonAndBackslash) {
    HostQueueOpenFileAnswer("C:\\work.txt");
    EXPECT_NE(BrowseForFolder(kDialog), 0);
    EXPECT_STREQ(State->DestinationPath, "C:\\");
}

TEST_F(BrowseDialogTest, AFolderWhoseNameEndsInByte5CIsCutAtTheFileName) {
    HostQueueOpenFileAnswer("D:\\ソフト\\work.txt"); // ト ends in 0x5C in Shift-JIS
    EXPECT_NE(BrowseForFolder(kDialog), 0);
    EXPECT_STREQ(State->DestinationPath, "D:\\ソフト\\");
}

TEST_F(BrowseDialogTest, EachBrowseStartsAgainFromTheFixedFileName) {
    HostQueueOpenFileAnswer("C:\\A\\work.txt");
    BrowseForFolder(kDialog);
    HostQueueOpenFileAnswer("C:\\B\\work.txt");
    BrowseForFolder(kDialog);
    ASSERT_EQ(HostOpenFileRequests().size(), 2u);
    EXPECT_EQ(HostOpenFileRequests()[1].file, "work.txt");
    EXPECT_STREQ(State->DestinationPath, "C:\\B\\");
}

} // namespace
