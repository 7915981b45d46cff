// xcvconnection.cpp: the monitor's commands, sent through the spooler.
#include "xcvconnection.h"

#include "xcvcommands.h"

CXcvConnection::CXcvConnection()
{
    hXcv = NULL;
}

CXcvConnection::~CXcvConnection()
{
    Close();
}

BOOL CXcvConnection::OpenMonitor(const WCHAR* pMonitorName)
{
    return Open(L",XcvMonitor ", pMonitorName);
}

BOOL CXcvConnection::OpenPort(const WCHAR* pPortName)
{
    return Open(L",XcvPort ", pPortName);
}

void CXcvConnection::Close()
{
    if (hXcv != NULL)
        ClosePrinter(hXcv);
    hXcv = NULL;
}

BOOL CXcvConnection::Open(const WCHAR* pPrefix, const WCHAR* pName)
{
    DWORD ErrorCode = 0;
    LPWSTR pObjectName = NULL;
    PRINTER_DEFAULTSW Defaults = { NULL, NULL, SERVER_ACCESS_ADMINISTER };

    Close();
    pObjectName = (LPWSTR)GlobalAlloc(GMEM_FIXED, (lstrlenW(pPrefix) + lstrlenW(pName) + 1) * sizeof(WCHAR));
    if (pObjectName == NULL)
    {
        ErrorCode = ERROR_NOT_ENOUGH_MEMORY;
        goto CleanUp;
    }
    lstrcpyW(pObjectName, pPrefix);
    lstrcatW(pObjectName, pName);

    if (!OpenPrinterW(pObjectName, &hXcv, &Defaults))
    {
        hXcv = NULL;
        ErrorCode = GetLastError();
    }

CleanUp:
    if (pObjectName != NULL)
        GlobalFree(pObjectName);
    if (ErrorCode != 0)
    {
        SetLastError(ErrorCode);
        return FALSE;
    }
    return TRUE;
}

BOOL CXcvConnection::Command(const WCHAR* pCommand, const void* pInput, DWORD cbInput, void* pOutput,
                             DWORD cbOutput, DWORD* pcbOutputNeeded)
{
    DWORD ErrorCode = 0;
    DWORD Status = 0;
    DWORD cbNeeded = 0;

    if (!XcvDataW(hXcv, pCommand, (PBYTE)pInput, cbInput, (PBYTE)pOutput, cbOutput, &cbNeeded, &Status))
        ErrorCode = GetLastError();
    else
        ErrorCode = Status;
    if (pcbOutputNeeded != NULL)
        *pcbOutputNeeded = cbNeeded;

    if (ErrorCode != 0)
    {
        SetLastError(ErrorCode);
        return FALSE;
    }
    return TRUE;
}

BOOL CXcvConnection::AddPort(const WCHAR* pPortName)
{
    return Command(VARDLET_XCV_ADD_PORT, pPortName, (lstrlenW(pPortName) + 1) * sizeof(WCHAR), NULL, 0, NULL);
}

BOOL CXcvConnection::DeletePort(const WCHAR* pPortName)
{
    return Command(VARDLET_XCV_DELETE_PORT, pPortName, (lstrlenW(pPortName) + 1) * sizeof(WCHAR), NULL, 0, NULL);
}

// The settings come as a DWORD "Print" followed by the printer's name with
// its terminator. The size is asked first; a port whose settings change in
// between is asked again.
BOOL CXcvConnection::GetPortSettings(CPortSettings* pSettings)
{
    DWORD ErrorCode = 0;
    BYTE* pBuffer = NULL;
    DWORD cbBuffer = 0;
    DWORD cbNeeded = 0;
    SIZE_T cchPrintTo;

    for (int Attempt = 0; Attempt < 3; Attempt++)
    {
        if (Command(VARDLET_XCV_GET_PORT_SETTINGS, NULL, 0, pBuffer, cbBuffer, &cbNeeded))
        {
            ErrorCode = 0;
            break;
        }
        ErrorCode = GetLastError();
        if (ErrorCode != ERROR_INSUFFICIENT_BUFFER || cbNeeded <= cbBuffer)
            goto CleanUp;
        if (pBuffer != NULL)
            GlobalFree(pBuffer);
        pBuffer = (BYTE*)GlobalAlloc(GMEM_FIXED, cbNeeded);
        if (pBuffer == NULL)
        {
            ErrorCode = ERROR_NOT_ENOUGH_MEMORY;
            goto CleanUp;
        }
        cbBuffer = cbNeeded;
    }
    if (ErrorCode != 0)
        goto CleanUp;

    // Whatever the monitor answered, nothing is read past what it filled in.
    if (pBuffer == NULL || cbNeeded < sizeof(DWORD) || cbNeeded > cbBuffer)
    {
        ErrorCode = ERROR_INVALID_DATA;
        goto CleanUp;
    }
    pSettings->Print = ((VARDLET_PORT_SETTINGS*)pBuffer)->Print;
    cchPrintTo = 0;
    {
        const WCHAR* pPrintTo = ((VARDLET_PORT_SETTINGS*)pBuffer)->PrintTo;
        SIZE_T cchAvailable = (cbNeeded - sizeof(DWORD)) / sizeof(WCHAR);
        while (cchPrintTo < cchAvailable && pPrintTo[cchPrintTo] != L'\0')
            cchPrintTo++;
        if (!pSettings->SetPrintTo(pPrintTo, cchPrintTo))
            ErrorCode = GetLastError();
    }

CleanUp:
    if (pBuffer != NULL)
        GlobalFree(pBuffer);
    if (ErrorCode != 0)
    {
        SetLastError(ErrorCode);
        return FALSE;
    }
    return TRUE;
}

BOOL CXcvConnection::SetPortSettings(const CPortSettings* pSettings)
{
    DWORD ErrorCode = 0;
    DWORD cbInput = VARDLET_PORT_SETTINGS_SIZE(lstrlenW(pSettings->pPrintTo));
    BYTE* pInput = (BYTE*)GlobalAlloc(GMEM_FIXED, cbInput);

    if (pInput == NULL)
    {
        ErrorCode = ERROR_NOT_ENOUGH_MEMORY;
        goto CleanUp;
    }
    ((VARDLET_PORT_SETTINGS*)pInput)->Print = pSettings->Print;
    CopyMemory(((VARDLET_PORT_SETTINGS*)pInput)->PrintTo, pSettings->pPrintTo, cbInput - sizeof(DWORD));
    if (!Command(VARDLET_XCV_SET_PORT_SETTINGS, pInput, cbInput, NULL, 0, NULL))
        ErrorCode = GetLastError();

CleanUp:
    if (pInput != NULL)
        GlobalFree(pInput);
    if (ErrorCode != 0)
    {
        SetLastError(ErrorCode);
        return FALSE;
    }
    return TRUE;
}
