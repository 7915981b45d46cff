// portsettings.cpp: a checksum port's two settings as the UI holds them.
#include "portsettings.h"

static WCHAR EmptyText[] = L"";

CPortSettings::CPortSettings()
{
    Print = 0;
    pPrintTo = EmptyText;
}

CPortSettings::~CPortSettings()
{
    if (pPrintTo != EmptyText)
        GlobalFree(pPrintTo);
}

BOOL CPortSettings::SetPrintTo(const WCHAR* pText, SIZE_T cchText)
{
    LPWSTR pCopy = (LPWSTR)GlobalAlloc(GMEM_FIXED, (cchText + 1) * sizeof(WCHAR));
    if (pCopy == NULL)
    {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return FALSE;
    }
    CopyMemory(pCopy, pText, cchText * sizeof(WCHAR));
    pCopy[cchText] = L'\0';
    if (pPrintTo != EmptyText)
        GlobalFree(pPrintTo);
    pPrintTo = pCopy;
    return TRUE;
}
