// portnamedialog.h: the "Port Name" dialog's procedure.
#pragma once

#include <windows.h>

// The creation parameter is the address of the caller's string pointer. On
// OK the typed text goes there exactly as typed (possibly empty), in fixed
// global memory the caller frees, and the dialog ends with 1; a failed
// allocation keeps the dialog open. Cancel, Esc and the close box end it
// with 0 and hand nothing over.
INT_PTR CALLBACK PortNameDialog(HWND hDialog, UINT Message, WPARAM wparam, LPARAM lparam);
