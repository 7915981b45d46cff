// Loads vardlet.dll the way the spooler does (LoadLibrary + GetProcAddress of
// the twelve exports), so the tests never link against it and can unload and
// reload it: every load gives a fresh monitor object.
#pragma once

#include <windows.h>

#include <string>

namespace vt {

struct VardletExports {
  BOOL(WINAPI* InitializeMonitor)(LPWSTR pRegistryRoot);
  BOOL(WINAPI* AddPortW)(LPWSTR pName, HWND hwnd, LPWSTR pMonitorName);
  BOOL(WINAPI* AddPortExW)(LPWSTR pServerName, DWORD Level, LPBYTE pBuffer, LPWSTR pMonitorName);
  BOOL(WINAPI* EnumPortsW)(LPWSTR pName, DWORD dwLevel, LPBYTE lpbPorts, DWORD cbBuffer,
                           LPDWORD lpdwNeeded, LPDWORD lpdwReturned);
  BOOL(WINAPI* DeletePortW)(LPWSTR pName, HWND hwnd, LPWSTR pPortName);
  BOOL(WINAPI* ConfigurePortW)(LPWSTR pName, HWND hwnd, LPWSTR pPortName);
  BOOL(WINAPI* OpenPort)(LPWSTR pName, PHANDLE pHandle);
  BOOL(WINAPI* ClosePort)(HANDLE Handle);
  BOOL(WINAPI* StartDocPort)(HANDLE hPort, LPWSTR pPrinterName, DWORD JobID, DWORD Level,
                             LPBYTE pDocInfo);
  BOOL(WINAPI* EndDocPort)(HANDLE hPort);
  BOOL(WINAPI* WritePort)(HANDLE hPort, LPBYTE pBuffer, DWORD cbBufferSize, LPDWORD pdwWritten);
  BOOL(WINAPI* ReadPort)(HANDLE hPort, LPBYTE pBuffer, DWORD cbBufferSize, LPDWORD pdwRead);
};

class VardletModule {
 public:
  VardletModule() = default;
  ~VardletModule() { Unload(); }
  VardletModule(const VardletModule&) = delete;
  VardletModule& operator=(const VardletModule&) = delete;

  // vardlet.dll in the test program's own folder.
  static std::wstring Path();

  // Loads the library and resolves all twelve exports. On failure returns
  // false and Error() says why (load error code or the missing export).
  bool Load();
  // Frees the library; the process detach destroys the monitor and its ports.
  // Afterwards the module is really gone from the process (checked).
  bool Unload();
  bool Reload() { return Unload() && Load(); }

  bool IsLoaded() const { return Module != nullptr; }
  HMODULE Handle() const { return Module; }
  const std::string& Error() const { return LastError; }

  const VardletExports* operator->() const { return &Exports; }
  const VardletExports& Get() const { return Exports; }

 private:
  HMODULE Module = nullptr;
  VardletExports Exports = {};
  std::string LastError;
};

}  // namespace vt
