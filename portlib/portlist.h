// portlist.h: walking a printer's port list, as the spooler gives it
// (PRINTER_INFO_2W.pPortName): port names separated by commas, blanks
// around them ignored.
#pragma once

#include <windows.h>
#include <wchar.h>

// Takes the next name from *ppCursor (null or at its end: none left, FALSE).
// The name is *ppEntry, *pcchEntry characters long (not NUL-terminated).
inline BOOL NextPortInList(const WCHAR** ppCursor, const WCHAR** ppEntry, SIZE_T* pcchEntry)
{
    const WCHAR* pEntry = *ppCursor;
    if (pEntry == NULL || *pEntry == L'\0')
        return FALSE;
    const WCHAR* pEnd = wcschr(pEntry, L',');
    *ppCursor = pEnd != NULL ? pEnd + 1 : NULL;
    if (pEnd == NULL)
        pEnd = pEntry + lstrlenW(pEntry);
    while (pEntry < pEnd && *pEntry == L' ')
        pEntry++;
    while (pEnd > pEntry && pEnd[-1] == L' ')
        pEnd--;
    *ppEntry = pEntry;
    *pcchEntry = pEnd - pEntry;
    return TRUE;
}
