// port.h: CPort, the base class of every port.
//
// A port object is what the monitor keeps in its list and what the spooler
// receives as the port handle. The base is a complete, inert port: it opens
// and closes, accepts and discards job data, and at the end of each job tells
// the spooler that the job has been sent to the printer.
#pragma once

#include <windows.h>
#include <winspool.h>

#include "cstring.h"
#include "faultguard.h"
#include "lockorder.h"

class CMonitor;

// Class tag of a plain port: the bytes "PORT" in memory.
#define PORT_SIGNATURE 0x54524F50

class CPort
{
    friend class CMonitor;  // links and unlinks ports through Next, counts CallsInside

public:
    CPort(CMonitor* pInitMonitor, const WCHAR* pPortName);
    virtual ~CPort();

    // Non-throwing: a null result means no object is constructed.
    static void* operator new(size_t nSize) noexcept;
    static void operator delete(void* pObj);

    // Virtual operations, in the order the monitor relies on.
    virtual DWORD GetSignature();
    virtual BOOL Open();
    virtual BOOL Close();
    virtual BOOL CanDelete();
    virtual BOOL Validate();
    virtual BOOL SaveToRegistry(HKEY hPortKey);
    virtual BOOL LoadFromRegistry(HKEY hPortKey);
    virtual BOOL AddPortDialog(HINSTANCE hInstance, LPWSTR pServerName, HWND hParentWindow);
    virtual BOOL ConfigurePortDialog(LPWSTR pServerName, HWND hParentWindow);
    virtual BOOL ConfigurePortEx(LPWSTR pServerName, LPBYTE pBuffer, DWORD BufferSize);
    virtual BOOL StartDocPort(LPWSTR pPrinterName, DWORD NewJobID, DWORD Level, LPBYTE pDocInfo);
    virtual BOOL EndDocPort();
    virtual BOOL WritePort(LPBYTE pBuffer, DWORD cbBufferSize, LPDWORD pdwWritten);
    virtual BOOL ReadPort(LPBYTE pBuffer, DWORD cbBufferSize, LPDWORD pdwRead);

    // Deletion of a port that no call is inside: takes the port out of the
    // table of live ports (no handle then reaches it) if it is neither open
    // nor inside a handle-based call. Reinstate puts it back when the
    // deletion cannot go on.
    BOOL Withdraw();
    void Reinstate();

    // A copy of the port's name, owned by the caller. Takes no lock.
    CStringW GetName();
    // TRUE if the port's name is the cchText characters at pText, without
    // regard to case (IsSameNameIgnoringCase); a port without a name has none.
    // Compares in place, without a copy, and takes no lock: the name never
    // changes once the port is listed.
    BOOL IsNamed(const WCHAR* pText, SIZE_T cchText);
    CMonitor* GetMonitor() { return pMonitor; }

    // The port's share of a port enumeration: bytes needed at Level, and its
    // record (at pBuffer) and name (at pStrings).
    DWORD GetSize(DWORD Level);
    void WriteInfo(DWORD Level, LPBYTE pBuffer, LPWSTR pStrings);

protected:
    // For a spooler that names no printer or no job (Wine's): opens the
    // printer whose port list holds this port and that has the job of the
    // document in pDocInfo, into hPrinter, and sets JobID. The caller holds
    // the port mutex. (portjobsearch.cpp)
    BOOL FindJobOfPort(LPWSTR pPrinterName, DWORD NewJobID, DWORD Level, LPBYTE pDocInfo);

    void EnterMutex()
    {
        LockOrderEnterPort(this);
        EnterCriticalSection(&PortMutex);
    }
    void LeaveMutex()
    {
        LeaveCriticalSection(&PortMutex);
        LockOrderLeavePort();
    }

    DWORD Signature;              // class tag; each class's constructor stores its own
    CRITICAL_SECTION PortMutex;   // recursive; guards the fields below
    CStringW pName;               // the port's name as the spooler knows it; null until named
    CMonitor* pMonitor;           // the owning monitor (not owned)
    DWORD JobID;                  // the current (or last) job's id, set by StartDocPort
    HANDLE hPrinter;              // the job's own printer, open from StartDocPort to EndDocPort
    LONG volatile InUse;          // TRUE between Open and Close (interlocked, no lock)
    LONG volatile CallsInside;    // handle-based calls running in the port (interlocked;
                                  // raised only with the live-port table's lock held)
    CPort* Next;                  // next port in the monitor's list (monitor mutex)
    LONG DialogsOpen;             // settings dialogs running on this port (monitor mutex);
                                  // such a port cannot be deleted under the dialog

private:
    CLiveEntry LiveEntry;         // membership in the table of live ports
};

// Private heap of all port objects; created on first use, never destroyed.
extern HANDLE volatile hPortHeap;
