#include "ui/messages.h"

#include "startup/run_state.h"

void ErrorBox(const char *message, const char *object) {
    RunState *const s = State;
    const char *text = message;
    if (object != nullptr) {
        wsprintfA(s->ScratchText, "\"%s\" %s", object, message);
        text = s->ScratchText;
    }
    MessageBoxA(s->DialogWindow, text, s->Settings.WindowTitle, MB_TASKMODAL | MB_ICONERROR);
}

void PumpMessages(HWND dialog) {
    MSG msg;
    while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
        if (!IsDialogMessageA(dialog, &msg)) {
            TranslateMessage(&msg);
            DispatchMessageA(&msg);
        }
    }
}
