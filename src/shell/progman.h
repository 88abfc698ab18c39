// Program Manager groups through DDE: the install dialog is the client window.
#pragma once

#include <windows.h>

// Starts the conversation for the group fields of the current "$Group=" line.
void StartProgmanConversation(HWND dialog);

// Posts the group and item commands to `ProgmanWindow`.
void SendGroupCommands(HWND dialog);

// The dialog's WM_DDE_ACK: `server` is the acknowledging window, `value` the
// message's second parameter.
void OnDdeAck(HWND dialog, HWND server, LPARAM value);

// Dispatches the dialog's messages until the conversation has ended. A conversation
// that no server took up ends at once, one whose command is not acknowledged within
// a few seconds is terminated; `DdeState` is -1 afterwards.
void WaitForProgman(HWND dialog);
