// monitor.cpp: CMonitor's life, its registry-backed port list, port lookup,
// handle validation and the forwarding of the job calls to the ports.
#include "monitor.h"

#include "privheap.h"

HANDLE volatile hMonitorHeap = NULL;

CMonitor::CMonitor(HINSTANCE hDLLInstance)
{
    InitializeCriticalSection(&MonitorMutex);
    hInstance = hDLLInstance;
    Ports = NULL;
    hMonitorKey = NULL;
}

// Runs at process detach: takes no lock and deletes every port, open or not.
CMonitor::~CMonitor()
{
    CPort* pCurrPort = Ports;
    while (pCurrPort != NULL)
    {
        CPort* pNextPort = pCurrPort->Next;
        delete pCurrPort;
        pCurrPort = pNextPort;
    }
    Ports = NULL;
    if (hMonitorKey != NULL)
        RegCloseKey(hMonitorKey);
    RootPath.FreeString();
    DeleteCriticalSection(&MonitorMutex);
}

void* CMonitor::operator new(size_t nSize) noexcept
{
    return PrivateHeapAlloc(&hMonitorHeap, nSize);
}

void CMonitor::operator delete(void* pObj)
{
    PrivateHeapFree(&hMonitorHeap, pObj);
}

CPort* CMonitor::CreatePort(LPWSTR, HWND)
{
    return new CPort(this, NULL);
}

CPort* CMonitor::CreatePort(LPWSTR pPortName)
{
    return new CPort(this, pPortName);
}

BOOL CMonitor::LoadMonitorInfo()
{
    return TRUE;
}

BOOL CMonitor::SaveMonitorInfo()
{
    return TRUE;
}

BOOL CMonitor::MoInitializeMonitor(LPWSTR pRegistryRoot)
{
    DWORD ErrorCode = 0;
    BOOL InMutex = FALSE;
    LPWSTR pPortKey = NULL;
    WCHAR pMonitorKeyClass[260];
    DWORD SizeMonitorKeyClass = 260;
    DWORD NumPortKeys = 0;
    DWORD MaxPortKeyLength = 0;
    SIZE_T cchRegistryRoot = 0;

    // A null or empty root would make HKEY_LOCAL_MACHINE itself the root: its
    // subkeys read as ports, new ports created beside SYSTEM and SOFTWARE. A
    // root that cannot be read would fault inside the registry call.
    if (!GuardedStringLength(pRegistryRoot, &cchRegistryRoot) || cchRegistryRoot == 0)
    {
        ErrorCode = ERROR_INVALID_PARAMETER;
        goto CleanUp;
    }

    EnterMutex();
    InMutex = TRUE;

    // Initialised before (a process that loaded the library itself and then
    // prints through the spooler gets the same module back): the same root
    // changes nothing; another root is refused, and changes nothing either.
    if (hMonitorKey != NULL)
    {
        if (!IsSameNameIgnoringCase(RootPath, pRegistryRoot))
        {
            OutputDebugStringW(L"CMonitor::MoInitializeMonitor(): already initialized with another root.\n");
            ErrorCode = ERROR_ALREADY_INITIALIZED;
        }
        goto CleanUp;
    }

    RootPath = pRegistryRoot;
    if (RootPath.IsNull())
    {
        ErrorCode = ERROR_NOT_ENOUGH_MEMORY;
        goto CleanUp;
    }
    ErrorCode = RegCreateKeyExW(HKEY_LOCAL_MACHINE, pRegistryRoot, 0, NULL, REG_OPTION_NON_VOLATILE,
                                KEY_ALL_ACCESS, NULL, &hMonitorKey, NULL);
    if (ErrorCode != ERROR_SUCCESS)
    {
        hMonitorKey = NULL;
        RootPath.FreeString();
        goto CleanUp;
    }

    ErrorCode = RegQueryInfoKeyW(hMonitorKey, pMonitorKeyClass, &SizeMonitorKeyClass, NULL,
                                 &NumPortKeys, &MaxPortKeyLength, NULL, NULL, NULL, NULL, NULL, NULL);
    if (ErrorCode != ERROR_SUCCESS)
        goto CleanUp;

    MaxPortKeyLength++;  // the terminating NUL
    pPortKey = (LPWSTR)GlobalAlloc(GMEM_FIXED, MaxPortKeyLength * sizeof(WCHAR));
    if (pPortKey == NULL)
    {
        ErrorCode = GetLastError();
        goto CleanUp;
    }

    if (!LoadMonitorInfo())
    {
        ErrorCode = GetLastError();
        goto CleanUp;
    }

    for (DWORD CurrPortKey = 0; CurrPortKey < NumPortKeys; CurrPortKey++)
    {
        DWORD PortKeyLength = MaxPortKeyLength;
        ErrorCode = RegEnumKeyExW(hMonitorKey, CurrPortKey, pPortKey, &PortKeyLength, NULL, NULL,
                                  NULL, NULL);
        if (ErrorCode != ERROR_SUCCESS)
            goto CleanUp;

        CPort* pNewPort = CreatePortFromRegistry(hMonitorKey, pPortKey);
        if (pNewPort == NULL)
        {
            ErrorCode = GetLastError();
            goto CleanUp;
        }
        pNewPort->Next = Ports;
        Ports = pNewPort;
    }

CleanUp:
    // A failure does not undo itself: the ports read so far stay listed.
    if (pPortKey != NULL)
        GlobalFree(pPortKey);
    if (InMutex)
        LeaveMutex();
    if (ErrorCode != 0)
    {
        SetLastError(ErrorCode);
        return FALSE;
    }
    return TRUE;
}

CPort* CMonitor::CreatePortFromRegistry(HKEY, LPWSTR pPortKey)
{
    DWORD ErrorCode = 0;
    CPort* pNewPort = NULL;
    LPWSTR pPortName = NULL;
    DWORD SizePortName = (lstrlenW(pPortKey) + 1) * sizeof(WCHAR);

    pPortName = (LPWSTR)GlobalAlloc(GMEM_FIXED, SizePortName);
    if (pPortName == NULL)
    {
        ErrorCode = GetLastError();
        goto CleanUp;
    }
    lstrcpyW(pPortName, pPortKey);
    for (WCHAR* pCurrChar = pPortName; *pCurrChar != L'\0'; pCurrChar++)
    {
        if (*pCurrChar == L',')
            *pCurrChar = L'\\';
    }

    pNewPort = CreatePort(pPortName);
    if (pNewPort == NULL)
    {
        ErrorCode = GetLastError();
        goto CleanUp;
    }

    if (!LoadPortInfo(pNewPort))
        ErrorCode = GetLastError();

CleanUp:
    if (pPortName != NULL)
        GlobalFree(pPortName);
    if (ErrorCode != 0)
    {
        delete pNewPort;
        SetLastError(ErrorCode);
        return NULL;
    }
    return pNewPort;
}

BOOL CMonitor::LoadPortInfo(CPort* pPort)
{
    return AccessPortInfo(pPort, LoadPortKey);
}

BOOL CMonitor::SavePortInfo(CPort* pPort)
{
    return AccessPortInfo(pPort, SavePortKey);
}

BOOL CMonitor::DeletePortInfo(CPort* pPort)
{
    return AccessPortInfo(pPort, DeletePortKey);
}

// The three share the mapping from port name to key name; each then does its
// one registry step relative to the root key.
BOOL CMonitor::AccessPortInfo(CPort* pPort, PORT_KEY_ACTION Action)
{
    DWORD ErrorCode = 0;
    HKEY hPortKey = NULL;
    LPWSTR pPortKey = NULL;
    CStringW Name = pPort->GetName();
    const WCHAR* pName = Name;

    if (pName == NULL)
    {
        // A port without a name has no key; never let it address the root.
        ErrorCode = ERROR_INVALID_NAME;
        goto CleanUp;
    }

    pPortKey = (LPWSTR)GlobalAlloc(GMEM_FIXED, Name.GetSize());
    if (pPortKey == NULL)
    {
        ErrorCode = GetLastError();
        goto CleanUp;
    }
    lstrcpyW(pPortKey, pName);

    for (WCHAR* pCurrChar = pPortKey; *pCurrChar != L'\0'; pCurrChar++)
    {
        if (*pCurrChar == L',')
        {
            ErrorCode = ERROR_INVALID_NAME;
            goto CleanUp;
        }
        if (*pCurrChar == L'\\')
            *pCurrChar = L',';
    }

    switch (Action)
    {
    case LoadPortKey:
        ErrorCode = RegOpenKeyExW(hMonitorKey, pPortKey, 0, KEY_READ, &hPortKey);
        if (ErrorCode != ERROR_SUCCESS)
        {
            hPortKey = NULL;
            goto CleanUp;
        }
        if (!pPort->LoadFromRegistry(hPortKey))
            ErrorCode = GetLastError();
        break;

    case SavePortKey:
        ErrorCode = RegCreateKeyExW(hMonitorKey, pPortKey, 0, NULL, REG_OPTION_NON_VOLATILE,
                                    KEY_WRITE, NULL, &hPortKey, NULL);
        if (ErrorCode != ERROR_SUCCESS)
        {
            hPortKey = NULL;
            goto CleanUp;
        }
        if (!pPort->SaveToRegistry(hPortKey))
            ErrorCode = GetLastError();
        break;

    case DeletePortKey:
        ErrorCode = RegDeleteKeyW(hMonitorKey, pPortKey);
        break;
    }

CleanUp:
    if (hPortKey != NULL)
        RegCloseKey(hPortKey);
    if (pPortKey != NULL)
        GlobalFree(pPortKey);
    if (ErrorCode != 0)
    {
        SetLastError(ErrorCode);
        return FALSE;
    }
    return TRUE;
}

// Names are compared in place: a copy of each port's name per lookup made
// OpenPort's cost grow with every port listed. A null name is no port's name
// (every listed port has one).
CPort* CMonitor::FindPort(LPWSTR pPortName)
{
    CPort* pFound = NULL;
    if (pPortName == NULL)
        return NULL;
    SIZE_T cchPortName = lstrlenW(pPortName);
    EnterMutex();
    for (CPort* pCurrPort = Ports; pCurrPort != NULL; pCurrPort = pCurrPort->Next)
    {
        if (pCurrPort->IsNamed(pPortName, cchPortName))
        {
            pFound = pCurrPort;
            break;
        }
    }
    LeaveMutex();
    return pFound;
}

BOOL CMonitor::ValidatePortHandle(HANDLE hPort)
{
    // Only the address of a live port is ever read through (see faultguard.h).
    return CheckLivePort(
        hPort,
        [](const void* pObject, void*) -> BOOL {
            CPort* pPort = (CPort*)pObject;
            return pPort->GetSignature() == pPort->Signature;
        },
        NULL);
}

CPort* CMonitor::EnterPortCall(HANDLE hPort)
{
    // Counted inside the live-port table's lock, in which a deletion also
    // decides (CPort::Withdraw): either this call is counted first and the
    // deletion refused, or the port is gone first and the handle invalid.
    BOOL Entered = CheckLivePort(
        hPort,
        [](const void* pObject, void*) -> BOOL {
            CPort* pPort = (CPort*)pObject;
            if (pPort->GetSignature() != pPort->Signature)
                return FALSE;
            InterlockedIncrement(&pPort->CallsInside);
            return TRUE;
        },
        NULL);
    return Entered ? (CPort*)hPort : NULL;
}

BOOL CMonitor::MoOpenPort(LPWSTR pPortName, HANDLE* pHandle)
{
    DWORD ErrorCode = 0;
    CPort* pCurrPort = NULL;

    // The name is not looked at when there is nowhere to put the handle.
    // A name that cannot be read is refused like a handle pointer that
    // cannot be written; a null name is no port's name.
    if (pHandle == NULL || !IsWritableRange(pHandle, sizeof(HANDLE)) ||
        !IsNullOrReadableString(pPortName))
    {
        ErrorCode = ERROR_INVALID_PARAMETER;
        goto CleanUp;
    }

    // Lookup and opening are one step under the monitor mutex, so a port
    // cannot be deleted between being found and being marked in use. The
    // opening never waits for the port's own mutex (the in-use mark is an
    // interlocked flag, CPort::Open), so a port busy in a slow job call
    // holds up neither the monitor mutex nor, behind it, any other port.
    EnterMutex();
    pCurrPort = FindPort(pPortName);
    if (pCurrPort == NULL)
        ErrorCode = ERROR_UNKNOWN_PORT;
    else if (!pCurrPort->Open())
        ErrorCode = GetLastError();
    LeaveMutex();
    if (ErrorCode != 0)
        goto CleanUp;

    *pHandle = pCurrPort;

CleanUp:
    if (ErrorCode != 0)
    {
        SetLastError(ErrorCode);
        return FALSE;
    }
    return TRUE;
}

BOOL CMonitor::MoClosePort(HANDLE Handle)
{
    CPort* pPort = EnterPortCall(Handle);
    if (pPort == NULL)
    {
        OutputDebugStringW(L"CMonitor::MoClosePort(): port handle invalid.");
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    BOOL Result = pPort->Close();
    LeavePortCall(pPort);
    return Result;
}

BOOL CMonitor::MoStartDocPort(HANDLE hPort, LPWSTR pPrinterName, DWORD JobID, DWORD Level,
                              LPBYTE pDocInfo)
{
    CPort* pPort = EnterPortCall(hPort);
    if (pPort == NULL)
    {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    BOOL Result = FALSE;
    // OpenPrinterW reads the job's printer name unguarded. A null one (Wine's
    // spooler names no printer) makes the port find its job's printer itself.
    if (!IsNullOrReadableString(pPrinterName))
        SetLastError(ERROR_INVALID_PARAMETER);
    else
        Result = pPort->StartDocPort(pPrinterName, JobID, Level, pDocInfo);
    LeavePortCall(pPort);
    return Result;
}

BOOL CMonitor::MoEndDocPort(HANDLE hPort)
{
    CPort* pPort = EnterPortCall(hPort);
    if (pPort == NULL)
    {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    BOOL Result = pPort->EndDocPort();
    LeavePortCall(pPort);
    return Result;
}

BOOL CMonitor::MoWritePort(HANDLE hPort, LPBYTE pBuffer, DWORD cbBufferSize, LPDWORD pdwWritten)
{
    CPort* pPort = EnterPortCall(hPort);
    if (pPort == NULL)
    {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    BOOL Result = pPort->WritePort(pBuffer, cbBufferSize, pdwWritten);
    LeavePortCall(pPort);
    return Result;
}

BOOL CMonitor::MoReadPort(HANDLE hPort, LPBYTE pBuffer, DWORD cbBufferSize, LPDWORD pdwRead)
{
    CPort* pPort = EnterPortCall(hPort);
    if (pPort == NULL)
    {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    BOOL Result = pPort->ReadPort(pBuffer, cbBufferSize, pdwRead);
    LeavePortCall(pPort);
    return Result;
}
