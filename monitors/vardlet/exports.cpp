// exports.cpp: the library's entry point and the twelve functions the spooler
// calls. Each passes its arguments unchanged to the one monitor object.
#include "vardlet.h"

// The one monitor of the process; created at attach, deleted at detach.
CChecksumMonitor* pMonitor = NULL;

extern "C" BOOL WINAPI DllMain(HINSTANCE hInstance, DWORD Reason, LPVOID pReserved)
{
    switch (Reason)
    {
    case DLL_PROCESS_ATTACH:
        // A null allocation constructs nothing and refuses the load.
        pMonitor = new CChecksumMonitor(hInstance);
        return pMonitor != NULL;

    case DLL_PROCESS_DETACH:
        // Process termination (pReserved non-null): the other threads were
        // stopped wherever they stood, perhaps holding a port's lock or the
        // live-port table's, and other DLLs may be gone. Take no lock, call
        // no other DLL; the system takes the memory back with the process.
        if (pReserved != NULL)
            return TRUE;
        // FreeLibrary: everything is released.
        delete pMonitor;
        pMonitor = NULL;
        DeleteLivePortTable();
        return TRUE;
    }
    return TRUE;
}

extern "C" {

BOOL WINAPI InitializeMonitor(LPWSTR pRegistryRoot)
{
    return pMonitor->MoInitializeMonitor(pRegistryRoot);
}

BOOL WINAPI AddPortW(LPWSTR pName, HWND hwnd, LPWSTR pMonitorName)
{
    return pMonitor->MoAddPort(pName, hwnd, pMonitorName);
}

BOOL WINAPI AddPortExW(LPWSTR pServerName, DWORD Level, LPBYTE pBuffer, LPWSTR pMonitorName)
{
    return pMonitor->MoAddPortEx(pServerName, Level, pBuffer, pMonitorName);
}

BOOL WINAPI EnumPortsW(LPWSTR pName, DWORD dwLevel, LPBYTE lpbPorts, DWORD cbBuffer,
                       LPDWORD lpdwNeeded, LPDWORD lpdwReturned)
{
    return pMonitor->MoEnumPorts(pName, dwLevel, lpbPorts, cbBuffer, lpdwNeeded, lpdwReturned);
}

BOOL WINAPI DeletePortW(LPWSTR pName, HWND hwnd, LPWSTR pPortName)
{
    return pMonitor->MoDeletePort(pName, hwnd, pPortName);
}

BOOL WINAPI ConfigurePortW(LPWSTR pName, HWND hwnd, LPWSTR pPortName)
{
    return pMonitor->MoConfigurePort(pName, hwnd, pPortName);
}

BOOL WINAPI OpenPort(LPWSTR pName, PHANDLE pHandle)
{
    return pMonitor->MoOpenPort(pName, pHandle);
}

BOOL WINAPI ClosePort(HANDLE Handle)
{
    return pMonitor->MoClosePort(Handle);
}

BOOL WINAPI StartDocPort(HANDLE hPort, LPWSTR pPrinterName, DWORD JobID, DWORD Level, LPBYTE pDocInfo)
{
    return pMonitor->MoStartDocPort(hPort, pPrinterName, JobID, Level, pDocInfo);
}

BOOL WINAPI EndDocPort(HANDLE hPort)
{
    return pMonitor->MoEndDocPort(hPort);
}

BOOL WINAPI WritePort(HANDLE hPort, LPBYTE pBuffer, DWORD cbBufferSize, LPDWORD pdwWritten)
{
    return pMonitor->MoWritePort(hPort, pBuffer, cbBufferSize, pdwWritten);
}

BOOL WINAPI ReadPort(HANDLE hPort, LPBYTE pBuffer, DWORD cbBufferSize, LPDWORD pdwRead)
{
    return pMonitor->MoReadPort(hPort, pBuffer, cbBufferSize, pdwRead);
}

}  // extern "C"
