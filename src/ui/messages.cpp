#include "ui/messages.h"

#include "startup/run_state.h"
#include "startup/silent.h"
#include "startup/startup.h"

void ShowFailure(FailureKind kind, const char *object, UINT icon) {
    const char *text = RecordFailure(kind, object);
    if (Silent) {
        return;
    }
    RunState *const s = State;
    MessageBoxA(s != nullptr ? s->DialogWindow : nullptr, text,
                s != nullptr ? s->Settings.WindowTitle : DefaultTitle, MB_TASKMODAL | icon);
}

void ErrorBox(FailureKind kind, const char *object) {
    ShowFailure(kind, object, MB_ICONERROR);
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
