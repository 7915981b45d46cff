// xcvcommands.h: the port administration commands vardletmon.dll answers
// through XcvDataPort, and the layout of their data. Shared by the monitor
// (vardletmon.dll) and its user interface (vardletui.dll), which reaches the
// monitor only through OpenPrinterW(",XcvMonitor Vardlet" / ",XcvPort <port>")
// and XcvDataW.
//
// Every command answers with a Win32 code, 0 on success, and a refusal gives
// the same code the monitor's own functions give for it: ERROR_INVALID_NAME
// (123) for a comma in a port name, ERROR_ALREADY_EXISTS (183) for a duplicate,
// ERROR_BUSY (170) for a port in use, ERROR_UNKNOWN_PORT (1796), ERROR_INVALID_
// PARAMETER (87) or ERROR_INVALID_LEVEL (124) for bad data, ERROR_INSUFFICIENT_
// BUFFER (122) with *pcbOutputNeeded set, ERROR_ACCESS_DENIED (5) for a
// command that changes something asked on a handle opened without
// SERVER_ACCESS_ADMINISTER.
#pragma once

#include <windows.h>

// The monitor's registered name and the file names of its two parts.
#define VARDLET_MONITOR_NAME L"Vardlet"
#define VARDLET_MONITOR_DLL L"vardletmon.dll"
#define VARDLET_MONITOR_UI_DLL L"vardletui.dll"

// On a monitor handle (",XcvMonitor Vardlet"):
// Output: the UI DLL's file name, NUL-terminated. No input.
#define VARDLET_XCV_MONITOR_UI L"MonitorUI"
// Input: the new port's name, NUL-terminated. Needs the administer right.
#define VARDLET_XCV_ADD_PORT L"AddPort"
// Input: the port's name, NUL-terminated. Needs the administer right.
#define VARDLET_XCV_DELETE_PORT L"DeletePort"
// Input: a port name, NUL-terminated. Output: a DWORD, 1 if the port exists, else 0.
#define VARDLET_XCV_PORT_EXISTS L"PortExists"

// On a port handle (",XcvPort <port>"):
// Output: VARDLET_PORT_SETTINGS. No input.
#define VARDLET_XCV_GET_PORT_SETTINGS L"GetPortSettings"
// Input: VARDLET_PORT_SETTINGS. Needs the administer right. A monitor that
// stays loaded uses the new settings from the next job on.
#define VARDLET_XCV_SET_PORT_SETTINGS L"SetPortSettings"

// A port's two settings as the Xcv commands carry them: a DWORD Print (1 to
// pass every job through, 0 not to) followed immediately by the pass-through
// printer's name, NUL-terminated, empty when none. Its size in bytes is
// VARDLET_PORT_SETTINGS_SIZE(length of the name in characters).
struct VARDLET_PORT_SETTINGS
{
    DWORD Print;
    WCHAR PrintTo[1];  // as long as the name and its terminator
};

#define VARDLET_PORT_SETTINGS_SIZE(cchName) \
    ((DWORD)(sizeof(DWORD) + ((cchName) + 1) * sizeof(WCHAR)))
