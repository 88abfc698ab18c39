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
