// faultguard.cpp: caller-memory checks and the table of live ports.
#include "faultguard.h"

static const DWORD ReadableProtection = PAGE_READONLY | PAGE_READWRITE | PAGE_WRITECOPY |
                                        PAGE_EXECUTE_READ | PAGE_EXECUTE_READWRITE |
                                        PAGE_EXECUTE_WRITECOPY;
static const DWORD WritableProtection = PAGE_READWRITE | PAGE_WRITECOPY |
                                        PAGE_EXECUTE_READWRITE | PAGE_EXECUTE_WRITECOPY;

// Walks the regions that cover [pStart, pStart + cbRange). An empty range at
// a non-null address is fine: nothing will be read.
static BOOL IsAccessibleRange(const void* pStart, SIZE_T cbRange, DWORD AllowedProtection)
{
    const BYTE* pCurrent = (const BYTE*)pStart;
    if (pCurrent == NULL)
        return FALSE;
    const BYTE* pEnd = pCurrent + cbRange;
    if (pEnd < pCurrent)
        return FALSE;  // wraps around the address space

    while (pCurrent < pEnd)
    {
        MEMORY_BASIC_INFORMATION Info;
        if (VirtualQuery(pCurrent, &Info, sizeof(Info)) == 0)
            return FALSE;
        if (Info.State != MEM_COMMIT || (Info.Protect & (PAGE_GUARD | PAGE_NOACCESS)) != 0 ||
            (Info.Protect & AllowedProtection) == 0)
            return FALSE;
        const BYTE* pRegionEnd = (const BYTE*)Info.BaseAddress + Info.RegionSize;
        if (pRegionEnd <= pCurrent)
            return FALSE;
        pCurrent = pRegionEnd;
    }
    return TRUE;
}

BOOL IsReadableRange(const void* pStart, SIZE_T cbRange)
{
    return IsAccessibleRange(pStart, cbRange, ReadableProtection);
}

BOOL IsWritableRange(void* pStart, SIZE_T cbRange)
{
    return IsAccessibleRange(pStart, cbRange, WritableProtection);
}

BOOL GuardedStoreDword(LPDWORD pdwTarget, DWORD Value)
{
    if (!IsWritableRange(pdwTarget, sizeof(DWORD)))
        return FALSE;
    *pdwTarget = Value;
    return TRUE;
}

BOOL GuardedStringLength(const WCHAR* pText, SIZE_T* pcchLength)
{
    const WCHAR* pCurrent = pText;
    while (TRUE)
    {
        MEMORY_BASIC_INFORMATION Info;
        if (pCurrent == NULL || VirtualQuery(pCurrent, &Info, sizeof(Info)) == 0)
            return FALSE;
        if (Info.State != MEM_COMMIT || (Info.Protect & (PAGE_GUARD | PAGE_NOACCESS)) != 0 ||
            (Info.Protect & ReadableProtection) == 0)
            return FALSE;
        // Scan to the end of this readable region, whole characters only.
        const BYTE* pRegionEnd = (const BYTE*)Info.BaseAddress + Info.RegionSize;
        while ((const BYTE*)(pCurrent + 1) <= pRegionEnd)
        {
            if (*pCurrent == L'\0')
            {
                *pcchLength = pCurrent - pText;
                return TRUE;
            }
            pCurrent++;
        }
        if ((const BYTE*)pCurrent != pRegionEnd)
            return FALSE;  // a character straddles into the next region; keep it simple
    }
}

BOOL IsNullOrReadableString(const WCHAR* pText)
{
    SIZE_T cchText;
    return pText == NULL || GuardedStringLength(pText, &cchText);
}

// The live-port list and its lock. The lock is initialised by a static
// constructor, which runs before any port can be made (in the DLL before its
// DllMain, in a program before main), and deleted by DeleteLivePortTable.
static CRITICAL_SECTION LivePortLock;
static CLiveEntry* pLivePorts = NULL;

static struct CLivePortLockInit
{
    CLivePortLockInit() { InitializeCriticalSection(&LivePortLock); }
} LivePortLockInit;

void DeleteLivePortTable()
{
    DeleteCriticalSection(&LivePortLock);
}

void RegisterLivePort(CLiveEntry* pEntry, const void* pPort)
{
    EnterCriticalSection(&LivePortLock);
    pEntry->pObject = pPort;
    pEntry->pPrev = NULL;
    pEntry->pNext = pLivePorts;
    if (pLivePorts != NULL)
        pLivePorts->pPrev = pEntry;
    pLivePorts = pEntry;
    LeaveCriticalSection(&LivePortLock);
}

// Unlinks an entry that is in the table; the caller holds the lock.
static void UnlinkEntry(CLiveEntry* pEntry)
{
    if (pEntry->pObject == NULL)
        return;  // already out of the table
    if (pEntry->pPrev != NULL)
        pEntry->pPrev->pNext = pEntry->pNext;
    else
        pLivePorts = pEntry->pNext;
    if (pEntry->pNext != NULL)
        pEntry->pNext->pPrev = pEntry->pPrev;
    pEntry->pObject = NULL;
    pEntry->pPrev = pEntry->pNext = NULL;
}

void UnregisterLivePort(CLiveEntry* pEntry)
{
    EnterCriticalSection(&LivePortLock);
    UnlinkEntry(pEntry);
    LeaveCriticalSection(&LivePortLock);
}

BOOL UnregisterLivePortIf(CLiveEntry* pEntry, BOOL (*Check)(const void* pPort, void* pContext),
                          void* pContext)
{
    EnterCriticalSection(&LivePortLock);
    BOOL Removed = pEntry->pObject != NULL && Check(pEntry->pObject, pContext);
    if (Removed)
        UnlinkEntry(pEntry);
    LeaveCriticalSection(&LivePortLock);
    return Removed;
}

BOOL CheckLivePort(const void* pPort, BOOL (*Check)(const void* pPort, void* pContext), void* pContext)
{
    BOOL Result = FALSE;
    if (pPort == NULL)
        return FALSE;
    EnterCriticalSection(&LivePortLock);
    for (CLiveEntry* pEntry = pLivePorts; pEntry != NULL; pEntry = pEntry->pNext)
    {
        if (pEntry->pObject == pPort)
        {
            Result = Check(pPort, pContext);
            break;
        }
    }
    LeaveCriticalSection(&LivePortLock);
    return Result;
}
