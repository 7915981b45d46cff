// uiexports.cpp: the entry point, InitializePrintMonitorUI and the three
// operations the spooler's client calls for AddPortW, ConfigurePortW and
// DeletePortW when the monitor names this DLL as its user interface.
//
// They run in the calling program's process and reach the monitor only
// through the spooler (xcvconnection.h), never by loading it. Their answers
// are those of vardlet.dll's own AddPortW, ConfigurePortW and DeletePortW:
// the monitor's refusal codes come back unchanged (comma or empty name 123,
// duplicate 183, port in use 170, unknown port 1796), a cancelled name dialog
// is ERROR_CANCELLED, a cancelled settings dialog stores nothing and succeeds.
// Like vardlet.dll, they administer the local spooler only: a server name is
// refused with ERROR_INVALID_PARAMETER before anything is shown.
#include <windows.h>
#include <winspool.h>
#include <winsplp.h>

#include "uidialogs.h"
#include "xcvcommands.h"
#include "xcvconnection.h"

extern "C" BOOL WINAPI DllMain(HINSTANCE hInstance, DWORD Reason, LPVOID)
{
    if (Reason == DLL_PROCESS_ATTACH)
        hUiInstance = hInstance;
    return TRUE;
}

static BOOL IsServerName(PCWSTR pszServer, const WCHAR* pOperation)
{
    if (pszServer == NULL || pszServer[0] == L'\0')
        return FALSE;
    OutputDebugStringW(pOperation);
    OutputDebugStringW(L"(): vardletui administers the local spooler only.\n");
    return TRUE;
}

// Wine and Windows hand the monitor's name in pszMonitorName; ppszPortNameOut
// may be NULL (Wine's spooler passes NULL). Where it is not, it receives the
// new port's name in memory from LocalAlloc, which the caller frees with
// LocalFree.
BOOL WINAPI AddPortUI(PCWSTR pszServer, HWND hWnd, PCWSTR pszMonitorName, PWSTR* ppszPortNameOut)
{
    DWORD ErrorCode = 0;
    CXcvConnection Monitor;
    LPWSTR pPortName = NULL;

    if (ppszPortNameOut != NULL)
        *ppszPortNameOut = NULL;
    if (IsServerName(pszServer, L"AddPortUI"))
    {
        ErrorCode = ERROR_INVALID_PARAMETER;
        goto CleanUp;
    }

    // Connected before the dialog: a caller who may not administer ports is
    // told so at once, not after typing a name.
    if (!Monitor.OpenMonitor(pszMonitorName != NULL ? pszMonitorName : VARDLET_MONITOR_NAME))
    {
        ErrorCode = GetLastError();
        goto CleanUp;
    }
    if (!AskPortName(hWnd, &pPortName))
    {
        ErrorCode = GetLastError();
        goto CleanUp;
    }
    // The monitor tests the name (empty, comma, duplicate) as for any addition.
    if (!Monitor.AddPort(pPortName))
    {
        ErrorCode = GetLastError();
        goto CleanUp;
    }

    if (ppszPortNameOut != NULL)
    {
        SIZE_T cbPortName = (lstrlenW(pPortName) + 1) * sizeof(WCHAR);
        *ppszPortNameOut = (PWSTR)LocalAlloc(LMEM_FIXED, cbPortName);
        if (*ppszPortNameOut != NULL)
            CopyMemory(*ppszPortNameOut, pPortName, cbPortName);
        // Without memory for the copy the port stays added; the caller
        // learns its name from the port list.
    }

CleanUp:
    if (pPortName != NULL)
        GlobalFree(pPortName);
    if (ErrorCode != 0)
    {
        SetLastError(ErrorCode);
        return FALSE;
    }
    return TRUE;
}

BOOL WINAPI ConfigurePortUI(PCWSTR pszServer, HWND hWnd, PCWSTR pszPortName)
{
    DWORD ErrorCode = 0;
    CXcvConnection Port;
    CPortSettings Settings;

    if (IsServerName(pszServer, L"ConfigurePortUI"))
    {
        ErrorCode = ERROR_INVALID_PARAMETER;
        goto CleanUp;
    }
    if (pszPortName == NULL)
    {
        ErrorCode = ERROR_UNKNOWN_PORT;
        goto CleanUp;
    }
    if (!Port.OpenPort(pszPortName) || !Port.GetPortSettings(&Settings))
    {
        ErrorCode = GetLastError();
        goto CleanUp;
    }
    if (!EditPortSettings(hWnd, &Settings))
    {
        // A cancelled dialog stores nothing and is no failure.
        ErrorCode = GetLastError();
        if (ErrorCode == ERROR_CANCELLED)
            ErrorCode = 0;
        goto CleanUp;
    }
    if (!Port.SetPortSettings(&Settings))
        ErrorCode = GetLastError();

CleanUp:
    if (ErrorCode != 0)
    {
        SetLastError(ErrorCode);
        return FALSE;
    }
    return TRUE;
}

// The name of the monitor that owns a port, as the spooler lists it; NULL
// with ERROR_UNKNOWN_PORT when no monitor lists the port. Fixed global memory.
static LPWSTR FindPortMonitor(PCWSTR pszPortName)
{
    DWORD ErrorCode = 0;
    PORT_INFO_2W* pPorts = NULL;
    DWORD cbNeeded = 0;
    DWORD NumPorts = 0;
    LPWSTR pMonitorName = NULL;

    if (!EnumPortsW(NULL, 2, NULL, 0, &cbNeeded, &NumPorts) && GetLastError() != ERROR_INSUFFICIENT_BUFFER)
    {
        ErrorCode = GetLastError();
        goto CleanUp;
    }
    // A port added meanwhile makes the list longer: room for a few more.
    cbNeeded += 4096;
    pPorts = (PORT_INFO_2W*)GlobalAlloc(GMEM_FIXED, cbNeeded);
    if (pPorts == NULL)
    {
        ErrorCode = ERROR_NOT_ENOUGH_MEMORY;
        goto CleanUp;
    }
    if (!EnumPortsW(NULL, 2, (LPBYTE)pPorts, cbNeeded, &cbNeeded, &NumPorts))
    {
        ErrorCode = GetLastError();
        goto CleanUp;
    }
    ErrorCode = ERROR_UNKNOWN_PORT;
    for (DWORD PortIndex = 0; PortIndex < NumPorts; PortIndex++)
    {
        if (pPorts[PortIndex].pPortName == NULL || pPorts[PortIndex].pMonitorName == NULL ||
            lstrcmpiW(pPorts[PortIndex].pPortName, pszPortName) != 0)
            continue;
        pMonitorName = (LPWSTR)GlobalAlloc(GMEM_FIXED, (lstrlenW(pPorts[PortIndex].pMonitorName) + 1) * sizeof(WCHAR));
        ErrorCode = pMonitorName != NULL ? 0 : ERROR_NOT_ENOUGH_MEMORY;
        if (pMonitorName != NULL)
            lstrcpyW(pMonitorName, pPorts[PortIndex].pMonitorName);
        break;
    }

CleanUp:
    if (pPorts != NULL)
        GlobalFree(pPorts);
    if (ErrorCode != 0)
    {
        SetLastError(ErrorCode);
        return NULL;
    }
    return pMonitorName;
}

// Deletes without asking: the program that calls DeletePortW asks its user.
// The port is deleted through the monitor that owns it (DeletePortUI is not
// told the monitor's name).
BOOL WINAPI DeletePortUI(PCWSTR pszServer, HWND, PCWSTR pszPortName)
{
    DWORD ErrorCode = 0;
    CXcvConnection Monitor;
    LPWSTR pMonitorName = NULL;

    if (IsServerName(pszServer, L"DeletePortUI"))
    {
        ErrorCode = ERROR_INVALID_PARAMETER;
        goto CleanUp;
    }
    if (pszPortName == NULL)
    {
        ErrorCode = ERROR_UNKNOWN_PORT;
        goto CleanUp;
    }
    pMonitorName = FindPortMonitor(pszPortName);
    if (pMonitorName == NULL || !Monitor.OpenMonitor(pMonitorName) || !Monitor.DeletePort(pszPortName))
        ErrorCode = GetLastError();

CleanUp:
    if (pMonitorName != NULL)
        GlobalFree(pMonitorName);
    if (ErrorCode != 0)
    {
        SetLastError(ErrorCode);
        return FALSE;
    }
    return TRUE;
}

static MONITORUI MonitorUi = { sizeof(MONITORUI), AddPortUI, ConfigurePortUI, DeletePortUI };

extern "C" PMONITORUI WINAPI InitializePrintMonitorUI(VOID)
{
    return &MonitorUi;
}
