// monitoradmin.cpp: adding, configuring and deleting ports.
//
// Choices made here, where the spooler's contract leaves room:
//  - The duplicate test and the insertion run under one hold of the monitor
//    mutex, so two simultaneous additions of one name cannot both succeed.
//  - A cancelled "Port Name" dialog fails the addition with ERROR_CANCELLED.
//  - Empty names and ports left without a name are refused with
//    ERROR_INVALID_NAME: they would otherwise address the root key itself.
//  - A null or unreadable record for AddPortExW is ERROR_INVALID_PARAMETER.
//  - A port whose settings dialog is open cannot be deleted (ERROR_BUSY)
//    until the dialog and its save are over.
//  - A port name that cannot be read (ConfigurePortW, DeletePortW) is
//    ERROR_INVALID_PARAMETER; a null one names no port.
#include "monitor.h"

// The add record at level (DWORD)-1: a port kind's settings come with it.
struct PORT_INFO_FFW
{
    LPWSTR pName;
    DWORD cbMonitorData;
    LPBYTE pMonitorData;
};

// A name the registry layer can store: present, not empty, no comma.
static BOOL IsStorablePortName(const WCHAR* pName)
{
    return pName != NULL && pName[0] != L'\0' && wcschr(pName, L',') == NULL;
}

// Reports ERROR_NOT_ENOUGH_MEMORY for a factory that failed without a code.
static DWORD FactoryError()
{
    DWORD ErrorCode = GetLastError();
    return ErrorCode != 0 ? ErrorCode : ERROR_NOT_ENOUGH_MEMORY;
}

// The same lookup as OpenPort's, in place. Listing every port into a buffer
// to look through the copy cost each addition two passes over the list, a
// block the size of the whole list and a copy of every name. A completed test
// leaves the last error 0.
BOOL CMonitor::PortExists(LPWSTR, LPWSTR pPortName)
{
    BOOL Exists = FindPort(pPortName) != NULL;
    SetLastError(0);
    return Exists;
}

// The common end of both add paths: under one hold of the monitor mutex, the
// duplicate test, the head insertion and the save; on failure the port is
// unlinked again. The caller destroys the port when this fails.
BOOL CMonitor::LinkAndSavePort(CPort* pNewPort, LPWSTR pServerName)
{
    DWORD ErrorCode = 0;
    CStringW Name = pNewPort->GetName();

    EnterMutex();
    if (PortExists(pServerName, Name))
    {
        ErrorCode = ERROR_ALREADY_EXISTS;
        goto CleanUp;
    }
    pNewPort->Next = Ports;
    Ports = pNewPort;
    if (!SavePortInfo(pNewPort))
    {
        ErrorCode = GetLastError();
        Ports = pNewPort->Next;
        pNewPort->Next = NULL;
    }

CleanUp:
    LeaveMutex();
    if (ErrorCode != 0)
    {
        SetLastError(ErrorCode);
        return FALSE;
    }
    return TRUE;
}

BOOL CMonitor::MoAddPort(LPWSTR pServerName, HWND hwnd, LPWSTR)
{
    DWORD ErrorCode = 0;
    CPort* pNewPort = NULL;
    CStringW Name;

    if (pServerName != NULL)
    {
        OutputDebugStringW(L"CPort::AddPortDialog does not handle pServerName != NULL");
        ErrorCode = ERROR_INVALID_PARAMETER;
        goto CleanUp;
    }

    pNewPort = CreatePort(pServerName, hwnd);
    if (pNewPort == NULL)
    {
        ErrorCode = FactoryError();
        goto CleanUp;
    }

    SetLastError(0);
    if (!pNewPort->AddPortDialog(hInstance, pServerName, hwnd))
    {
        // A cancelled dialog leaves no code of its own.
        ErrorCode = GetLastError();
        if (ErrorCode == 0)
            ErrorCode = ERROR_CANCELLED;
        goto CleanUp;
    }

    Name = pNewPort->GetName();
    if (!IsStorablePortName(Name))
    {
        ErrorCode = ERROR_INVALID_NAME;
        goto CleanUp;
    }

    if (!LinkAndSavePort(pNewPort, pServerName))
        ErrorCode = GetLastError();

CleanUp:
    if (ErrorCode != 0)
    {
        delete pNewPort;
        SetLastError(ErrorCode);
        return FALSE;
    }
    return TRUE;
}

BOOL CMonitor::MoAddPortEx(LPWSTR pServerName, DWORD dwLevel, LPBYTE pBuffer, LPWSTR)
{
    DWORD ErrorCode = 0;
    CPort* pNewPort = NULL;

    DWORD cbRecord;
    switch (dwLevel)
    {
    case 1:
        cbRecord = sizeof(PORT_INFO_1W);
        break;
    case (DWORD)-1:
        cbRecord = sizeof(PORT_INFO_FFW);
        break;
    default:
        // Nothing is created and the record is not read.
        ErrorCode = ERROR_INVALID_LEVEL;
        goto CleanUp;
    }

    {
        // Both records begin with the new port's name.
        if (!IsReadableRange(pBuffer, cbRecord))
        {
            ErrorCode = ERROR_INVALID_PARAMETER;
            goto CleanUp;
        }
        LPWSTR pName = ((PORT_INFO_1W*)pBuffer)->pName;
        SIZE_T cchName;
        if (pName != NULL && !GuardedStringLength(pName, &cchName))
        {
            ErrorCode = ERROR_INVALID_PARAMETER;
            goto CleanUp;
        }
        pNewPort = CreatePort(pName);
        if (pNewPort == NULL)
        {
            ErrorCode = FactoryError();
            goto CleanUp;
        }
    }

    if (dwLevel == (DWORD)-1)
    {
        PORT_INFO_FFW* pPortInfo = (PORT_INFO_FFW*)pBuffer;
        if (!pNewPort->ConfigurePortEx(pServerName, pPortInfo->pMonitorData,
                                       pPortInfo->cbMonitorData))
        {
            ErrorCode = GetLastError();
            goto CleanUp;
        }
    }

    if (!pNewPort->Validate())
    {
        ErrorCode = GetLastError();
        goto CleanUp;
    }

    if (!LinkAndSavePort(pNewPort, pServerName))
        ErrorCode = GetLastError();

CleanUp:
    if (ErrorCode != 0)
    {
        delete pNewPort;
        SetLastError(ErrorCode);
        return FALSE;
    }
    return TRUE;
}

BOOL CMonitor::MoConfigurePort(LPWSTR pServerName, HWND hwnd, LPWSTR pPortName)
{
    DWORD ErrorCode = 0;
    CPort* pCurrPort = NULL;

    if (!IsNullOrReadableString(pPortName))
    {
        ErrorCode = ERROR_INVALID_PARAMETER;
        goto CleanUp;
    }

    // Found and marked under one hold of the monitor mutex: a deletion on
    // another thread then refuses the port until the dialog and save are over.
    EnterMutex();
    pCurrPort = FindPort(pPortName);
    if (pCurrPort != NULL)
        pCurrPort->DialogsOpen++;
    LeaveMutex();
    if (pCurrPort == NULL)
    {
        ErrorCode = ERROR_UNKNOWN_PORT;
        goto CleanUp;
    }

    // FALSE from the dialog: nothing to save, and not a failure.
    if (pCurrPort->ConfigurePortDialog(pServerName, hwnd))
    {
        if (!SavePortInfo(pCurrPort))
            ErrorCode = GetLastError();
    }

    EnterMutex();
    pCurrPort->DialogsOpen--;
    LeaveMutex();

CleanUp:
    if (ErrorCode != 0)
    {
        SetLastError(ErrorCode);
        return FALSE;
    }
    return TRUE;
}

BOOL CMonitor::MoDeletePort(LPWSTR, HWND, LPWSTR pPortName)
{
    DWORD ErrorCode = 0;
    CPort* pPrevPort = NULL;
    CPort* pCurrPort = NULL;
    SIZE_T cchPortName = 0;

    if (!IsNullOrReadableString(pPortName))
    {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (pPortName == NULL)
    {
        SetLastError(ERROR_UNKNOWN_PORT);  // a null name is no port's name
        return FALSE;
    }
    cchPortName = lstrlenW(pPortName);

    EnterMutex();

    // As FindPort, keeping the port before it for the unlinking.
    for (pCurrPort = Ports; pCurrPort != NULL; pCurrPort = pCurrPort->Next)
    {
        if (pCurrPort->IsNamed(pPortName, cchPortName))
            break;
        pPrevPort = pCurrPort;
    }
    if (pCurrPort == NULL)
    {
        ErrorCode = ERROR_UNKNOWN_PORT;
        goto CleanUp;
    }

    // Open, with a settings dialog running, or with a call still inside it
    // (a ClosePort that has cleared the in-use mark but not yet returned):
    // busy. Withdraw decides in one step with the handle-based calls, so
    // none can enter the port once it is withdrawn.
    if (!pCurrPort->CanDelete() || !pCurrPort->Withdraw())
    {
        ErrorCode = ERROR_BUSY;
        goto CleanUp;
    }

    // The key goes first: if it cannot be deleted, the port stays usable.
    if (!DeletePortInfo(pCurrPort))
    {
        ErrorCode = GetLastError();
        pCurrPort->Reinstate();
        goto CleanUp;
    }

    if (pPrevPort != NULL)
        pPrevPort->Next = pCurrPort->Next;
    else
        Ports = pCurrPort->Next;
    delete pCurrPort;

CleanUp:
    LeaveMutex();
    if (ErrorCode != 0)
    {
        SetLastError(ErrorCode);
        return FALSE;
    }
    return TRUE;
}
