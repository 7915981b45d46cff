// host.h: vardlet-spool, a console program that plays the print spooler's
// part for vardlet.dll: it loads the monitor, initialises it with a registry
// root of its own, and drives it through the twelve exports.
#pragma once

#include <windows.h>
#include <winspool.h>

#include <stdarg.h>
#include <stdio.h>

#include <string>
#include <vector>

#include "vardletexports.h"

// The monitor's exports, as the spooler sees them.
typedef VARDLET_EXPORTS CMonitorExports;

// Where the host keeps its ports unless --root says otherwise: where the
// installed monitor "Vardlet" (vardletmon.dll) keeps them, so the host and
// the spooler see the same ports.
#define DEFAULT_MONITOR_ROOT L"SYSTEM\\CurrentControlSet\\Control\\Print\\Monitors\\Vardlet\\Ports"
#define CHECKSUM_RECORDS_KEY L"SYSTEM\\CurrentControlSet\\Control\\Print\\Checksums"

// Options every command shares.
struct CHostOptions
{
    std::wstring DllPath;       // vardlet.dll beside the host unless --dll
    std::wstring RegistryRoot;  // DEFAULT_MONITOR_ROOT unless --root
    bool Quiet = false;         // no live debugger output
};

// Formatted output to stdout or stderr that keeps every character of a name:
// UTF-16 to a console, UTF-8 to a file or pipe (output.cpp).
void Print(FILE* pStream, const wchar_t* pFormat, ...);
void VPrint(FILE* pStream, const wchar_t* pFormat, va_list Args);

// A failure that names its step and the Win32 error code with the system's
// text; the program then exits with status 1.
int Fail(const wchar_t* pStep, DWORD ErrorCode);
int UsageError(const wchar_t* pFormat, ...);
std::wstring SystemErrorText(DWORD ErrorCode);

// Loads the DLL and initialises its monitor with the registry root.
bool LoadMonitor(const CHostOptions& Options, CMonitorExports* pExports);

// Shows the monitor's debugger output on the console while the host runs
// (a debug-output viewer's protocol), marked as coming from the monitor.
// Messages are also kept, so a command can report what the monitor said.
void StartDebugOutputViewer(bool Echo);
void StopDebugOutputViewer();
std::vector<std::string> TakeDebugOutput();

// The commands; Args holds what follows the command's name.
int CmdPorts(const CHostOptions& Options, const std::vector<std::wstring>& Args);
int CmdAddPort(const CHostOptions& Options, const std::vector<std::wstring>& Args);
int CmdConfigure(const CHostOptions& Options, const std::vector<std::wstring>& Args);
int CmdDeletePort(const CHostOptions& Options, const std::vector<std::wstring>& Args);
int CmdPrint(const CHostOptions& Options, const std::vector<std::wstring>& Args);
int CmdRecords(const CHostOptions& Options, const std::vector<std::wstring>& Args);
int CmdAddPrinter(const CHostOptions& Options, const std::vector<std::wstring>& Args);
int CmdInstall(const CHostOptions& Options, const std::vector<std::wstring>& Args);
int CmdUninstall(const CHostOptions& Options, const std::vector<std::wstring>& Args);
int CmdPrintJob(const CHostOptions& Options, const std::vector<std::wstring>& Args);
int CmdPrintPage(const CHostOptions& Options, const std::vector<std::wstring>& Args);

// After a job: the monitor's "Checksum: N" message (empty if none came) and
// the checksum record under the printer and document names (print.cpp).
std::string WaitForChecksumMessage();
void ShowRecord(const std::wstring& Printer, const std::wstring& Document);

// A hidden window owned by a helper thread, to be the owner of the monitor's
// dialogs: the monitor attaches its input to the owner's thread, which must
// not be the thread that shows the dialog.
HWND StartOwnerWindow();
void StopOwnerWindow();
