// passthroughloop.cpp: whether a port's pass-through printer leads back to
// the port.
//
// A printer's ports come from the spooler (EnumPrintersW level 2: pPortName
// is a comma-separated list). Where such a port is one of this monitor's and
// passes its jobs through, its settings are read from its key under the
// monitor's root ("Print" and "Print To"), not from the port object: that
// needs no lock, so the check can run inside a job call that holds its own
// port's mutex. Each printer is followed at most once, so the walk ends.
#include "monitor.h"
#include "portlist.h"

// Longest port name that has a key (the registry's limit for a key name).
#define MAX_PORT_KEY_NAME 255

// The printer a port of this monitor passes its jobs to, read from the port's
// key: FALSE if pPortName is no port of this monitor or does not pass through.
static BOOL GetPassThroughPrinter(HKEY hMonitorKey, const WCHAR* pPortName, SIZE_T cchPortName,
                                  WCHAR* pPrinterName, DWORD cbPrinterName)
{
    WCHAR pPortKey[MAX_PORT_KEY_NAME + 1];
    if (cchPortName == 0 || cchPortName > MAX_PORT_KEY_NAME)
        return FALSE;
    for (SIZE_T Index = 0; Index < cchPortName; Index++)
        pPortKey[Index] = pPortName[Index] == L'\\' ? L',' : pPortName[Index];
    pPortKey[cchPortName] = L'\0';

    HKEY hPortKey = NULL;
    if (RegOpenKeyExW(hMonitorKey, pPortKey, 0, KEY_READ, &hPortKey) != ERROR_SUCCESS)
        return FALSE;
    DWORD Print = 0;
    DWORD cbPrint = sizeof(Print);
    DWORD Type = 0;
    BOOL PassesThrough =
        RegQueryValueExW(hPortKey, L"Print", NULL, &Type, (LPBYTE)&Print, &cbPrint) == ERROR_SUCCESS &&
        Type == REG_DWORD && Print != 0 &&
        RegQueryValueExW(hPortKey, L"Print To", NULL, &Type, (LPBYTE)pPrinterName, &cbPrinterName) ==
            ERROR_SUCCESS &&
        Type == REG_SZ && cbPrinterName >= sizeof(WCHAR);
    if (PassesThrough)
        pPrinterName[cbPrinterName / sizeof(WCHAR) - 1] = L'\0';
    RegCloseKey(hPortKey);
    return PassesThrough;
}

// Follows pPrinterName's ports; pVisited marks the printers already followed.
static BOOL LeadsBack(HKEY hMonitorKey, const WCHAR* pPortName, const WCHAR* pPrinterName,
                      PRINTER_INFO_2W* pPrinters, DWORD NumPrinters, BOOL* pVisited)
{
    DWORD Index = 0;
    while (Index < NumPrinters && (pPrinters[Index].pPrinterName == NULL ||
                                   !IsSameNameIgnoringCase(pPrinters[Index].pPrinterName, pPrinterName)))
        Index++;
    if (Index == NumPrinters || pVisited[Index] || pPrinters[Index].pPortName == NULL)
        return FALSE;
    pVisited[Index] = TRUE;

    SIZE_T cchPortName = lstrlenW(pPortName);
    const WCHAR* pCursor = pPrinters[Index].pPortName;
    const WCHAR* pEntry;
    SIZE_T cchEntry;
    while (NextPortInList(&pCursor, &pEntry, &cchEntry))
    {
        if (IsSameNameIgnoringCase(pEntry, cchEntry, pPortName, cchPortName))
            return TRUE;
        WCHAR pNextPrinter[MAX_PATH + 1];
        if (GetPassThroughPrinter(hMonitorKey, pEntry, cchEntry, pNextPrinter,
                                  sizeof(pNextPrinter) - sizeof(WCHAR)) &&
            LeadsBack(hMonitorKey, pPortName, pNextPrinter, pPrinters, NumPrinters, pVisited))
            return TRUE;
    }
    return FALSE;
}

// A printer list that cannot be had shows no loop: the job goes on, and the
// pass-through printer's own failure, if any, is reported as usual.
BOOL CMonitor::PassThroughLeadsBack(const WCHAR* pPortName, const WCHAR* pPrinterName)
{
    BOOL Loop = FALSE;
    PRINTER_INFO_2W* pPrinters = NULL;
    BOOL* pVisited = NULL;
    DWORD cbPrinters = 0;
    DWORD NumPrinters = 0;

    if (pPortName == NULL || pPrinterName == NULL || hMonitorKey == NULL)
        return FALSE;
    if (EnumPrintersW(PRINTER_ENUM_LOCAL, NULL, 2, NULL, 0, &cbPrinters, &NumPrinters) || cbPrinters == 0)
        return FALSE;
    pPrinters = (PRINTER_INFO_2W*)GlobalAlloc(GMEM_FIXED, cbPrinters);
    if (pPrinters != NULL &&
        EnumPrintersW(PRINTER_ENUM_LOCAL, NULL, 2, (LPBYTE)pPrinters, cbPrinters, &cbPrinters, &NumPrinters))
    {
        pVisited = (BOOL*)GlobalAlloc(GMEM_FIXED | GMEM_ZEROINIT, (NumPrinters + 1) * sizeof(BOOL));
        if (pVisited != NULL)
            Loop = LeadsBack(hMonitorKey, pPortName, pPrinterName, pPrinters, NumPrinters, pVisited);
    }
    if (pVisited != NULL)
        GlobalFree(pVisited);
    if (pPrinters != NULL)
        GlobalFree(pPrinters);
    return Loop;
}
