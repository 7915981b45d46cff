// uidialogs.cpp: the UI's two dialogs. They behave as vardlet.dll's do: the
// dialog comes to the foreground, OK takes the text exactly as typed, Cancel,
// Esc and the close box change nothing.
//
// Unlike vardlet.dll, which runs inside the spooler and joins its thread's
// input to the owner window's thread first, the UI runs on the calling
// program's own thread: an owner window of that thread, or none, is normal,
// and no input is attached.
#include "uidialogs.h"

#include "portnamedialog.h"
#include "resource.h"

HINSTANCE hUiInstance = NULL;

// The text of an edit control in fixed global memory, terminated whatever
// the copy returned. NULL with the last error set when no memory is left.
static LPWSTR GetEditText(HWND hDialog, int ControlId, DWORD* pcchText)
{
    DWORD TextLength = (DWORD)SendDlgItemMessageW(hDialog, ControlId, WM_GETTEXTLENGTH, 0, 0) + 1;
    LPWSTR pText = (LPWSTR)GlobalAlloc(GMEM_FIXED, TextLength * sizeof(WCHAR));
    if (pText == NULL)
    {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return NULL;
    }
    GetDlgItemTextW(hDialog, ControlId, pText, TextLength);
    pText[TextLength - 1] = L'\0';
    *pcchText = lstrlenW(pText);
    return pText;
}

// The creation parameter is the settings being edited.
static INT_PTR CALLBACK PortSettingsDialogProc(HWND hDialog, UINT Message, WPARAM wparam, LPARAM lparam)
{
    switch ((WORD)Message)
    {
    case WM_INITDIALOG:
    {
        CPortSettings* pSettings = (CPortSettings*)lparam;
        SetForegroundWindow(hDialog);
        SetWindowLongPtrW(hDialog, GWLP_USERDATA, lparam);
        CheckDlgButton(hDialog, IDC_PRINT_DOCUMENTS, pSettings->Print ? BST_CHECKED : BST_UNCHECKED);
        SetDlgItemTextW(hDialog, IDC_PRINTER_NAME, pSettings->pPrintTo);
        return TRUE;
    }

    case WM_COMMAND:
        switch (LOWORD(wparam))
        {
        case IDOK:
        {
            CPortSettings* pSettings = (CPortSettings*)GetWindowLongPtrW(hDialog, GWLP_USERDATA);
            DWORD cchPrintTo = 0;
            LPWSTR pPrintTo = GetEditText(hDialog, IDC_PRINTER_NAME, &cchPrintTo);
            if (pPrintTo == NULL || !pSettings->SetPrintTo(pPrintTo, cchPrintTo))
            {
                if (pPrintTo != NULL)
                    GlobalFree(pPrintTo);
                return FALSE;  // the dialog stays open
            }
            GlobalFree(pPrintTo);
            pSettings->Print = IsDlgButtonChecked(hDialog, IDC_PRINT_DOCUMENTS) == BST_CHECKED;
            EndDialog(hDialog, 1);
            return TRUE;
        }
        case IDCANCEL:
            EndDialog(hDialog, 0);
            return TRUE;
        }
        return FALSE;
    }
    return FALSE;
}

// DialogBoxParamW's answer as a BOOL: 1 is OK, 0 a cancel, -1 no dialog.
static BOOL DialogResult(INT_PTR Result)
{
    if (Result == 1)
        return TRUE;
    if (Result == 0)
        SetLastError(ERROR_CANCELLED);
    else if (GetLastError() == 0)
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);  // the platform named no cause
    return FALSE;
}

BOOL AskPortName(HWND hParentWindow, LPWSTR* ppPortName)
{
    *ppPortName = NULL;
    SetLastError(0);
    INT_PTR Result = DialogBoxParamW(hUiInstance, MAKEINTRESOURCEW(IDD_PORT_NAME), hParentWindow,
                                     PortNameDialog, (LPARAM)ppPortName);
    if (Result != 1 && *ppPortName != NULL)
    {
        GlobalFree(*ppPortName);
        *ppPortName = NULL;
    }
    return DialogResult(Result);
}

BOOL EditPortSettings(HWND hParentWindow, CPortSettings* pSettings)
{
    SetLastError(0);
    return DialogResult(DialogBoxParamW(hUiInstance, MAKEINTRESOURCEW(IDD_CHECKSUM_PORT), hParentWindow,
                                        PortSettingsDialogProc, (LPARAM)pSettings));
}
