// The installed monitor, driven through Wine's spooler the way a program or
// the system's tools drive it: winspool only (AddMonitorW, XcvDataW,
// OpenPrinterW, ...), never the DLLs' exports.
#pragma once

#include <windows.h>
#include <winspool.h>
#include <winsplp.h>

#include <optional>
#include <string>
#include <vector>

// winspool exports AddPortExW, but mingw-w64's winspool.h does not declare it.
extern "C" BOOL WINAPI AddPortExW(LPWSTR pName, DWORD Level, LPBYTE pBuffer, LPWSTR pMonitorName);

namespace vt {

// The installed monitor's ports, under HKEY_LOCAL_MACHINE.
inline const std::wstring kSpoolerPortsKey = L"SYSTEM\\CurrentControlSet\\Control\\Print\\Monitors\\Vardlet\\Ports";

// vardlet-spool install, run from the test's folder as a user runs it: the
// three DLLs copied to the system folder, the monitor "Vardlet" registered
// (or kept). Returns "" or what the tool said.
std::string InstallSpoolerMonitor();

// vardletmon.dll loaded and initialised as Wine's spooler does around every
// call (InitializePrintMonitor2 on the monitor's key), for calls the spooler
// itself would not make; shut down and unloaded by the destructor.
class LoadedEntry {
 public:
  LoadedEntry();
  ~LoadedEntry();
  LoadedEntry(const LoadedEntry&) = delete;
  LoadedEntry& operator=(const LoadedEntry&) = delete;
  // XcvOpenPort; null if it failed.
  HANDLE OpenXcv(const wchar_t* object, ACCESS_MASK access);
  HKEY Key = nullptr;
  HMODULE Module = nullptr;
  HANDLE Monitor = nullptr;
  LPMONITOR2 Table = nullptr;  // null if the entry failed
};

// The monitor's ports as the spooler lists them (EnumPortsW at level 2, by
// monitor name).
std::vector<std::wstring> SpoolerPorts();

// An Xcv handle: OpenPrinterW(",XcvMonitor Vardlet") or (",XcvPort <port>").
class Xcv {
 public:
  Xcv(const std::wstring& object, ACCESS_MASK access);
  ~Xcv();
  Xcv(const Xcv&) = delete;
  Xcv& operator=(const Xcv&) = delete;
  bool IsOpen() const { return Handle != nullptr; }
  DWORD OpenError() const { return Error; }

  // XcvDataW's status (the call itself must succeed, or 0xFFFFFFFF).
  DWORD Data(const wchar_t* command, const void* input, DWORD cbInput, void* output = nullptr,
             DWORD cbOutput = 0, DWORD* cbNeeded = nullptr);
  // A command whose input is a NUL-terminated name.
  DWORD Name(const wchar_t* command, const std::wstring& name);
  // SetPortSettings / GetPortSettings in their wire layout.
  DWORD SetSettings(DWORD print, const std::wstring& printTo);
  DWORD GetSettings(DWORD* print, std::wstring* printTo);

 private:
  HANDLE Handle = nullptr;
  DWORD Error = 0;
};

// A RAW job from an ordinary program: StartDocPrinterW, WritePrinter in
// pieces of writeSize, EndDocPrinter. Returns 0 or the failing call's error.
DWORD PrintRaw(const std::wstring& printer, const std::wstring& document, const std::string& data,
               size_t writeSize = 65536);

// Runs a command line in the test's folder; returns its exit code (or -1 if
// it did not start) and what it wrote to stdout and stderr.
int RunTool(const std::wstring& commandLine, std::string* output);

}  // namespace vt
