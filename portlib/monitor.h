// monitor.h: CMonitor, the base class of the monitor: the registry-backed
// port list, port handles, and the spooler-facing Mo... operations.
//
// Locks: the monitor mutex guards the port list. Where both are held, the
// monitor mutex is taken first and a port's mutex second; no port operation
// takes the monitor mutex.
#pragma once

#include <windows.h>

#include "lockorder.h"
#include "port.h"

class CMonitor
{
public:
    CMonitor(HINSTANCE hDLLInstance);
    // Not virtual: the one monitor object is deleted through its own class.
    ~CMonitor();

    // Non-throwing: a null result means no object is constructed.
    static void* operator new(size_t nSize) noexcept;
    static void operator delete(void* pObj);

    // Port factories (the concrete monitor decides the port class) and the
    // hooks around reading the ports.
    virtual CPort* CreatePort(LPWSTR pServerName, HWND hParentWindow);
    virtual CPort* CreatePort(LPWSTR pPortName);
    virtual BOOL LoadMonitorInfo();
    virtual BOOL SaveMonitorInfo();

    HINSTANCE GetInstance() { return hInstance; }

    // The spooler-facing operations, one per exported function.
    BOOL MoInitializeMonitor(LPWSTR pRegistryRoot);
    BOOL MoOpenPort(LPWSTR pPortName, HANDLE* pHandle);
    BOOL MoClosePort(HANDLE Handle);
    BOOL MoStartDocPort(HANDLE hPort, LPWSTR pPrinterName, DWORD JobID, DWORD Level, LPBYTE pDocInfo);
    BOOL MoEndDocPort(HANDLE hPort);
    BOOL MoWritePort(HANDLE hPort, LPBYTE pBuffer, DWORD cbBufferSize, LPDWORD pdwWritten);
    BOOL MoReadPort(HANDLE hPort, LPBYTE pBuffer, DWORD cbBufferSize, LPDWORD pdwRead);
    BOOL MoEnumPorts(LPWSTR pServerName, DWORD Level, LPBYTE pBuffer, DWORD cBufferSize,
                     LPDWORD pdwNeeded, LPDWORD pdwReturned);
    BOOL MoAddPort(LPWSTR pServerName, HWND hwnd, LPWSTR pMonitorName);
    BOOL MoAddPortEx(LPWSTR pServerName, DWORD dwLevel, LPBYTE pBuffer, LPWSTR pMonitorName);
    BOOL MoConfigurePort(LPWSTR pServerName, HWND hwnd, LPWSTR pPortName);
    BOOL MoDeletePort(LPWSTR pServerName, HWND hwnd, LPWSTR pPortName);

    // Makes and loads one port from a subkey of the root; not yet linked.
    CPort* CreatePortFromRegistry(HKEY hMonitorKey, LPWSTR pPortKey);

    // The port's subkey under the root key: its name with every backslash
    // written as a comma. A name with a comma has no key (ERROR_INVALID_NAME).
    BOOL LoadPortInfo(CPort* pPort);
    BOOL SavePortInfo(CPort* pPort);
    BOOL DeletePortInfo(CPort* pPort);

    // The first port whose name equals pPortName without regard to case.
    CPort* FindPort(LPWSTR pPortName);

    // TRUE only for the address of a live port whose signature checks out.
    BOOL ValidatePortHandle(HANDLE hPort);

    // TRUE if a job passed through from port pPortName to printer
    // pPrinterName would come back to that port: the printer prints to it,
    // or to another port of this monitor that passes its jobs to a printer
    // that does, and so on. (passthroughloop.cpp)
    BOOL PassThroughLeadsBack(const WCHAR* pPortName, const WCHAR* pPrinterName);

protected:
    void EnterMutex()
    {
        LockOrderEnterMonitor();
        EnterCriticalSection(&MonitorMutex);
    }
    void LeaveMutex()
    {
        LeaveCriticalSection(&MonitorMutex);
        LockOrderLeaveMonitor();
    }

    DWORD GetPortInfoSize(DWORD Level);
    BOOL PortExists(LPWSTR pServerName, LPWSTR pPortName);

private:
    // A handle-based call: the port hPort, validated and counted as having
    // this call inside it (so it cannot be deleted) until LeavePortCall.
    // Null for a handle that is no live port.
    CPort* EnterPortCall(HANDLE hPort);
    static void LeavePortCall(CPort* pPort) { InterlockedDecrement(&pPort->CallsInside); }

    enum PORT_KEY_ACTION { LoadPortKey, SavePortKey, DeletePortKey };
    BOOL AccessPortInfo(CPort* pPort, PORT_KEY_ACTION Action);
    BOOL LinkAndSavePort(CPort* pNewPort, LPWSTR pServerName);

    CPort* Ports;                    // head of the port list (monitor mutex)
    HINSTANCE hInstance;             // the library's module; holds the dialog templates
    HKEY hMonitorKey;                // the root key, open from initialisation to destruction
    CStringW RootPath;               // its path, as InitializeMonitor was given it (monitor mutex)
    CRITICAL_SECTION MonitorMutex;   // recursive; guards Ports and the list
};

// Private heap of the monitor object; created on first use, never destroyed.
extern HANDLE volatile hMonitorHeap;
