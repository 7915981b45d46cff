// xcv.cpp: port administration as today's spoolers and tools do it,
// XcvOpenPort / XcvDataPort / XcvClosePort. The commands (xcvcommands.h) are
// a table of {name, handler, needs the administer right}.
#include "vardletmon.h"

#include "faultguard.h"

#include <lmon.h>

// An open Xcv handle: on the monitor (",XcvMonitor <name>", or "" when the
// spooler itself asks for the UI DLL) or on one port (",XcvPort <port>").
// Open handles form a list, so a handle is checked by looking it up before
// anything is read through it. The list is guarded by MonitorLock.
struct CXcvHandle
{
    CXcvHandle* pNext;          // the next open handle
    ACCESS_MASK GrantedAccess;  // what the spooler granted the caller
    BOOL IsPort;                // opened on a port rather than the monitor
    WCHAR pPortName[1];         // the port's name when IsPort, as long as the name
};

static CXcvHandle* pXcvHandles = NULL;

typedef DWORD (*XCV_HANDLER)(CXcvHandle* pXcv, PBYTE pInputData, DWORD cbInputData,
                             PBYTE pOutputData, DWORD cbOutputData, PDWORD pcbOutputNeeded);

struct CXcvCommand
{
    LPCWSTR pName;           // pszDataName, compared exactly
    XCV_HANDLER Handler;
    BOOL NeedsAdminister;    // refused with ERROR_ACCESS_DENIED without SERVER_ACCESS_ADMINISTER
};

// The input of the port-name commands: a NUL-terminated name within the
// cbInputData bytes, in readable memory. Returns a Win32 code.
static DWORD ReadInputName(PBYTE pInputData, DWORD cbInputData, LPWSTR* ppName)
{
    DWORD cchInput = cbInputData / sizeof(WCHAR);
    if (pInputData == NULL || cchInput == 0 || !IsReadableRange(pInputData, cbInputData))
        return ERROR_INVALID_PARAMETER;
    LPWSTR pName = (LPWSTR)pInputData;
    for (DWORD Index = 0; Index < cchInput; Index++)
    {
        if (pName[Index] == L'\0')
        {
            *ppName = pName;
            return 0;
        }
    }
    return ERROR_INVALID_PARAMETER;
}

// Stores the size needed, then checks the caller's buffer can take it.
static DWORD PrepareOutput(PBYTE pOutputData, DWORD cbOutputData, PDWORD pcbOutputNeeded,
                           DWORD cbNeeded)
{
    if (!GuardedStoreDword(pcbOutputNeeded, cbNeeded))
        return ERROR_INVALID_PARAMETER;
    if (pOutputData == NULL || cbOutputData < cbNeeded)
        return ERROR_INSUFFICIENT_BUFFER;
    if (!IsWritableRange(pOutputData, cbNeeded))
        return ERROR_INVALID_PARAMETER;
    return 0;
}

static DWORD XcvMonitorUI(CXcvHandle*, PBYTE, DWORD, PBYTE pOutputData, DWORD cbOutputData,
                          PDWORD pcbOutputNeeded)
{
    DWORD cbName = sizeof(VARDLET_MONITOR_UI_DLL);
    DWORD ErrorCode = PrepareOutput(pOutputData, cbOutputData, pcbOutputNeeded, cbName);
    if (ErrorCode == 0)
        CopyMemory(pOutputData, VARDLET_MONITOR_UI_DLL, cbName);
    return ErrorCode;
}

static DWORD XcvAddPort(CXcvHandle*, PBYTE pInputData, DWORD cbInputData, PBYTE, DWORD, PDWORD)
{
    LPWSTR pName = NULL;
    DWORD ErrorCode = ReadInputName(pInputData, cbInputData, &pName);
    if (ErrorCode != 0)
        return ErrorCode;
    PORT_INFO_1W PortInfo = {pName};
    if (!MonitorEntry.Exports.AddPortExW(NULL, 1, (LPBYTE)&PortInfo, MonitorEntry.pMonitorName))
        return GetLastError();
    return 0;
}

static DWORD XcvDeletePort(CXcvHandle*, PBYTE pInputData, DWORD cbInputData, PBYTE, DWORD, PDWORD)
{
    LPWSTR pName = NULL;
    DWORD ErrorCode = ReadInputName(pInputData, cbInputData, &pName);
    if (ErrorCode != 0)
        return ErrorCode;
    if (!MonitorEntry.Exports.DeletePortW(NULL, NULL, pName))
        return GetLastError();
    return 0;
}

static DWORD XcvPortExists(CXcvHandle*, PBYTE pInputData, DWORD cbInputData, PBYTE pOutputData,
                           DWORD cbOutputData, PDWORD pcbOutputNeeded)
{
    LPWSTR pName = NULL;
    BOOL Exists = FALSE;
    DWORD ErrorCode = ReadInputName(pInputData, cbInputData, &pName);
    if (ErrorCode == 0)
        ErrorCode = PrepareOutput(pOutputData, cbOutputData, pcbOutputNeeded, sizeof(DWORD));
    if (ErrorCode == 0)
        ErrorCode = FindPort(pName, &Exists);
    if (ErrorCode == 0)
    {
        DWORD Answer = Exists ? 1 : 0;
        CopyMemory(pOutputData, &Answer, sizeof(Answer));
    }
    return ErrorCode;
}

static DWORD XcvGetPortSettings(CXcvHandle* pXcv, PBYTE, DWORD, PBYTE pOutputData,
                                DWORD cbOutputData, PDWORD pcbOutputNeeded)
{
    DWORD ErrorCode = 0;
    DWORD Print = 0;
    WCHAR pPrintTo[1025];  // the longest "Print To" the monitor itself reads, and a terminator

    if (!pXcv->IsPort)
        return ERROR_INVALID_PARAMETER;
    ErrorCode = ReadPortSettings(pXcv->pPortName, &Print, pPrintTo, 1025);
    if (ErrorCode != 0)
        return ErrorCode;
    DWORD cbNeeded = VARDLET_PORT_SETTINGS_SIZE(lstrlenW(pPrintTo));
    ErrorCode = PrepareOutput(pOutputData, cbOutputData, pcbOutputNeeded, cbNeeded);
    if (ErrorCode != 0)
        return ErrorCode;
    CopyMemory(pOutputData, &Print, sizeof(Print));
    CopyMemory(pOutputData + sizeof(Print), pPrintTo, cbNeeded - sizeof(Print));
    return 0;
}

static DWORD XcvSetPortSettings(CXcvHandle* pXcv, PBYTE pInputData, DWORD cbInputData, PBYTE,
                                DWORD, PDWORD)
{
    DWORD Print = 0;
    LPWSTR pPrintTo = NULL;

    if (!pXcv->IsPort)
        return ERROR_INVALID_PARAMETER;
    if (pInputData == NULL || cbInputData < VARDLET_PORT_SETTINGS_SIZE(0) ||
        !IsReadableRange(pInputData, cbInputData))
        return ERROR_INVALID_PARAMETER;
    CopyMemory(&Print, pInputData, sizeof(Print));
    if (Print > 1)
        return ERROR_INVALID_PARAMETER;
    DWORD ErrorCode = ReadInputName(pInputData + sizeof(Print), cbInputData - sizeof(Print), &pPrintTo);
    if (ErrorCode != 0)
        return ErrorCode;
    // The name may sit at an odd address in the caller's buffer; copy it.
    DWORD cchPrintTo = lstrlenW(pPrintTo);
    if (cchPrintTo > 1024)
        return ERROR_INVALID_PARAMETER;
    WCHAR pName[1025];
    CopyMemory(pName, pPrintTo, (cchPrintTo + 1) * sizeof(WCHAR));
    return WritePortSettings(pXcv->pPortName, Print, pName);
}

static const CXcvCommand XcvCommands[] = {
    {VARDLET_XCV_MONITOR_UI, XcvMonitorUI, FALSE},
    {VARDLET_XCV_ADD_PORT, XcvAddPort, TRUE},
    {VARDLET_XCV_DELETE_PORT, XcvDeletePort, TRUE},
    {VARDLET_XCV_PORT_EXISTS, XcvPortExists, FALSE},
    {VARDLET_XCV_GET_PORT_SETTINGS, XcvGetPortSettings, FALSE},
    {VARDLET_XCV_SET_PORT_SETTINGS, XcvSetPortSettings, TRUE},
};

BOOL WINAPI MoXcvOpenPort(HANDLE hMonitor, LPCWSTR pszObject, ACCESS_MASK GrantedAccess,
                          PHANDLE phXcv)
{
    DWORD ErrorCode = 0;
    SIZE_T cchObject = 0;
    CXcvHandle* pXcv = NULL;

    if (!IsLoadedMonitor(hMonitor))
    {
        ErrorCode = ERROR_INVALID_HANDLE;
        goto CleanUp;
    }
    if ((pszObject != NULL && !GuardedStringLength(pszObject, &cchObject)) ||
        !IsWritableRange(phXcv, sizeof(HANDLE)))
    {
        ErrorCode = ERROR_INVALID_PARAMETER;
        goto CleanUp;
    }

    pXcv = (CXcvHandle*)GlobalAlloc(GMEM_FIXED | GMEM_ZEROINIT,
                                    sizeof(CXcvHandle) + cchObject * sizeof(WCHAR));
    if (pXcv == NULL)
    {
        ErrorCode = GetLastError();
        goto CleanUp;
    }
    pXcv->GrantedAccess = GrantedAccess;
    pXcv->IsPort = cchObject != 0 &&
                   lstrcmpiW(pszObject, MonitorEntry.pMonitorName) != 0;
    if (pXcv->IsPort)
        lstrcpyW(pXcv->pPortName, pszObject);

    EnterCriticalSection(&MonitorLock);
    pXcv->pNext = pXcvHandles;
    pXcvHandles = pXcv;
    LeaveCriticalSection(&MonitorLock);
    *phXcv = (HANDLE)pXcv;

CleanUp:
    if (ErrorCode != 0)
    {
        SetLastError(ErrorCode);
        return FALSE;
    }
    return TRUE;
}

static BOOL IsOpenXcvHandle(HANDLE hXcv)
{
    BOOL Open = FALSE;
    EnterCriticalSection(&MonitorLock);
    for (CXcvHandle* pXcv = pXcvHandles; pXcv != NULL && !Open; pXcv = pXcv->pNext)
        Open = (HANDLE)pXcv == hXcv;
    LeaveCriticalSection(&MonitorLock);
    return Open;
}

// Answers with a Win32 code, the command's own or: ERROR_INVALID_HANDLE for
// a handle that is not open, ERROR_INVALID_PARAMETER for an unknown command
// or one asked on the wrong kind of handle, ERROR_ACCESS_DENIED for a
// command that needs the administer right the handle lacks.
DWORD WINAPI MoXcvDataPort(HANDLE hXcv, LPCWSTR pszDataName, PBYTE pInputData, DWORD cbInputData,
                           PBYTE pOutputData, DWORD cbOutputData, PDWORD pcbOutputNeeded)
{
    if (!IsOpenXcvHandle(hXcv) || MonitorEntry.hVardlet == NULL)
        return ERROR_INVALID_HANDLE;
    if (!IsNullOrReadableString(pszDataName) || pszDataName == NULL)
        return ERROR_INVALID_PARAMETER;

    CXcvHandle* pXcv = (CXcvHandle*)hXcv;
    for (const CXcvCommand& Command : XcvCommands)
    {
        if (lstrcmpW(pszDataName, Command.pName) != 0)
            continue;
        if (Command.NeedsAdminister && (pXcv->GrantedAccess & SERVER_ACCESS_ADMINISTER) == 0)
            return ERROR_ACCESS_DENIED;
        return Command.Handler(pXcv, pInputData, cbInputData, pOutputData, cbOutputData,
                               pcbOutputNeeded);
    }
    return ERROR_INVALID_PARAMETER;
}

BOOL WINAPI MoXcvClosePort(HANDLE hXcv)
{
    CXcvHandle* pFound = NULL;
    EnterCriticalSection(&MonitorLock);
    for (CXcvHandle** ppXcv = &pXcvHandles; *ppXcv != NULL; ppXcv = &(*ppXcv)->pNext)
    {
        if ((HANDLE)*ppXcv == hXcv)
        {
            pFound = *ppXcv;
            *ppXcv = pFound->pNext;
            break;
        }
    }
    LeaveCriticalSection(&MonitorLock);
    if (pFound == NULL)
    {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    GlobalFree(pFound);
    return TRUE;
}

// Called with MonitorLock held.
void CloseAllXcvHandles()
{
    while (pXcvHandles != NULL)
    {
        CXcvHandle* pXcv = pXcvHandles;
        pXcvHandles = pXcv->pNext;
        GlobalFree(pXcv);
    }
}
