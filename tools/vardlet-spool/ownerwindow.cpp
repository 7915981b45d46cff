// ownerwindow.cpp: a hidden owner window on a thread of its own, for the
// monitor's dialogs.
#include "host.h"

static HANDLE hOwnerThread = NULL;
static DWORD OwnerThreadId = 0;
static HWND hOwnerWindow = NULL;

static DWORD WINAPI OwnerThread(LPVOID pReady)
{
    hOwnerWindow = CreateWindowExW(0, L"STATIC", L"vardlet-spool", WS_OVERLAPPED, 0, 0, 0, 0, NULL,
                                   NULL, GetModuleHandleW(NULL), NULL);
    SetEvent((HANDLE)pReady);
    MSG Message;
    while (GetMessageW(&Message, NULL, 0, 0) > 0)
    {
        TranslateMessage(&Message);
        DispatchMessageW(&Message);
    }
    if (hOwnerWindow != NULL)
        DestroyWindow(hOwnerWindow);
    return 0;
}

HWND StartOwnerWindow()
{
    HANDLE hReady = CreateEventW(NULL, TRUE, FALSE, NULL);
    hOwnerThread = CreateThread(NULL, 0, OwnerThread, hReady, 0, &OwnerThreadId);
    if (hOwnerThread != NULL)
        WaitForSingleObject(hReady, INFINITE);
    CloseHandle(hReady);
    return hOwnerWindow;
}

void StopOwnerWindow()
{
    if (hOwnerThread == NULL)
        return;
    PostThreadMessageW(OwnerThreadId, WM_QUIT, 0, 0);
    WaitForSingleObject(hOwnerThread, INFINITE);
    CloseHandle(hOwnerThread);
    hOwnerThread = NULL;
    hOwnerWindow = NULL;
}
