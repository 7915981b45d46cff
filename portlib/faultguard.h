// faultguard.h: guards for memory that callers hand in, and for port handles.
//
// GCC has no structured exception handling (__try/__except), so instead of
// catching a fault we make sure none can happen:
//  - Caller memory (write buffers, count pointers, records) is checked with
//    VirtualQuery before it is touched: every page of the range must be
//    committed, not a guard page, and readable (or writable). A range that
//    fails the check makes the call fail with ERROR_INVALID_PARAMETER (87)
//    before any of it is used. Where a caught fault would stop a call half
//    way (a write buffer readable only in part: the pass-through printer and
//    the checksum would already have part of it), the check changes nothing
//    at all, which is better, but not the same.
//  - Port handles are checked against a table of live port objects before
//    the object is read at all. A null handle, a pointer into garbage or
//    unmapped memory, and the address of a destroyed port are not in the
//    table, so they are rejected without a single read through them.
// The memory check is a snapshot: a caller that frees its own buffer on
// another thread while the call runs can still crash the process, as it can
// on any monitor. Nothing here hides a fault of our own code.
#pragma once

#include <windows.h>

BOOL IsReadableRange(const void* pStart, SIZE_T cbRange);
BOOL IsWritableRange(void* pStart, SIZE_T cbRange);

// Stores Value through pdwTarget if the four bytes there are writable.
// FALSE, without a store, otherwise.
BOOL GuardedStoreDword(LPDWORD pdwTarget, DWORD Value);

// Length in characters of a NUL-terminated wide text, found without reading
// past readable memory. FALSE if the text runs into memory that cannot be
// read before its terminator (or pText is null).
BOOL GuardedStringLength(const WCHAR* pText, SIZE_T* pcchLength);

// A caller's name that may be absent: TRUE for null and for a text whose
// terminator is reached through readable memory.
BOOL IsNullOrReadableString(const WCHAR* pText);

// The table of live port objects: intrusive rings in buckets chosen by the
// port's address, so joining it needs no allocation and cannot fail, and a
// lookup costs about the same with ten ports or ten thousand. A port embeds
// one entry, adds itself when it is constructed and removes itself first
// thing when it is destroyed.
struct CLiveEntry
{
    const void* pObject;  // the live port; null out of the table (and in a bucket's head)
    CLiveEntry* pPrev;
    CLiveEntry* pNext;
};

void RegisterLivePort(CLiveEntry* pEntry, const void* pPort);
// Removes the entry only if Check(pObject, pContext) says so, in one hold
// of the table's lock: no call can find the port live in between. TRUE if
// it was removed.
BOOL UnregisterLivePortIf(CLiveEntry* pEntry, BOOL (*Check)(const void* pPort, void* pContext),
                          void* pContext);
// Deletes the table's lock: only when the library is unloaded with
// FreeLibrary, after the last port is gone. Never at process termination.
void DeleteLivePortTable();
void UnregisterLivePort(CLiveEntry* pEntry);

// Runs Check(pPort, pContext) only if pPort is a live port, while the table
// guarantees it stays alive (a port being destroyed waits for the check).
// FALSE if pPort is not live, otherwise Check's answer.
BOOL CheckLivePort(const void* pPort, BOOL (*Check)(const void* pPort, void* pContext), void* pContext);
