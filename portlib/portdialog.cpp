// portdialog.cpp: the base port's dialogs: the "Port Name" dialog that names
// a new port, and the configuration answer of a port without settings.
#include "port.h"
#include "portnamedialog.h"
#include "resource.h"

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
