// port.cpp: CPort construction, locking and the base job path.
#include "port.h"

#include "platformcall.h"
#include "privheap.h"

HANDLE volatile hPortHeap = NULL;

CPort::CPort(CMonitor* pInitMonitor, const WCHAR* pPortName)
    : pName(pPortName)
{
    InitializeCriticalSection(&PortMutex);
    pMonitor = pInitMonitor;
    Signature = PORT_SIGNATURE;
    Next = NULL;
    JobID = 0;
    hPrinter = NULL;
    InUse = FALSE;
    CallsInside = 0;
    DialogsOpen = 0;
    RegisterLivePort(&LiveEntry, this);
}

CPort::~CPort()
{
    // Out of the live table first: from here on the address is no handle.
    UnregisterLivePort(&LiveEntry);
    if (InUse)
        OutputDebugStringW(L"CPort::~CPort(): port destroyed while still in use.\n");
    // A job whose StartDocPort failed after opening its printer (its
    // pass-through printer could not be had) leaves that printer open.
    if (hPrinter != NULL)
        ClosePrinter(hPrinter);
    DeleteCriticalSection(&PortMutex);
    pName.FreeString();
}

void* CPort::operator new(size_t nSize) noexcept
{
    return PrivateHeapAlloc(&hPortHeap, nSize);
}

void CPort::operator delete(void* pObj)
{
    PrivateHeapFree(&hPortHeap, pObj);
}

DWORD CPort::GetSignature()
{
    return PORT_SIGNATURE;
}

// The in-use mark is an interlocked flag rather than a field under the port
// mutex: OpenPort marks the port under the monitor mutex, and a job call
// holds the port mutex across slow spooler calls, so waiting for that mutex
// there would hold up every other port behind this one.
BOOL CPort::Open()
{
    if (InterlockedCompareExchange(&InUse, TRUE, FALSE) != FALSE)
    {
        OutputDebugStringW(L"CPort::Open(): port already in use.\n");
        SetLastError(ERROR_BUSY);
        return FALSE;
    }
    return TRUE;
}

BOOL CPort::Close()
{
    if (InterlockedExchange(&InUse, FALSE) == FALSE)
        OutputDebugStringW(L"CPort::Close(): port is not in use.\n");
    return TRUE;
}

// A first look, under the monitor mutex; Withdraw makes the decision.
BOOL CPort::CanDelete()
{
    return !InUse && DialogsOpen == 0;
}

BOOL CPort::Withdraw()
{
    return UnregisterLivePortIf(
        &LiveEntry,
        [](const void* pObject, void*) -> BOOL {
            CPort* pPort = (CPort*)pObject;
            return pPort->CallsInside == 0 && pPort->InUse == FALSE;
        },
        NULL);
}

void CPort::Reinstate()
{
    RegisterLivePort(&LiveEntry, this);
}

BOOL CPort::Validate()
{
    DWORD ErrorCode = 0;
    EnterMutex();
    const WCHAR* pText = pName;
    // A comma cannot be stored in a registry key name (backslashes are kept
    // as commas there). A port without a name, or with an empty one, would
    // address the monitor's root key itself: refused the same way.
    if (pText == NULL || pText[0] == L'\0' || wcschr(pText, L',') != NULL)
        ErrorCode = ERROR_INVALID_NAME;
    LeaveMutex();
    if (ErrorCode != 0)
    {
        SetLastError(ErrorCode);
        return FALSE;
    }
    return TRUE;
}

BOOL CPort::SaveToRegistry(HKEY)
{
    return TRUE;
}

BOOL CPort::LoadFromRegistry(HKEY)
{
    return TRUE;
}

BOOL CPort::ConfigurePortEx(LPWSTR, LPBYTE, DWORD)
{
    return TRUE;
}

BOOL CPort::StartDocPort(LPWSTR pPrinterName, DWORD NewJobID, DWORD Level, LPBYTE pDocInfo)
{
    EnterMutex();
    JobID = NewJobID;
    // A job that never reached the end of EndDocPort (its pass-through
    // document could not be ended) left its printer open: close it, or every
    // such job would leak a printer handle.
    if (hPrinter != NULL)
    {
        ClosePrinter(hPrinter);
        hPrinter = NULL;
    }
    DWORD ErrorCode = 0;
    if (pPrinterName != NULL && NewJobID != 0)
    {
        if (!OpenPrinterW(pPrinterName, &hPrinter, NULL))
        {
            hPrinter = NULL;
            ErrorCode = FailedCallError(L"CPort::StartDocPort(): OpenPrinter failed.\n");
        }
    }
    else if (!FindJobOfPort(pPrinterName, NewJobID, Level, pDocInfo))
    {
        ErrorCode = GetLastError();
    }
    LeaveMutex();
    if (ErrorCode != 0)
    {
        SetLastError(ErrorCode);
        return FALSE;
    }
    return TRUE;
}

// Runs under the caller's lock: the checksum port holds PortMutex here.
BOOL CPort::EndDocPort()
{
    DWORD ErrorCode = 0;

    // Tell the spooler the port has finished with the job.
    if (!SetJobW(hPrinter, JobID, 0, NULL, JOB_CONTROL_SENT_TO_PRINTER))
        ErrorCode = FailedCallError(L"CPort::EndDocPort(): SetJob(Cancel) failed.\n");

    if (hPrinter != NULL)
    {
        ClosePrinter(hPrinter);
        hPrinter = NULL;
    }

    if (ErrorCode != 0)
    {
        SetLastError(ErrorCode);
        return FALSE;
    }
    return TRUE;
}

BOOL CPort::WritePort(LPBYTE, DWORD cbBufferSize, LPDWORD pdwWritten)
{
    if (!GuardedStoreDword(pdwWritten, cbBufferSize))
    {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    return TRUE;
}

BOOL CPort::ReadPort(LPBYTE, DWORD cbBufferSize, LPDWORD pdwRead)
{
    if (!GuardedStoreDword(pdwRead, cbBufferSize))
    {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    return TRUE;
}

CStringW CPort::GetName()
{
    return CStringW(pName);
}

BOOL CPort::IsNamed(const WCHAR* pText, SIZE_T cchText)
{
    const WCHAR* pOwnName = pName;
    return pOwnName != NULL && IsSameNameIgnoringCase(pOwnName, lstrlenW(pOwnName), pText, cchText);
}

// GetSize and WriteInfo run under the monitor mutex and read only the name,
// which never changes once the port is listed (it is set before the port
// joins the list). They take no port mutex: a job holds that one across
// whole spooler calls, and a pass-through printer slow to take a job would
// otherwise hold up every enumeration, and behind it every addition and
// every OpenPort of any port.
DWORD CPort::GetSize(DWORD Level)
{
    DWORD Size = 0;
    if (Level == 1)
    {
        Size = sizeof(PORT_INFO_1W);
        if (!pName.IsNull())
            Size += pName.GetSize();
    }
    return Size;
}

void CPort::WriteInfo(DWORD Level, LPBYTE pBuffer, LPWSTR pStrings)
{
    if (Level == 1)
    {
        PORT_INFO_1W* pPortInfo = (PORT_INFO_1W*)pBuffer;
        if (!pName.IsNull())
        {
            CopyMemory(pStrings, (WCHAR*)pName, pName.GetSize());
            pPortInfo->pName = pStrings;
        }
        else
        {
            pPortInfo->pName = NULL;
        }
    }
}
