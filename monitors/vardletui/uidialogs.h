// uidialogs.h: the "Port Name" and "Checksum Port Settings" dialogs, shown in
// the user's process from the templates this DLL shares with vardlet.dll.
#pragma once

#include <windows.h>

#include "portsettings.h"

// The module that holds the templates (set by DllMain).
extern HINSTANCE hUiInstance;

// Asks for a new port's name. TRUE on OK, with the typed text exactly as
// typed (possibly empty) in *ppPortName, fixed global memory the caller
// frees. FALSE with ERROR_CANCELLED when the user cancels, or the platform's
// code when the dialog cannot be shown.
BOOL AskPortName(HWND hParentWindow, LPWSTR* ppPortName);

// Shows the settings and lets the user change them. TRUE on OK, with
// *pSettings changed; FALSE with ERROR_CANCELLED when the user cancels
// (*pSettings untouched), or the platform's code when the dialog cannot be
// shown.
BOOL EditPortSettings(HWND hParentWindow, CPortSettings* pSettings);
