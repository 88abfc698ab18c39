// The error box every subsystem reports through, and the message pump that keeps
// the install dialog alive while work runs inside its OK handling.
#pragma once

#include <windows.h>

// Shows "\"object\" message" (or the message alone when `object` is null) in a
// task-modal error box owned by `DialogWindow` and captioned with `WindowTitle`.
// The text is formatted in `ScratchText`.
void ErrorBox(const char *message, const char *object);

// Dispatches every message waiting in the thread's queue, offering each to the
// dialog first; returns as soon as the queue is empty.
void PumpMessages(HWND dialog);
