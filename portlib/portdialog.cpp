// portdialog.cpp: the base port's dialogs: the "Port Name" dialog that names
// a new port, and the configuration answer of a port without settings.
#include "port.h"
#include "resource.h"

// Dialog procedure of "Port Name". The creation parameter is the address of
// AddPortDialog's string pointer; on OK the typed text goes there, in fixed
// global memory that AddPortDialog frees.
INT_PTR CALLBACK PortNameDialog(HWND hDialog, UINT Message, WPARAM wparam, LPARAM lparam)
{
    switch ((WORD)Message)
    {
    case WM_INITDIALOG:
        SetForegroundWindow(hDialog);
        SetWindowLongPtrW(hDialog, GWLP_USERDATA, lparam);
        return TRUE;  // focus goes to the first tab stop, the edit field

    case WM_COMMAND:
        switch (LOWORD(wparam))
        {
        case IDOK:
        {
            LPWSTR* ppPortName = (LPWSTR*)GetWindowLongPtrW(hDialog, GWLP_USERDATA);
            DWORD PortNameLength =
                (DWORD)SendDlgItemMessageW(hDialog, IDC_PORT_NAME, WM_GETTEXTLENGTH, 0, 0) + 1;
            DWORD PortNameSize = PortNameLength * sizeof(WCHAR);
            *ppPortName = (LPWSTR)GlobalAlloc(GMEM_FIXED, PortNameSize);
            if (*ppPortName == NULL)
            {
                // The dialog stays open: the user may try again or cancel.
                SetLastError(ERROR_NOT_ENOUGH_MEMORY);
                return FALSE;
            }
            GetDlgItemTextW(hDialog, IDC_PORT_NAME, *ppPortName, PortNameLength);
            (*ppPortName)[PortNameLength - 1] = L'\0';
            EndDialog(hDialog, 1);
            return TRUE;
        }
        case IDCANCEL:  // also Esc and the system menu's Close
            EndDialog(hDialog, 0);
            return TRUE;
        }
        return FALSE;
    }
    return FALSE;
}

BOOL CPort::AddPortDialog(HINSTANCE hInstance, LPWSTR, HWND hParentWindow)
{
    LPWSTR pPortName = NULL;

    DWORD CurrentThreadId = GetCurrentThreadId();
    DWORD ParentThreadId = GetWindowThreadProcessId(hParentWindow, NULL);
    if (!AttachThreadInput(CurrentThreadId, ParentThreadId, TRUE))
        return FALSE;

    INT_PTR Result = DialogBoxParamW(hInstance, MAKEINTRESOURCEW(IDD_PORT_NAME), hParentWindow,
                                     PortNameDialog, (LPARAM)&pPortName);
    if (Result != 1)
    {
        // A pressed OK whose allocation failed and was then cancelled leaves
        // nothing behind: the procedure only hands over on success.
        return FALSE;
    }

    EnterMutex();
    pName = pPortName;  // a failed copy leaves the port nameless, error 8
    LeaveMutex();
    GlobalFree(pPortName);
    return TRUE;
}

BOOL CPort::ConfigurePortDialog(LPWSTR pServerName, HWND hParentWindow)
{
    if (pServerName != NULL)
    {
        OutputDebugStringW(L"CPort::ConfigurePortDialog does not handle pServerName != NULL\n");
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    MessageBoxW(hParentWindow, L"There is nothing to configure.", L"Configure Port", MB_OK);
    return FALSE;
}
