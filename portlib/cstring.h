// cstring.h: CStringW, the small owning wide-character string used for port
// names, printer names and registry key paths.
//
// A CStringW is either null (holds nothing) or holds a block of exactly
// (length + 1) * 2 bytes of fixed global memory with the text and its NUL.
// Null and empty are different strings. Copies never share a block.
// Nothing is thrown: an allocation failure leaves the string null and sets
// the thread's last error to ERROR_NOT_ENOUGH_MEMORY.
#pragma once

#include <windows.h>

class CStringW
{
public:
    CStringW();
    CStringW(const CStringW& SourceString);
    CStringW(const WCHAR* pSourceString);
    ~CStringW();

    // Frees the text; the string is null afterwards. Harmless when null.
    void FreeString();

    // Bytes of the text with its NUL: (length + 1) * 2. A null string
    // measures as empty (2).
    DWORD GetSize() const;

    // Both assignments free the old text first, so a failed copy leaves the
    // target null, not unchanged. A null source leaves the target null.
    const CStringW& operator=(const CStringW& SourceString);
    const CStringW& operator=(const WCHAR* pSourceString);

    // The text itself (null for a null string), owned by this string and
    // valid until it is next assigned, freed or destroyed.
    operator WCHAR*() const { return pString; }

    BOOL IsNull() const { return pString == NULL; }

private:
    friend CStringW operator+(const CStringW& String1, const CStringW& String2);

    // Replaces the text by a copy of pSource (cbSource bytes with its NUL).
    void CopyFrom(const WCHAR* pSource, DWORD cbSource);

    WCHAR* pString;  // owned text block, or null
};

// Concatenation: a new string owned by the caller. A null operand counts as
// absent (null + "B" gives "B"); two nulls give a null string.
CStringW operator+(const CStringW& String1, const CStringW& String2);
CStringW operator+(const CStringW& String1, const WCHAR* pString2);

// The one comparison of names without regard to case (port names above
// all): equal when the texts have the same length and every character is the
// same after CharUpperW, one UTF-16 unit at a time. This folds letters
// beyond ASCII ("\u00C41:" equals "\u00E41:") the way the registry folds the
// port keys' names, so two names are the same port exactly when they would
// be the same key. Neither may be null. The counted form compares cch1
// characters of pText1 with cch2 of pText2.
BOOL IsSameNameIgnoringCase(const WCHAR* pText1, const WCHAR* pText2);
BOOL IsSameNameIgnoringCase(const WCHAR* pText1, SIZE_T cch1, const WCHAR* pText2, SIZE_T cch2);

// Equality without regard to case (IsSameNameIgnoringCase); a null string
// equals only a null string, never an empty one. Results are 1 or 0.
int operator==(const CStringW& String1, const CStringW& String2);
int operator!=(const CStringW& String1, const WCHAR* pString2);
int operator!=(const WCHAR* pString1, const CStringW& String2);
// Exact matches for the platform's LPWSTR, so these win over comparing the
// converted pointers.
inline int operator!=(const CStringW& String1, WCHAR* pString2)
{
    return String1 != (const WCHAR*)pString2;
}
inline int operator!=(WCHAR* pString1, const CStringW& String2)
{
    return (const WCHAR*)pString1 != String2;
}
