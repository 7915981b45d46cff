#include "spooler.h"

#include <cstdio>

#include "xcvcommands.h"

namespace vt {

std::string InstallSpoolerMonitor() {
  std::string output;
  return RunTool(L"vardlet-spool.exe --quiet install", &output) == 0 ? "" : output;
}

Xcv::Xcv(const std::wstring& object, ACCESS_MASK access) {
  std::wstring name = L"," + object;
  PRINTER_DEFAULTSW defaults = {nullptr, nullptr, access};
  if (!OpenPrinterW(&name[0], &Handle, &defaults)) {
    Error = GetLastError();
    Handle = nullptr;
  }
}

Xcv::~Xcv() {
  if (Handle) ClosePrinter(Handle);
}

DWORD Xcv::Data(const wchar_t* command, const void* input, DWORD cbInput, void* output, DWORD cbOutput,
                DWORD* cbNeeded) {
  DWORD needed = 0, status = 0xdeadbeef;
  if (!XcvDataW(Handle, command, static_cast<BYTE*>(const_cast<void*>(input)), cbInput,
                static_cast<BYTE*>(output), cbOutput, &needed, &status))
    return 0xFFFFFFFF;
  if (cbNeeded) *cbNeeded = needed;
  return status;
}

DWORD Xcv::Name(const wchar_t* command, const std::wstring& name) {
  return Data(command, name.c_str(), static_cast<DWORD>((name.size() + 1) * sizeof(wchar_t)));
}

DWORD Xcv::SetSettings(DWORD print, const std::wstring& printTo) {
  std::vector<BYTE> wire(VARDLET_PORT_SETTINGS_SIZE(printTo.size()));
  memcpy(wire.data(), &print, sizeof print);
  memcpy(wire.data() + sizeof print, printTo.c_str(), (printTo.size() + 1) * sizeof(wchar_t));
  return Data(VARDLET_XCV_SET_PORT_SETTINGS, wire.data(), static_cast<DWORD>(wire.size()));
}

DWORD Xcv::GetSettings(DWORD* print, std::wstring* printTo) {
  std::vector<BYTE> wire(4096);
  DWORD needed = 0;
  DWORD status = Data(VARDLET_XCV_GET_PORT_SETTINGS, nullptr, 0, wire.data(), 4096, &needed);
  if (status != 0) return status;
  memcpy(print, wire.data(), sizeof *print);
  *printTo = reinterpret_cast<const wchar_t*>(wire.data() + sizeof *print);
  return VARDLET_PORT_SETTINGS_SIZE(printTo->size()) == needed ? 0 : ERROR_INVALID_DATA;
}

std::vector<std::wstring> SpoolerPorts() {
  DWORD needed = 0, count = 0;
  EnumPortsW(nullptr, 2, nullptr, 0, &needed, &count);
  std::vector<BYTE> buffer(needed + 4096);  // room for ports added meanwhile
  std::vector<std::wstring> names;
  if (!EnumPortsW(nullptr, 2, buffer.data(), static_cast<DWORD>(buffer.size()), &needed, &count))
    return {L"EnumPortsW failed"};
  for (DWORD i = 0; i < count; ++i) {
    const PORT_INFO_2W& port = reinterpret_cast<PORT_INFO_2W*>(buffer.data())[i];
    if (port.pMonitorName && std::wstring(port.pMonitorName) == VARDLET_MONITOR_NAME) names.push_back(port.pPortName);
  }
  return names;
}

LoadedEntry::LoadedEntry() {
  RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"SYSTEM\\CurrentControlSet\\Control\\Print\\Monitors\\Vardlet", 0,
                KEY_ALL_ACCESS, &Key);
  Module = LoadLibraryW(VARDLET_MONITOR_DLL);
  auto init = reinterpret_cast<LPMONITOR2(WINAPI*)(PMONITORINIT, PHANDLE)>(
      reinterpret_cast<void*>(GetProcAddress(Module, "InitializePrintMonitor2")));
  MONITORINIT info = {sizeof info, nullptr, reinterpret_cast<HKEYMONITOR>(Key), nullptr, TRUE, nullptr};
  Table = init ? init(&info, &Monitor) : nullptr;
}

LoadedEntry::~LoadedEntry() {
  if (Table) Table->pfnShutdown(Monitor);
  if (Module) FreeLibrary(Module);
  if (Key) RegCloseKey(Key);
}

HANDLE LoadedEntry::OpenXcv(const wchar_t* object, ACCESS_MASK access) {
  HANDLE xcv = nullptr;
  return Table && Table->pfnXcvOpenPort(Monitor, object, access, &xcv) ? xcv : nullptr;
}

DWORD PrintRaw(const std::wstring& printer, const std::wstring& document, const std::string& data,
               size_t writeSize) {
  std::wstring name = printer, doc = document;
  HANDLE handle = nullptr;
  if (!OpenPrinterW(&name[0], &handle, nullptr)) return GetLastError();
  DWORD error = 0;
  DOC_INFO_1W info = {&doc[0], nullptr, const_cast<LPWSTR>(L"RAW")};
  if (StartDocPrinterW(handle, 1, reinterpret_cast<BYTE*>(&info)) == 0) error = GetLastError();
  for (size_t at = 0; error == 0 && at < data.size(); at += writeSize) {
    DWORD piece = static_cast<DWORD>(std::min(writeSize, data.size() - at)), written = 0;
    if (!WritePrinter(handle, const_cast<char*>(data.data() + at), piece, &written) || written != piece)
      error = GetLastError();
  }
  if (error == 0 && !EndDocPrinter(handle)) error = GetLastError();
  ClosePrinter(handle);
  return error;
}

int RunTool(const std::wstring& commandLine, std::string* output) {
  // Through cmd.exe, from the test's folder (CTest's working directory).
  FILE* pipe = _wpopen((commandLine + L" 2>&1").c_str(), L"r");
  if (!pipe) return -1;
  char buffer[4096];
  for (size_t got; (got = fread(buffer, 1, sizeof buffer, pipe)) > 0;) output->append(buffer, got);
  return _pclose(pipe);
}

}  // namespace vt
