// portsettings.h: a checksum port's two settings as the UI holds them while
// the user edits them.
#pragma once

#include <windows.h>

class CPortSettings
{
public:
    CPortSettings();
    ~CPortSettings();

    // Replaces the printer name by a copy of the first cchPrintTo characters
    // of pPrintTo. FALSE with ERROR_NOT_ENOUGH_MEMORY, the old name kept.
    BOOL SetPrintTo(const WCHAR* pText, SIZE_T cchText);

    DWORD Print;      // 1: every job is passed through to the printer, 0: not
    LPWSTR pPrintTo;  // the pass-through printer, never null; fixed global memory

private:
    CPortSettings(const CPortSettings&);
    CPortSettings& operator=(const CPortSettings&);
};
