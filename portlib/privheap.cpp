// privheap.cpp: first-use creation of the private heaps.
#include "privheap.h"

HANDLE GetPrivateHeap(HANDLE volatile* phHeap)
{
    HANDLE hHeap = *phHeap;
    if (hHeap != NULL)
        return hHeap;

    HANDLE hNewHeap = HeapCreate(0, 4096, 0);
    if (hNewHeap == NULL)
        return NULL;

    // Publish ours unless another thread got there first; then use theirs and
    // give ours back, so the process ends up with exactly one heap.
    hHeap = (HANDLE)InterlockedCompareExchangePointer((PVOID volatile*)phHeap, hNewHeap, NULL);
    if (hHeap != NULL)
    {
        HeapDestroy(hNewHeap);
        return hHeap;
    }
    return hNewHeap;
}

void* PrivateHeapAlloc(HANDLE volatile* phHeap, size_t nSize)
{
    HANDLE hHeap = GetPrivateHeap(phHeap);
    void* pBlock = hHeap != NULL ? HeapAlloc(hHeap, 0, nSize) : NULL;
    // Neither HeapCreate nor HeapAlloc promises a last-error code; callers
    // report the failure with the system's out-of-memory code.
    if (pBlock == NULL)
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return pBlock;
}

void PrivateHeapFree(HANDLE volatile* phHeap, void* pObj)
{
    if (pObj != NULL)
        HeapFree(*phHeap, 0, pObj);
}
