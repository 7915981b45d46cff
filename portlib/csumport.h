// csumport.h: CChecksumPort, the port of this monitor.
//
// Each job's raw bytes are folded into a 32-bit checksum (csumstream.h);
// at the end of the job the checksum goes to the debugger output as
// "Checksum: N" and into the registry under the job's printer and document
// names. A port can also pass every job through, unchanged, to a real
// printer named in its settings ("Print" and "Print To" in its key).
#pragma once

#include "csumstream.h"
#include "port.h"

// Class tag of a checksum port: the bytes "CSUM" in memory.
#define CHECKSUM_PORT_SIGNATURE 0x4D555343

// Where the checksum records live, under HKEY_LOCAL_MACHINE.
#define CHECKSUM_RECORD_ROOT L"SYSTEM\\CurrentControlSet\\Control\\Print\\Checksums"

class CChecksumPort : public CPort
{
public:
    CChecksumPort(CMonitor* pInitMonitor, const WCHAR* pPortName);
    virtual ~CChecksumPort();

    virtual DWORD GetSignature();
    virtual BOOL Open();
    virtual BOOL Close();
    virtual BOOL SaveToRegistry(HKEY hPortKey);
    virtual BOOL LoadFromRegistry(HKEY hPortKey);
    virtual BOOL ConfigurePortDialog(LPWSTR pServer, HWND hParentWindow);
    virtual BOOL ConfigurePortEx(LPWSTR pServerName, LPBYTE pBuffer, DWORD BufferSize);
    virtual BOOL StartDocPort(LPWSTR pPrinterName, DWORD NewJobID, DWORD Level, LPBYTE pDocInfo);
    virtual BOOL EndDocPort();
    virtual BOOL WritePort(LPBYTE pBuffer, DWORD cbBufferSize, LPDWORD pdwWritten);

    // Publishes the finished checksum: the debugger message, then the record.
    // Called by EndDocPort with the port lock held and the base job open.
    BOOL WriteChecksum();

private:
    static INT_PTR CALLBACK ConfigurePortDialogProc(HWND hDialog, UINT Message, WPARAM wparam,
                                                    LPARAM lparam);
    BOOL CopyToPassThroughPrinter(LPBYTE pBuffer, DWORD cbBufferSize);

    CChecksumStream Stream;       // the job's checksum and scanner state (port mutex)
    BOOL PassThrough;             // setting "Print": jobs also go to PassThroughName
    CStringW PassThroughName;     // setting "Print To": the pass-through printer
    HANDLE hPassThroughPrinter;   // open from StartDocPort to EndDocPort when passing through
};
