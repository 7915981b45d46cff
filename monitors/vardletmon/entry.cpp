// entry.cpp: InitializePrintMonitor2, the MONITOR2 table it returns, and
// Shutdown. Every MONITOR2 entry passes its call on to vardlet.dll's exports.
//
// Wine loads, initialises, calls, shuts down and unloads the monitor around
// each spooler operation; Windows initialises it once and keeps it. Both are
// served by one monitor per process, counted: the first initialisation loads
// vardlet.dll and initialises it, the last Shutdown unloads it, so nothing
// (library, registry key, heap block, Xcv handle) outlives the monitor.
#include "vardletmon.h"

#include "faultguard.h"

#include <stddef.h>

extern "C" IMAGE_DOS_HEADER __ImageBase;  // this DLL

CMonitorEntry MonitorEntry;
CRITICAL_SECTION MonitorLock;

// A port's description in EnumPorts level 2; the spooler shows it beside
// the port's name.
static const WCHAR PortDescription[] = L"Checksum Port";

BOOL IsLoadedMonitor(HANDLE hMonitor)
{
    return hMonitor == (HANDLE)&MonitorEntry && MonitorEntry.hVardlet != NULL;
}

// Loads vardlet.dll from this DLL's folder (never from the search path: the
// spooler must run the monitor installed beside us) and resolves its exports.
static BOOL LoadVardlet(HMODULE* phVardlet, VARDLET_EXPORTS* pExports)
{
    DWORD ErrorCode = 0;
    WCHAR pPath[MAX_PATH];
    HMODULE hVardlet = NULL;
    const char* pMissing = NULL;

    DWORD cchPath = GetModuleFileNameW((HMODULE)&__ImageBase, pPath, MAX_PATH);
    if (cchPath == 0 || cchPath >= MAX_PATH)
    {
        ErrorCode = cchPath == 0 ? GetLastError() : ERROR_FILENAME_EXCED_RANGE;
        goto CleanUp;
    }
    while (cchPath > 0 && pPath[cchPath - 1] != L'\\' && pPath[cchPath - 1] != L'/')
        cchPath--;
    if (cchPath + lstrlenW(L"vardlet.dll") >= MAX_PATH)
    {
        ErrorCode = ERROR_FILENAME_EXCED_RANGE;
        goto CleanUp;
    }
    lstrcpyW(pPath + cchPath, L"vardlet.dll");

    hVardlet = LoadLibraryExW(pPath, NULL, LOAD_WITH_ALTERED_SEARCH_PATH);
    if (hVardlet == NULL)
    {
        ErrorCode = GetLastError();
        OutputDebugStringW(L"InitializePrintMonitor2(): cannot load vardlet.dll beside vardletmon.dll.\n");
        goto CleanUp;
    }
    if (!ResolveVardletExports(hVardlet, pExports, &pMissing))
    {
        ErrorCode = ERROR_PROC_NOT_FOUND;
        OutputDebugStringW(L"InitializePrintMonitor2(): vardlet.dll lacks one of its twelve exports.\n");
        goto CleanUp;
    }
    *phVardlet = hVardlet;
    hVardlet = NULL;

CleanUp:
    if (hVardlet != NULL)
        FreeLibrary(hVardlet);
    if (ErrorCode != 0)
    {
        SetLastError(ErrorCode);
        return FALSE;
    }
    return TRUE;
}

// Level 1 is vardlet.dll's own; level 2 is built here from level 1, with the
// monitor's name, PortDescription and a write-only port type. Like level 1,
// the records come first and the texts are packed at the end of the buffer.
static BOOL WINAPI MoEnumPorts(HANDLE hMonitor, LPWSTR pName, DWORD Level, LPBYTE pPorts,
                               DWORD cbBuf, LPDWORD pcbNeeded, LPDWORD pcReturned)
{
    DWORD ErrorCode = 0;
    LPBYTE pLevel1 = NULL;
    DWORD cbLevel1 = 0;
    DWORD Count = 0;
    DWORD cbNeeded = 0;

    if (!IsLoadedMonitor(hMonitor))
    {
        ErrorCode = ERROR_INVALID_HANDLE;
        goto CleanUp;
    }
    if (Level != 2)
        return MonitorEntry.Exports.EnumPortsW(pName, Level, pPorts, cbBuf, pcbNeeded, pcReturned);

    if (!IsWritableRange(pcbNeeded, sizeof(DWORD)) || !IsWritableRange(pcReturned, sizeof(DWORD)) ||
        (pPorts == NULL && cbBuf != 0) || (pPorts != NULL && !IsWritableRange(pPorts, cbBuf)))
    {
        ErrorCode = ERROR_INVALID_PARAMETER;
        goto CleanUp;
    }

    // The list may grow between the size query and the copy: ask again.
    for (;;)
    {
        DWORD cbWanted = 0;
        if (MonitorEntry.Exports.EnumPortsW(pName, 1, pLevel1, cbLevel1, &cbWanted, &Count))
            break;
        ErrorCode = GetLastError();
        if (ErrorCode != ERROR_INSUFFICIENT_BUFFER)
            goto CleanUp;
        ErrorCode = 0;
        if (pLevel1 != NULL)
            GlobalFree(pLevel1);
        pLevel1 = (LPBYTE)GlobalAlloc(GMEM_FIXED, cbWanted);
        if (pLevel1 == NULL)
        {
            ErrorCode = GetLastError();
            goto CleanUp;
        }
        cbLevel1 = cbWanted;
    }

    {
        const PORT_INFO_1W* pFrom = (const PORT_INFO_1W*)pLevel1;
        DWORD cbFixed = (lstrlenW(MonitorEntry.pMonitorName) + 1 + lstrlenW(PortDescription) + 1) *
                        sizeof(WCHAR);
        for (DWORD Index = 0; Index < Count; Index++)
            cbNeeded += sizeof(PORT_INFO_2W) + cbFixed + (lstrlenW(pFrom[Index].pName) + 1) * sizeof(WCHAR);
        *pcbNeeded = cbNeeded;
        *pcReturned = 0;
        if (cbNeeded > cbBuf)
        {
            ErrorCode = ERROR_INSUFFICIENT_BUFFER;
            goto CleanUp;
        }

        PORT_INFO_2W* pTo = (PORT_INFO_2W*)pPorts;
        LPWSTR pText = (LPWSTR)(pPorts + cbBuf);
        for (DWORD Index = 0; Index < Count; Index++)
        {
            const WCHAR* pTexts[3] = {pFrom[Index].pName, MonitorEntry.pMonitorName, PortDescription};
            LPWSTR* ppFields[3] = {&pTo[Index].pPortName, &pTo[Index].pMonitorName,
                                   &pTo[Index].pDescription};
            for (int Field = 0; Field < 3; Field++)
            {
                pText -= lstrlenW(pTexts[Field]) + 1;
                lstrcpyW(pText, pTexts[Field]);
                *ppFields[Field] = pText;
            }
            pTo[Index].fPortType = PORT_TYPE_WRITE;
            pTo[Index].Reserved = 0;
        }
        *pcReturned = Count;
    }

CleanUp:
    if (pLevel1 != NULL)
        GlobalFree(pLevel1);
    if (ErrorCode != 0)
    {
        SetLastError(ErrorCode);
        return FALSE;
    }
    return TRUE;
}

static BOOL WINAPI MoOpenPort(HANDLE hMonitor, LPWSTR pName, PHANDLE pHandle)
{
    if (!IsLoadedMonitor(hMonitor))
    {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    return MonitorEntry.Exports.OpenPort(pName, pHandle);
}

// The port calls carry no monitor handle; vardlet.dll checks the port handle.
static BOOL CheckLoaded()
{
    if (MonitorEntry.hVardlet == NULL)
    {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    return TRUE;
}

// A job call that failed. Wine's spooler fails the program's EndDocPrinter
// with ERROR_INVALID_HANDLE whatever the monitor's code was, so the real
// cause goes to the debugger output. Keeps the last error.
static BOOL ReportJobFailure(const WCHAR* pOperation)
{
    DWORD ErrorCode = GetLastError();
    WCHAR pMessage[160];
    wsprintfW(pMessage, L"vardletmon %ls(): the job failed: error %lu.\n", pOperation, ErrorCode);
    OutputDebugStringW(pMessage);
    SetLastError(ErrorCode);
    return FALSE;
}

static BOOL WINAPI MoStartDocPort(HANDLE hPort, LPWSTR pPrinterName, DWORD JobId, DWORD Level,
                                  LPBYTE pDocInfo)
{
    if (!CheckLoaded())
        return FALSE;
    if (!MonitorEntry.Exports.StartDocPort(hPort, pPrinterName, JobId, Level, pDocInfo))
        return ReportJobFailure(L"StartDocPort");
    return TRUE;
}

static BOOL WINAPI MoWritePort(HANDLE hPort, LPBYTE pBuffer, DWORD cbBuf, LPDWORD pcbWritten)
{
    if (!CheckLoaded())
        return FALSE;
    if (!MonitorEntry.Exports.WritePort(hPort, pBuffer, cbBuf, pcbWritten))
        return ReportJobFailure(L"WritePort");
    return TRUE;
}

static BOOL WINAPI MoReadPort(HANDLE hPort, LPBYTE pBuffer, DWORD cbBuffer, LPDWORD pcbRead)
{
    return CheckLoaded() && MonitorEntry.Exports.ReadPort(hPort, pBuffer, cbBuffer, pcbRead);
}

static BOOL WINAPI MoEndDocPort(HANDLE hPort)
{
    if (!CheckLoaded())
        return FALSE;
    if (!MonitorEntry.Exports.EndDocPort(hPort))
        return ReportJobFailure(L"EndDocPort");
    return TRUE;
}

static BOOL WINAPI MoClosePort(HANDLE hPort)
{
    return CheckLoaded() && MonitorEntry.Exports.ClosePort(hPort);
}

static BOOL WINAPI MoAddPortEx(HANDLE hMonitor, LPWSTR pName, DWORD Level, LPBYTE pBuffer,
                               LPWSTR pMonitorName)
{
    if (!IsLoadedMonitor(hMonitor))
    {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    return MonitorEntry.Exports.AddPortExW(pName, Level, pBuffer, pMonitorName);
}

static void WINAPI MoShutdown(HANDLE hMonitor)
{
    EnterCriticalSection(&MonitorLock);
    if (IsLoadedMonitor(hMonitor) && --MonitorEntry.Users == 0)
    {
        CloseAllXcvHandles();
        FreeLibrary(MonitorEntry.hVardlet);  // its detach deletes the ports and closes the root
        ZeroMemory(&MonitorEntry, sizeof(MonitorEntry));
    }
    LeaveCriticalSection(&MonitorLock);
}

// The obsolete pfnAddPort, pfnConfigurePort and pfnDeletePort stay NULL, as
// Windows requires of a monitor with a UI DLL: the spooler then asks
// XcvDataPort("MonitorUI") and lets vardletui.dll show the dialogs. So do
// pfnOpenPortEx (for language monitors), pfnGetPrinterDataFromPort,
// pfnSetPortTimeOuts and the entries later Windows versions added. Filled in
// by assignment, so the table fits whichever MONITOR2 the build's Windows
// version declares (cbSize tells the spooler which).
static MONITOR2 MonitorTable;

static void FillMonitorTable()
{
    MonitorTable.cbSize = sizeof(MONITOR2);
    MonitorTable.pfnEnumPorts = MoEnumPorts;
    MonitorTable.pfnOpenPort = MoOpenPort;
    MonitorTable.pfnStartDocPort = MoStartDocPort;
    MonitorTable.pfnWritePort = MoWritePort;
    MonitorTable.pfnReadPort = MoReadPort;
    MonitorTable.pfnEndDocPort = MoEndDocPort;
    MonitorTable.pfnClosePort = MoClosePort;
    MonitorTable.pfnAddPortEx = MoAddPortEx;
    MonitorTable.pfnXcvOpenPort = MoXcvOpenPort;
    MonitorTable.pfnXcvDataPort = MoXcvDataPort;
    MonitorTable.pfnXcvClosePort = MoXcvClosePort;
    MonitorTable.pfnShutdown = MoShutdown;
}

// The lock lives as long as the DLL. At process termination (pReserved not
// NULL) nothing is released: other threads are gone, and the system frees all.
extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD Reason, LPVOID pReserved)
{
    if (Reason == DLL_PROCESS_ATTACH)
    {
        InitializeCriticalSection(&MonitorLock);
        FillMonitorTable();
    }
    else if (Reason == DLL_PROCESS_DETACH && pReserved == NULL)
    {
        DeleteCriticalSection(&MonitorLock);
    }
    return TRUE;
}

// Finds the monitor's key, loads vardlet.dll and initialises it with the
// key's "Ports" subkey (the key Wine's spooler looks up to route a job to its
// monitor). A later call while the monitor is loaded shares it.
extern "C" LPMONITOR2 WINAPI InitializePrintMonitor2(PMONITORINIT pMonitorInit, PHANDLE phMonitor)
{
    DWORD ErrorCode = 0;
    BOOL InLock = FALSE;
    HMODULE hVardlet = NULL;
    VARDLET_EXPORTS Exports = {};
    WCHAR pKeyPath[MONITOR_KEY_PATH_LENGTH];
    WCHAR pMonitorName[MAX_PATH];
    static const WCHAR PortsSubkey[] = L"\\Ports";

    if (!IsReadableRange(pMonitorInit, offsetof(MONITORINIT, pMonitorReg)) ||
        pMonitorInit->cbSize < offsetof(MONITORINIT, pMonitorReg) ||
        !IsWritableRange(phMonitor, sizeof(HANDLE)))
    {
        ErrorCode = ERROR_INVALID_PARAMETER;
        goto CleanUp;
    }

    EnterCriticalSection(&MonitorLock);
    InLock = TRUE;
    if (MonitorEntry.Users > 0)
    {
        MonitorEntry.Users++;
        goto CleanUp;
    }

    if (!FindMonitorKey(pMonitorInit->hckRegistryRoot, pKeyPath, MONITOR_KEY_PATH_LENGTH,
                        pMonitorName, MAX_PATH))
    {
        ErrorCode = GetLastError();
        OutputDebugStringW(L"InitializePrintMonitor2(): cannot find the monitor's registry key.\n");
        goto CleanUp;
    }
    if (lstrlenW(pKeyPath) + lstrlenW(PortsSubkey) >= MONITOR_KEY_PATH_LENGTH)
    {
        ErrorCode = ERROR_FILENAME_EXCED_RANGE;
        goto CleanUp;
    }
    lstrcatW(pKeyPath, PortsSubkey);

    if (!LoadVardlet(&hVardlet, &Exports))
    {
        ErrorCode = GetLastError();
        goto CleanUp;
    }
    if (!Exports.InitializeMonitor(pKeyPath))
    {
        ErrorCode = GetLastError();
        OutputDebugStringW(L"InitializePrintMonitor2(): vardlet.dll's InitializeMonitor failed.\n");
        goto CleanUp;
    }

    MonitorEntry.Users = 1;
    MonitorEntry.hVardlet = hVardlet;
    MonitorEntry.Exports = Exports;
    lstrcpyW(MonitorEntry.pMonitorName, pMonitorName);
    lstrcpyW(MonitorEntry.pRegistryRoot, pKeyPath);
    hVardlet = NULL;

CleanUp:
    if (hVardlet != NULL)
        FreeLibrary(hVardlet);
    if (InLock)
        LeaveCriticalSection(&MonitorLock);
    if (ErrorCode != 0)
    {
        SetLastError(ErrorCode);
        return NULL;
    }
    *phMonitor = (HANDLE)&MonitorEntry;
    return &MonitorTable;
}
