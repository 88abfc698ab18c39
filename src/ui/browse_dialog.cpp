#include "ui/browse_dialog.h"

#include "files/text.h"
#include "startup/run_state.h"

#ifdef _WIN32
// The request is the record of the oldest common dialogs: up to the template name.
static_assert(offsetof(OPENFILENAMEA, lpTemplateName) + sizeof(LPCSTR) == 76, "request layout");
#endif

// The template hides every file control, so the common dialog always returns the
// chosen folder followed by this fixed name.
static const char kPlaceholderName[] = "work.txt";

BOOL BrowseForFolder(HWND dialog) {
    RunState *const s = State;
    OPENFILENAMEA request = {};
    request.lStructSize = OPENFILENAME_SIZE_VERSION_400A;
    request.hwndOwner = dialog;
    request.hInstance = ModuleInstance;
    lstrcpyA(s->ScratchText, kPlaceholderName);
    request.lpstrFile = s->ScratchText;
    request.nMaxFile = kPathSize;
    request.lpstrTitle = "ﾃﾞｨﾚｸﾄﾘの参照";
    request.Flags = OFN_ENABLETEMPLATE | OFN_HIDEREADONLY;
    request.lpTemplateName = "GetDirDialog";
    BOOL chosen = GetOpenFileNameA(&request);
    if (!chosen) {
        return 0;
    }
    int length = CopyText(s->DestinationPath, s->ScratchText, kDestinationPathSize);
    // Cut before the file name; an offset past the text would name no folder part.
    if (request.nFileOffset < length) {
        s->DestinationPath[request.nFileOffset] = 0;
    }
    return chosen;
}
