// The error box every subsystem reports through, and the message pump that keeps
// the install dialog alive while work runs inside its OK handling.
#pragma once

#include <windows.h>

#include "archive/errors.h"

// Records the failure of `kind` (RecordFailure) and, unless the run is silent, shows
// its text in a task-modal box with `icon`, owned by `DialogWindow` and captioned
// with `WindowTitle`; before the run state exists, without owner and captioned with
// the default title.
void ShowFailure(FailureKind kind, const char *object, UINT icon);

// Shows "\"object\" message" (or the message alone when `object` is null) in the
// error box, as ShowFailure with the error icon. The text is formatted in
// `ScratchText`.
void ErrorBox(FailureKind kind, const char *object);

// Dispatches every message waiting in the thread's queue, offering each to the
// dialog first; returns as soon as the queue is empty.
void PumpMessages(HWND dialog);
