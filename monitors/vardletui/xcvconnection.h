// xcvconnection.h: the UI's only road to the monitor. The UI runs in the
// user's process and the monitor in the spooler's (on Windows), so every
// request goes through the spooler: OpenPrinterW on ",XcvMonitor <monitor>"
// or ",XcvPort <port>", then XcvDataW with one of the monitor's commands.
#pragma once

#include <windows.h>
#include <winspool.h>

#include "portsettings.h"

class CXcvConnection
{
public:
    CXcvConnection();
    ~CXcvConnection();

    // Open with the administer right, which adding, deleting and changing
    // settings need. The spooler refuses a caller that may not have it.
    BOOL OpenMonitor(const WCHAR* pMonitorName);
    BOOL OpenPort(const WCHAR* pPortName);
    void Close();

    // On a monitor connection.
    BOOL AddPort(const WCHAR* pPortName);
    BOOL DeletePort(const WCHAR* pPortName);

    // On a port connection.
    BOOL GetPortSettings(CPortSettings* pSettings);
    BOOL SetPortSettings(const CPortSettings* pSettings);

private:
    BOOL Open(const WCHAR* pPrefix, const WCHAR* pName);
    // XcvDataW; the monitor's status, when not 0, becomes the last error.
    BOOL Command(const WCHAR* pCommand, const void* pInput, DWORD cbInput, void* pOutput,
                 DWORD cbOutput, DWORD* pcbOutputNeeded);

    HANDLE hXcv;

    CXcvConnection(const CXcvConnection&);
    CXcvConnection& operator=(const CXcvConnection&);
};
