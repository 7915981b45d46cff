// portnamedialog.cpp: the procedure of the "Port Name" dialog, shared by
// vardlet.dll's AddPortW and the UI DLL's AddPortUI.
#include "portnamedialog.h"

#include "resource.h"

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
