// vardletmon.h: what the parts of vardletmon.dll share. vardletmon.dll is the
// entry today's spoolers load (InitializePrintMonitor2); it reaches the
// monitor only through the twelve exports of vardlet.dll, loaded from its own
// folder, so the spooler runs the very binary the monitor's tests prove.
#pragma once

#include <windows.h>
#include <winspool.h>
#include <winsplp.h>

#include "vardletexports.h"
#include "xcvcommands.h"

// The longest registry path the monitor's root may take, in characters.
#define MONITOR_KEY_PATH_LENGTH 512

// The one monitor of the process, shared by every InitializePrintMonitor2
// call that has not been shut down. Its address is the hMonitor the spooler
// passes back. Guarded by MonitorLock; the fields other than Users do not
// change while Users is above zero.
struct CMonitorEntry
{
    LONG Users;                                      // initialisations not yet shut down
    HMODULE hVardlet;                                // vardlet.dll, NULL while not loaded
    VARDLET_EXPORTS Exports;                         // its twelve exports
    WCHAR pMonitorName[MAX_PATH];                    // the monitor's name: its key's last part
    WCHAR pRegistryRoot[MONITOR_KEY_PATH_LENGTH];    // "<monitor key>\Ports", under HKEY_LOCAL_MACHINE
};

extern CMonitorEntry MonitorEntry;
extern CRITICAL_SECTION MonitorLock;

// TRUE if hMonitor is the monitor that is loaded now.
BOOL IsLoadedMonitor(HANDLE hMonitor);

// Finds the monitor's own key (monitorkey.cpp): the path under
// HKEY_LOCAL_MACHINE of "...\Print\Monitors\<name>" into pKeyPath and <name>
// into pMonitorName. hckRegistryRoot is what MONITORINIT carries (may be NULL).
BOOL FindMonitorKey(HANDLE hckRegistryRoot, LPWSTR pKeyPath, DWORD cchKeyPath, LPWSTR pMonitorName,
                    DWORD cchMonitorName);

// A REG_SZ or REG_DWORD value of HKEY_LOCAL_MACHINE\<pKeyPath> (a text
// always comes back terminated), and the writing of one (portsettings.cpp).
// Both return a Win32 code.
DWORD ReadMachineValue(LPCWSTR pKeyPath, LPCWSTR pValueName, DWORD Type, LPVOID pData, DWORD cbData);
DWORD WriteMachineValue(LPCWSTR pKeyPath, LPCWSTR pValueName, DWORD Type, const void* pData, DWORD cbData);

// Port administration through XcvDataPort (xcv.cpp).
BOOL WINAPI MoXcvOpenPort(HANDLE hMonitor, LPCWSTR pszObject, ACCESS_MASK GrantedAccess,
                          PHANDLE phXcv);
DWORD WINAPI MoXcvDataPort(HANDLE hXcv, LPCWSTR pszDataName, PBYTE pInputData, DWORD cbInputData,
                           PBYTE pOutputData, DWORD cbOutputData, PDWORD pcbOutputNeeded);
BOOL WINAPI MoXcvClosePort(HANDLE hXcv);
// Closes the Xcv handles the spooler left open; at the last Shutdown.
void CloseAllXcvHandles();

// A port's settings (portsettings.cpp). Both return a Win32 code, 0 on success.
DWORD FindPort(LPCWSTR pPortName, BOOL* pExists);
DWORD ReadPortSettings(LPCWSTR pPortName, DWORD* pPrint, LPWSTR pPrintTo, DWORD cchPrintTo);
DWORD WritePortSettings(LPCWSTR pPortName, DWORD Print, LPCWSTR pPrintTo);
