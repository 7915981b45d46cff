// portsettings.cpp: a port's two settings, pass-through on or off ("Print")
// and the pass-through printer ("Print To"), read and written for the Xcv
// commands, and whether a port exists.
//
// No export of vardlet.dll sets a port's settings without its dialog. The
// settings are set through the exports all the same: the port is deleted and
// added again with an AddPortExW record at level (DWORD)-1 whose monitor data
// is the printer's name. The loaded monitor then uses the new settings from
// the next job on (on Windows, where it stays loaded, as much as on Wine,
// which reloads it for every call), and vardlet.dll saves them in the port's
// key itself. A port in use is refused by the delete with ERROR_BUSY, so a
// job is never cut by a change of settings. That record can say "off" only
// with no printer; a printer name kept with pass-through off (as the dialog
// keeps it) is then written to the port's "Print To" value, where the
// settings dialog reads it next time: the running monitor passes nothing
// through either way.
#include "vardletmon.h"

#include <lmon.h>

DWORD ReadMachineValue(LPCWSTR pKeyPath, LPCWSTR pValueName, DWORD Type, LPVOID pData, DWORD cbData)
{
    HKEY hKey = NULL;
    DWORD ValueType = 0;
    DWORD cbValue = Type == REG_SZ ? cbData - sizeof(WCHAR) : cbData;
    DWORD ErrorCode = RegOpenKeyExW(HKEY_LOCAL_MACHINE, pKeyPath, 0, KEY_QUERY_VALUE, &hKey);
    if (ErrorCode != ERROR_SUCCESS)
        return ErrorCode;
    ErrorCode = RegQueryValueExW(hKey, pValueName, NULL, &ValueType, (LPBYTE)pData, &cbValue);
    RegCloseKey(hKey);
    if (ErrorCode == ERROR_SUCCESS && (ValueType != Type || (Type == REG_DWORD && cbValue != sizeof(DWORD))))
        ErrorCode = ERROR_INVALID_DATA;
    if (ErrorCode == ERROR_SUCCESS && Type == REG_SZ)
        ((LPWSTR)pData)[cbValue / sizeof(WCHAR)] = L'\0';  // the data may lack its terminator
    return ErrorCode;
}

DWORD WriteMachineValue(LPCWSTR pKeyPath, LPCWSTR pValueName, DWORD Type, const void* pData, DWORD cbData)
{
    HKEY hKey = NULL;
    DWORD ErrorCode = RegOpenKeyExW(HKEY_LOCAL_MACHINE, pKeyPath, 0, KEY_SET_VALUE, &hKey);
    if (ErrorCode != ERROR_SUCCESS)
        return ErrorCode;
    ErrorCode = RegSetValueExW(hKey, pValueName, 0, Type, (const BYTE*)pData, cbData);
    RegCloseKey(hKey);
    return ErrorCode;
}

// The port's key, "<root>\<port key name>", the port's name with every
// backslash written as a comma, as vardlet.dll names it.
static DWORD PortKeyPath(LPCWSTR pPortName, LPWSTR pKeyPath, DWORD cchKeyPath)
{
    DWORD cchRoot = lstrlenW(MonitorEntry.pRegistryRoot);
    DWORD cchName = lstrlenW(pPortName);
    if (cchRoot + 1 + cchName >= cchKeyPath)
        return ERROR_INVALID_PARAMETER;
    lstrcpyW(pKeyPath, MonitorEntry.pRegistryRoot);
    pKeyPath[cchRoot] = L'\\';
    for (DWORD Index = 0; Index <= cchName; Index++)
        pKeyPath[cchRoot + 1 + Index] = pPortName[Index] == L'\\' ? L',' : pPortName[Index];
    return 0;
}

DWORD FindPort(LPCWSTR pPortName, BOOL* pExists)
{
    DWORD ErrorCode = 0;
    LPBYTE pPorts = NULL;
    DWORD cbPorts = 0;
    DWORD Count = 0;

    *pExists = FALSE;
    for (;;)
    {
        DWORD cbNeeded = 0;
        if (MonitorEntry.Exports.EnumPortsW(NULL, 1, pPorts, cbPorts, &cbNeeded, &Count))
            break;
        ErrorCode = GetLastError();
        if (ErrorCode != ERROR_INSUFFICIENT_BUFFER)
            goto CleanUp;
        ErrorCode = 0;
        if (pPorts != NULL)
            GlobalFree(pPorts);
        pPorts = (LPBYTE)GlobalAlloc(GMEM_FIXED, cbNeeded);
        if (pPorts == NULL)
        {
            ErrorCode = GetLastError();
            goto CleanUp;
        }
        cbPorts = cbNeeded;
    }
    for (DWORD Index = 0; Index < Count && !*pExists; Index++)
    {
        // Port names are compared ignoring case, as the monitor compares them.
        *pExists = lstrcmpiW(((PORT_INFO_1W*)pPorts)[Index].pName, pPortName) == 0;
    }

CleanUp:
    if (pPorts != NULL)
        GlobalFree(pPorts);
    return ErrorCode;
}

// Read as the monitor reads them: a missing value is off / no printer.
DWORD ReadPortSettings(LPCWSTR pPortName, DWORD* pPrint, LPWSTR pPrintTo, DWORD cchPrintTo)
{
    WCHAR pKeyPath[MONITOR_KEY_PATH_LENGTH + MAX_PATH];
    BOOL Exists = FALSE;
    DWORD ErrorCode = FindPort(pPortName, &Exists);
    if (ErrorCode == 0 && !Exists)
        ErrorCode = ERROR_UNKNOWN_PORT;
    if (ErrorCode == 0)
        ErrorCode = PortKeyPath(pPortName, pKeyPath, MONITOR_KEY_PATH_LENGTH + MAX_PATH);
    if (ErrorCode != 0)
        return ErrorCode;

    if (ReadMachineValue(pKeyPath, L"Print", REG_DWORD, pPrint, sizeof(DWORD)) != ERROR_SUCCESS)
        *pPrint = 0;
    if (ReadMachineValue(pKeyPath, L"Print To", REG_SZ, pPrintTo, cchPrintTo * sizeof(WCHAR)) != ERROR_SUCCESS)
        pPrintTo[0] = L'\0';
    return 0;
}

DWORD WritePortSettings(LPCWSTR pPortName, DWORD Print, LPCWSTR pPrintTo)
{
    DWORD ErrorCode = 0;
    WCHAR pKeyPath[MONITOR_KEY_PATH_LENGTH + MAX_PATH];
    WCHAR pName[MAX_PATH];
    WCHAR pOldPrintTo[1025];
    DWORD OldPrint = 0;
    BOOL Deleted = FALSE;

    if (lstrlenW(pPortName) >= MAX_PATH)
        return ERROR_INVALID_PARAMETER;
    lstrcpyW(pName, pPortName);
    ErrorCode = ReadPortSettings(pName, &OldPrint, pOldPrintTo, 1025);
    if (ErrorCode == 0)
        ErrorCode = PortKeyPath(pName, pKeyPath, MONITOR_KEY_PATH_LENGTH + MAX_PATH);
    if (ErrorCode != 0)
        goto CleanUp;

    if (!MonitorEntry.Exports.DeletePortW(NULL, NULL, pName))
    {
        ErrorCode = GetLastError();
        goto CleanUp;
    }
    Deleted = TRUE;

    {
        PORT_INFO_FFW PortInfo = {pName, 0, NULL};
        if (Print != 0)
        {
            PortInfo.pMonitorData = (LPBYTE)pPrintTo;
            PortInfo.cbMonitorData = (lstrlenW(pPrintTo) + 1) * sizeof(WCHAR);
        }
        if (!MonitorEntry.Exports.AddPortExW(NULL, (DWORD)-1, (LPBYTE)&PortInfo,
                                             MonitorEntry.pMonitorName))
        {
            ErrorCode = GetLastError();
            goto CleanUp;
        }
        Deleted = FALSE;
    }

    if (Print == 0 && pPrintTo[0] != L'\0')
        ErrorCode = WriteMachineValue(pKeyPath, L"Print To", REG_SZ, pPrintTo,
                                      (lstrlenW(pPrintTo) + 1) * sizeof(WCHAR));

CleanUp:
    if (Deleted)
    {
        // The port must not be lost: add it back as it was.
        PORT_INFO_FFW PortInfo = {pName, 0, NULL};
        if (OldPrint != 0)
        {
            PortInfo.pMonitorData = (LPBYTE)pOldPrintTo;
            PortInfo.cbMonitorData = (lstrlenW(pOldPrintTo) + 1) * sizeof(WCHAR);
        }
        if (!MonitorEntry.Exports.AddPortExW(NULL, (DWORD)-1, (LPBYTE)&PortInfo,
                                             MonitorEntry.pMonitorName))
            OutputDebugStringW(L"XcvDataPort(SetPortSettings): the port could not be added back.\n");
    }
    return ErrorCode;
}
