// cstring.cpp: CStringW.
#include "cstring.h"

#include <wchar.h>

CStringW::CStringW() : pString(NULL)
{
}

CStringW::CStringW(const CStringW& SourceString) : pString(NULL)
{
    if (SourceString.pString != NULL)
        CopyFrom(SourceString.pString, SourceString.GetSize());
}

CStringW::CStringW(const WCHAR* pSourceString) : pString(NULL)
{
    if (pSourceString != NULL)
        CopyFrom(pSourceString, (lstrlenW(pSourceString) + 1) * sizeof(WCHAR));
}

CStringW::~CStringW()
{
    FreeString();
}

void CStringW::FreeString()
{
    if (pString != NULL)
    {
        GlobalFree(pString);
        pString = NULL;
    }
}

DWORD CStringW::GetSize() const
{
    if (pString == NULL)
        return sizeof(WCHAR);
    return (lstrlenW(pString) + 1) * sizeof(WCHAR);
}

void CStringW::CopyFrom(const WCHAR* pSource, DWORD cbSource)
{
    pString = (WCHAR*)GlobalAlloc(GMEM_FIXED, cbSource);
    if (pString == NULL)
    {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return;
    }
    CopyMemory(pString, pSource, cbSource);
    pString[cbSource / sizeof(WCHAR) - 1] = L'\0';
}

const CStringW& CStringW::operator=(const CStringW& SourceString)
{
    // Self-assignment is never done by the system; keeping the text is the
    // least surprising answer if it ever is.
    if (&SourceString == this)
        return *this;
    FreeString();
    if (SourceString.pString != NULL)
        CopyFrom(SourceString.pString, SourceString.GetSize());
    return *this;
}

const CStringW& CStringW::operator=(const WCHAR* pSourceString)
{
    // Assigning from a pointer into our own text: copy first, then free.
    if (pSourceString != NULL && pString != NULL &&
        pSourceString >= pString && pSourceString < pString + GetSize() / sizeof(WCHAR))
    {
        CStringW Copy(pSourceString);
        FreeString();
        pString = Copy.pString;
        Copy.pString = NULL;
        return *this;
    }
    FreeString();
    if (pSourceString != NULL)
        CopyFrom(pSourceString, (lstrlenW(pSourceString) + 1) * sizeof(WCHAR));
    return *this;
}

CStringW operator+(const CStringW& String1, const CStringW& String2)
{
    const WCHAR* pText1 = String1;
    const WCHAR* pText2 = String2;
    if (pText1 == NULL)
        return CStringW(String2);
    if (pText2 == NULL)
        return CStringW(String1);

    // One terminator, not two.
    DWORD cbResult = String1.GetSize() - sizeof(WCHAR) + String2.GetSize();
    WCHAR* pBlock = (WCHAR*)GlobalAlloc(GMEM_FIXED, cbResult);
    if (pBlock == NULL)
    {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return CStringW();
    }
    lstrcpyW(pBlock, pText1);
    lstrcatW(pBlock, pText2);
    CStringW Result;
    Result.pString = pBlock;  // the result owns the block
    return Result;
}

CStringW operator+(const CStringW& String1, const WCHAR* pString2)
{
    CStringW Temporary(pString2);
    return String1 + Temporary;
}

static WCHAR UpperChar(WCHAR Char)
{
    // CharUpperW converts one character passed in the low word of its argument.
    return (WCHAR)(ULONG_PTR)CharUpperW((LPWSTR)(ULONG_PTR)Char);
}

BOOL IsSameNameIgnoringCase(const WCHAR* pText1, SIZE_T cch1, const WCHAR* pText2, SIZE_T cch2)
{
    if (cch1 != cch2)
        return FALSE;
    for (SIZE_T Index = 0; Index < cch1; Index++)
    {
        if (pText1[Index] != pText2[Index] && UpperChar(pText1[Index]) != UpperChar(pText2[Index]))
            return FALSE;
    }
    return TRUE;
}

BOOL IsSameNameIgnoringCase(const WCHAR* pText1, const WCHAR* pText2)
{
    return IsSameNameIgnoringCase(pText1, lstrlenW(pText1), pText2, lstrlenW(pText2));
}

int operator==(const CStringW& String1, const CStringW& String2)
{
    const WCHAR* pText1 = String1;
    const WCHAR* pText2 = String2;
    if (pText1 != NULL && pText2 != NULL)
        return IsSameNameIgnoringCase(pText1, pText2) ? 1 : 0;
    return (pText1 == NULL && pText2 == NULL) ? 1 : 0;
}

int operator!=(const CStringW& String1, const WCHAR* pString2)
{
    CStringW Temporary(pString2);
    return (String1 == Temporary) ? 0 : 1;
}

int operator!=(const WCHAR* pString1, const CStringW& String2)
{
    CStringW Temporary(pString1);
    return (Temporary == String2) ? 0 : 1;
}
