// csumsettings.cpp: the checksum port's two settings, pass-through on or off
// ("Print", REG_DWORD) and the pass-through printer ("Print To", REG_SZ):
// kept in the port's registry key, edited in the "Checksum Port Settings"
// dialog, or handed over with an AddPortExW record.
#include "csumport.h"

#include "monitor.h"
#include "resource.h"

BOOL CChecksumPort::SaveToRegistry(HKEY hPortKey)
{
    DWORD ErrorCode = 0;
    DWORD RegPassThrough = PassThrough;
    const WCHAR* pPrinterName = PassThroughName;
    if (pPrinterName == NULL)
        pPrinterName = L"";  // a name lost for want of memory is stored empty

    ErrorCode = RegSetValueExW(hPortKey, L"Print", 0, REG_DWORD, (const BYTE*)&RegPassThrough,
                               sizeof(RegPassThrough));
    if (ErrorCode != ERROR_SUCCESS)
        goto CleanUp;  // "Print To" is not attempted

    ErrorCode = RegSetValueExW(hPortKey, L"Print To", 0, REG_SZ, (const BYTE*)pPrinterName,
                               (lstrlenW(pPrinterName) + 1) * sizeof(WCHAR));

CleanUp:
    if (ErrorCode != 0)
    {
        SetLastError(ErrorCode);
        return FALSE;
    }
    return TRUE;
}

// Never fails: a value that is missing or cannot be used takes its default
// (pass-through off, empty printer name). Values that do not hold what they
// should are read as users would want:
//  - "Print" shorter than four bytes counts as off;
//  - "Print To" without a terminator is taken up to the end of its data;
//  - "Print To" longer than 2048 bytes counts as empty.
BOOL CChecksumPort::LoadFromRegistry(HKEY hPortKey)
{
    const DWORD BufferSize = 1024;
    WCHAR pBuffer[BufferSize + 1];  // one more for a terminator the data may lack
    DWORD ValueType = 0;
    DWORD BytesNeeded = BufferSize * sizeof(WCHAR);

    if (RegQueryValueExW(hPortKey, L"Print", NULL, &ValueType, (LPBYTE)pBuffer, &BytesNeeded) ==
            ERROR_SUCCESS &&
        BytesNeeded >= sizeof(DWORD))
    {
        DWORD Value;
        CopyMemory(&Value, pBuffer, sizeof(Value));
        PassThrough = Value;
    }
    else
    {
        PassThrough = 0;
    }

    BytesNeeded = BufferSize * sizeof(WCHAR);
    if (RegQueryValueExW(hPortKey, L"Print To", NULL, &ValueType, (LPBYTE)pBuffer, &BytesNeeded) ==
        ERROR_SUCCESS)
    {
        pBuffer[BytesNeeded / sizeof(WCHAR)] = L'\0';
        PassThroughName = pBuffer;
    }
    else
    {
        PassThroughName = L"";
    }
    return TRUE;
}

// pBuffer carries the pass-through printer's name (wide text with its
// terminator), or is null for no pass-through. BufferSize is not used: the
// name is read up to its terminator. A name that runs into unreadable memory
// before its terminator is refused with ERROR_INVALID_PARAMETER.
BOOL CChecksumPort::ConfigurePortEx(LPWSTR, LPBYTE pBuffer, DWORD)
{
    DWORD ErrorCode = 0;
    LPWSTR pPrinterName = (LPWSTR)pBuffer;
    SIZE_T cchPrinterName;

    if (pPrinterName != NULL && !GuardedStringLength(pPrinterName, &cchPrinterName))
    {
        ErrorCode = ERROR_INVALID_PARAMETER;
        goto CleanUp;
    }

    EnterMutex();
    if (pPrinterName != NULL)
    {
        PassThrough = 1;
        PassThroughName = pPrinterName;
    }
    else
    {
        PassThrough = 0;  // the old name is kept
    }
    LeaveMutex();

CleanUp:
    if (ErrorCode != 0)
    {
        SetLastError(ErrorCode);
        return FALSE;
    }
    return TRUE;
}

BOOL CChecksumPort::ConfigurePortDialog(LPWSTR pServer, HWND hParentWindow)
{
    DWORD ErrorCode = 0;
    DWORD CurrentThreadId = GetCurrentThreadId();
    DWORD ParentThreadId = GetWindowThreadProcessId(hParentWindow, NULL);

    if (pServer != NULL)
    {
        OutputDebugStringW(L"CPort::ConfigurePortDialog does not handle pServer != NULL\n");
        ErrorCode = ERROR_INVALID_PARAMETER;
        goto CleanUp;
    }

    if (!AttachThreadInput(CurrentThreadId, ParentThreadId, TRUE))
    {
        ErrorCode = GetLastError();
        goto CleanUp;
    }

    // The settings change in the port only; the monitor saves them when this
    // answers TRUE. A dialog that ends otherwise than by OK answers with the
    // thread's last error, so a plain Cancel (no error) still reads as TRUE
    // and saves the unchanged settings.
    if (DialogBoxParamW(GetMonitor()->GetInstance(), MAKEINTRESOURCEW(IDD_CHECKSUM_PORT),
                        hParentWindow, ConfigurePortDialogProc, (LPARAM)this) != 1)
        ErrorCode = GetLastError();

CleanUp:
    if (ErrorCode != 0)
    {
        SetLastError(ErrorCode);
        return FALSE;
    }
    return TRUE;
}

INT_PTR CALLBACK CChecksumPort::ConfigurePortDialogProc(HWND hDialog, UINT Message, WPARAM wparam,
                                                        LPARAM lparam)
{
    switch ((WORD)Message)
    {
    case WM_INITDIALOG:
    {
        DWORD ErrorCode = 0;
        BOOL InMutex = FALSE;
        CChecksumPort* pPort = (CChecksumPort*)lparam;
        const WCHAR* pPrinterName;

        SetForegroundWindow(hDialog);
        SetWindowLongPtrW(hDialog, GWLP_USERDATA, lparam);

        pPort->EnterMutex();
        InMutex = TRUE;

        if (!CheckDlgButton(hDialog, IDC_PRINT_DOCUMENTS, pPort->PassThrough ? BST_CHECKED : BST_UNCHECKED))
        {
            ErrorCode = GetLastError();
            goto WMInitDialogCleanUp;
        }
        pPrinterName = pPort->PassThroughName;
        if (!SetDlgItemTextW(hDialog, IDC_PRINTER_NAME, pPrinterName != NULL ? pPrinterName : L""))
            ErrorCode = GetLastError();

    WMInitDialogCleanUp:
        if (InMutex)
            pPort->LeaveMutex();
        if (ErrorCode != 0)
        {
            SetLastError(ErrorCode);
            return FALSE;
        }
        return TRUE;
    }

    case WM_COMMAND:
    {
        CChecksumPort* pPort = (CChecksumPort*)GetWindowLongPtrW(hDialog, GWLP_USERDATA);
        switch (LOWORD(wparam))
        {
        case IDOK:
        {
            DWORD ErrorCode = 0;
            LPWSTR pString = NULL;
            DWORD StringLength;
            DWORD StringSize;

            // The lock is held only for these reads and writes, never while
            // the user edits.
            pPort->EnterMutex();
            pPort->PassThrough = IsDlgButtonChecked(hDialog, IDC_PRINT_DOCUMENTS) == BST_CHECKED;

            StringLength =
                (DWORD)SendDlgItemMessageW(hDialog, IDC_PRINTER_NAME, WM_GETTEXTLENGTH, 0, 0) + 1;
            StringSize = StringLength * sizeof(WCHAR);
            pString = (LPWSTR)GlobalAlloc(GMEM_FIXED, StringSize);
            if (pString == NULL)
            {
                ErrorCode = GetLastError();
                goto IDOKCleanUp;
            }
            if (GetDlgItemTextW(hDialog, IDC_PRINTER_NAME, pString, StringLength) == 0 &&
                StringLength != 1)
            {
                ErrorCode = GetLastError();
                goto IDOKCleanUp;
            }
            pString[StringLength - 1] = L'\0';
            pPort->PassThroughName = pString;

        IDOKCleanUp:
            pPort->LeaveMutex();
            if (ErrorCode == 0)
                EndDialog(hDialog, 1);
            if (pString != NULL)
                GlobalFree(pString);
            if (ErrorCode != 0)
            {
                SetLastError(ErrorCode);
                return FALSE;  // the dialog stays open
            }
            return TRUE;
        }

        case IDCANCEL:
            EndDialog(hDialog, 0);
            return TRUE;
        }
        return FALSE;
    }
    }
    return FALSE;
}
