// privheap.h: the private heaps of the monitor and of the ports.
//
// Each heap is created on first use (4096 bytes committed, no maximum) and
// never destroyed. Two threads that allocate the first object at the same
// moment get one heap between them.
#pragma once

#include <windows.h>

// Returns the heap kept in *phHeap, creating it first if there is none yet.
// Null if it cannot be created; the next call tries again.
HANDLE GetPrivateHeap(HANDLE volatile* phHeap);

// Allocation from a private heap, for the classes' operator new. Null (with
// ERROR_NOT_ENOUGH_MEMORY as last error) when the heap or the block cannot be
// had.
void* PrivateHeapAlloc(HANDLE volatile* phHeap, size_t nSize);
void PrivateHeapFree(HANDLE volatile* phHeap, void* pObj);
