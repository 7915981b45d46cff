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

// The live-port table and its lock. Both are initialised by a static
// constructor, which runs before any port can be made (in the DLL before its
// DllMain, in a program before main); the lock is deleted by
// DeleteLivePortTable.
//
// Every handle-based call looks its handle up here, so the lookup must not
// grow with the number of ports: the entries hang in a fixed array of
// buckets chosen by the port's address (one list of 10,000 ports made a 4 KB
// WritePort ten times as slow). Each bucket is a ring whose head is an entry
// of no port, so taking an entry out needs neither its bucket nor a special
// case for the first one.
static CRITICAL_SECTION LivePortLock;
static const SIZE_T LiveBucketBits = 10;
static CLiveEntry LiveBuckets[(SIZE_T)1 << LiveBucketBits];

static struct CLivePortTableInit
{
    CLivePortTableInit()
    {
        InitializeCriticalSection(&LivePortLock);
        for (SIZE_T Index = 0; Index < ARRAYSIZE(LiveBuckets); Index++)
            LiveBuckets[Index].pPrev = LiveBuckets[Index].pNext = &LiveBuckets[Index];
    }
} LivePortTableInit;

// Fibonacci hashing of the address: ports are heap blocks of one size, so
// their low bits alone would fill only some of the buckets.
static CLiveEntry* LiveBucketOf(const void* pPort)
{
    UINT64 Key = (UINT64)(UINT_PTR)pPort >> 4;
    return &LiveBuckets[(Key * 0x9E3779B97F4A7C15ULL) >> (64 - LiveBucketBits)];
}

void DeleteLivePortTable()
{
    DeleteCriticalSection(&LivePortLock);
}

void RegisterLivePort(CLiveEntry* pEntry, const void* pPort)
{
    CLiveEntry* pHead = LiveBucketOf(pPort);
    EnterCriticalSection(&LivePortLock);
    pEntry->pObject = pPort;
    pEntry->pPrev = pHead;
    pEntry->pNext = pHead->pNext;
    pHead->pNext->pPrev = pEntry;
    pHead->pNext = pEntry;
    LeaveCriticalSection(&LivePortLock);
}

// Unlinks an entry that is in the table; the caller holds the lock.
static void UnlinkEntry(CLiveEntry* pEntry)
{
    if (pEntry->pObject == NULL)
        return;  // already out of the table
    pEntry->pPrev->pNext = pEntry->pNext;
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
    CLiveEntry* pHead = LiveBucketOf(pPort);
    EnterCriticalSection(&LivePortLock);
    for (CLiveEntry* pEntry = pHead->pNext; pEntry != pHead; pEntry = pEntry->pNext)
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
