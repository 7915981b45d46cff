// vardletexports.h: the twelve functions vardlet.dll exports, as a caller that
// loads it with LoadLibrary sees them. One declaration for every such caller:
// the modern monitor entry, the host tool and the tests.
#pragma once

#include <windows.h>

struct VARDLET_EXPORTS
{
    BOOL (WINAPI* InitializeMonitor)(LPWSTR pRegistryRoot);
    BOOL (WINAPI* AddPortW)(LPWSTR pName, HWND hwnd, LPWSTR pMonitorName);
    BOOL (WINAPI* AddPortExW)(LPWSTR pServerName, DWORD Level, LPBYTE pBuffer, LPWSTR pMonitorName);
    BOOL (WINAPI* EnumPortsW)(LPWSTR pName, DWORD dwLevel, LPBYTE lpbPorts, DWORD cbBuffer,
                              LPDWORD lpdwNeeded, LPDWORD lpdwReturned);
    BOOL (WINAPI* DeletePortW)(LPWSTR pName, HWND hwnd, LPWSTR pPortName);
    BOOL (WINAPI* ConfigurePortW)(LPWSTR pName, HWND hwnd, LPWSTR pPortName);
    BOOL (WINAPI* OpenPort)(LPWSTR pName, PHANDLE pHandle);
    BOOL (WINAPI* ClosePort)(HANDLE Handle);
    BOOL (WINAPI* StartDocPort)(HANDLE hPort, LPWSTR pPrinterName, DWORD JobID, DWORD Level,
                                LPBYTE pDocInfo);
    BOOL (WINAPI* EndDocPort)(HANDLE hPort);
    BOOL (WINAPI* WritePort)(HANDLE hPort, LPBYTE pBuffer, DWORD cbBufferSize, LPDWORD pdwWritten);
    BOOL (WINAPI* ReadPort)(HANDLE hPort, LPBYTE pBuffer, DWORD cbBufferSize, LPDWORD pdwRead);
};

// Resolves all twelve exports of hModule into *pExports. On failure returns
// FALSE, leaves *pExports zeroed and points *ppMissing (if given) at the name
// of the first export that is missing.
inline BOOL ResolveVardletExports(HMODULE hModule, VARDLET_EXPORTS* pExports,
                                  const char** ppMissing)
{
    static const char* const Names[] = {
        "InitializeMonitor", "AddPortW",  "AddPortExW", "EnumPortsW",
        "DeletePortW",       "ConfigurePortW", "OpenPort", "ClosePort",
        "StartDocPort",      "EndDocPort", "WritePort", "ReadPort",
    };
    // The struct is twelve function pointers in the order of Names.
    FARPROC Functions[sizeof(Names) / sizeof(Names[0])];
    static_assert(sizeof(Functions) == sizeof(VARDLET_EXPORTS), "one pointer per export");

    for (unsigned Index = 0; Index < sizeof(Names) / sizeof(Names[0]); Index++)
    {
        Functions[Index] = GetProcAddress(hModule, Names[Index]);
        if (Functions[Index] == NULL)
        {
            ZeroMemory(pExports, sizeof(*pExports));
            if (ppMissing != NULL)
                *ppMissing = Names[Index];
            return FALSE;
        }
    }
    CopyMemory(pExports, Functions, sizeof(*pExports));
    return TRUE;
}
