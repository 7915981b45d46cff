// spooler_bench: the cost of the real spooler path against the monitor's
// exports driven directly. The same bytes, 1 MiB and 64 MiB, go
//  - through the spooler: a RAW job from a program (StartDocPrinterW,
//    WritePrinter in 64 KiB pieces, EndDocPrinter) on a printer whose port
//    belongs to the installed monitor (vardletmon.dll, then vardlet.dll), and
//  - directly: vardlet.dll's OpenPort, StartDocPort, WritePort in 4096-byte
//    pieces (the spooler's own piece size), EndDocPort, ClosePort, as the
//    host vardlet-spool does.
// Each is timed several times; the best time counts. Prints MB/s of both and
// their ratio. Not a test: run build/<preset>/bin/spooler_bench.exe in a
// prefix (or on a machine) where the monitor may be installed.
#include <windows.h>
#include <winspool.h>

#include <stdio.h>

#include <string>
#include <vector>

#include "vardletexports.h"
#include "xcvcommands.h"

namespace {

#ifdef _WIN64
const wchar_t kEnvironment[] = L"Windows x64";
#else
const wchar_t kEnvironment[] = L"Windows NT x86";
#endif
const wchar_t kPort[] = L"BENCH1:";
const wchar_t kPrinter[] = L"Vardlet Bench";
const wchar_t kDriver[] = L"Vardlet Bench Driver";
const wchar_t kDirectRoot[] = L"SYSTEM\\CurrentControlSet\\Control\\Print\\Monitors\\Vardlet Bench Direct";

std::wstring Folder() {
  wchar_t path[MAX_PATH];
  DWORD length = GetModuleFileNameW(nullptr, path, MAX_PATH);
  std::wstring text(path, length);
  return text.substr(0, text.find_last_of(L"\\/") + 1);
}

bool Check(bool ok, const char* step) {
  if (!ok) fprintf(stderr, "spooler_bench: %s failed: error %lu\n", step, GetLastError());
  return ok;
}

double Now() {
  LARGE_INTEGER count, frequency;
  QueryPerformanceCounter(&count);
  QueryPerformanceFrequency(&frequency);
  return double(count.QuadPart) / double(frequency.QuadPart);
}

// The monitor installed in the spooler, a port of it and a printer on it.
bool SetUp() {
  wchar_t system[MAX_PATH];
  GetSystemDirectoryW(system, MAX_PATH);
  for (const wchar_t* file : {L"vardlet.dll", VARDLET_MONITOR_DLL})
    if (!Check(CopyFileW((Folder() + file).c_str(), (std::wstring(system) + L"\\" + file).c_str(), FALSE),
               "copying the monitor to the system folder"))
      return false;
  MONITOR_INFO_2W monitor = {const_cast<LPWSTR>(VARDLET_MONITOR_NAME), const_cast<LPWSTR>(kEnvironment),
                             const_cast<LPWSTR>(VARDLET_MONITOR_DLL)};
  if (!AddMonitorW(nullptr, 2, reinterpret_cast<BYTE*>(&monitor)) &&
      !Check(GetLastError() == ERROR_PRINT_MONITOR_ALREADY_INSTALLED, "AddMonitorW"))
    return false;
  HANDLE xcv = nullptr;
  PRINTER_DEFAULTSW admin = {nullptr, nullptr, SERVER_ACCESS_ADMINISTER};
  if (!Check(OpenPrinterW(const_cast<LPWSTR>(L",XcvMonitor " VARDLET_MONITOR_NAME), &xcv, &admin), "OpenPrinterW(Xcv)"))
    return false;
  DWORD needed = 0, status = 0;
  XcvDataW(xcv, VARDLET_XCV_ADD_PORT, (BYTE*)kPort, sizeof kPort, nullptr, 0, &needed, &status);
  ClosePrinter(xcv);
  if (status != 0 && status != ERROR_ALREADY_EXISTS) {
    fprintf(stderr, "spooler_bench: XcvDataW(AddPort) gave %lu\n", status);
    return false;
  }
  // Wine's PostScript driver with the PPD beside this program (on Windows
  // any driver that takes RAW jobs would do).
  std::wstring ppd = Folder() + L"generic.ppd";
  DRIVER_INFO_3W driver = {};
  driver.cVersion = 3;
  driver.pName = const_cast<LPWSTR>(kDriver);
  driver.pDriverPath = driver.pConfigFile = const_cast<LPWSTR>(L"wineps.drv");
  driver.pDataFile = &ppd[0];
  if (!AddPrinterDriverW(nullptr, 3, reinterpret_cast<BYTE*>(&driver)) &&
      !Check(GetLastError() == ERROR_PRINTER_DRIVER_ALREADY_INSTALLED, "AddPrinterDriverW"))
    return false;
  PRINTER_INFO_2W info = {};
  info.pPrinterName = const_cast<LPWSTR>(kPrinter);
  info.pDriverName = const_cast<LPWSTR>(kDriver);
  info.pPortName = const_cast<LPWSTR>(kPort);
  info.pPrintProcessor = const_cast<LPWSTR>(L"WinPrint");
  info.pDatatype = const_cast<LPWSTR>(L"RAW");
  HANDLE printer = AddPrinterW(nullptr, 2, reinterpret_cast<BYTE*>(&info));
  if (printer) ClosePrinter(printer);
  return Check(printer || GetLastError() == ERROR_PRINTER_ALREADY_EXISTS, "AddPrinterW");
}

bool ThroughSpooler(const std::vector<char>& data) {
  HANDLE printer = nullptr;
  if (!Check(OpenPrinterW(const_cast<LPWSTR>(kPrinter), &printer, nullptr), "OpenPrinterW")) return false;
  DOC_INFO_1W doc = {const_cast<LPWSTR>(L"bench"), nullptr, const_cast<LPWSTR>(L"RAW")};
  bool ok = Check(StartDocPrinterW(printer, 1, reinterpret_cast<BYTE*>(&doc)) != 0, "StartDocPrinterW");
  for (size_t at = 0; ok && at < data.size(); at += 65536) {
    DWORD piece = DWORD(std::min<size_t>(65536, data.size() - at)), written = 0;
    ok = Check(WritePrinter(printer, const_cast<char*>(&data[at]), piece, &written) && written == piece,
               "WritePrinter");
  }
  ok = ok && Check(EndDocPrinter(printer), "EndDocPrinter");
  ClosePrinter(printer);
  return ok;
}

// The host's way: a real job on the printer for its id and names, the port
// calls timed, the job then deleted so the printer's port gets nothing.
bool Direct(const VARDLET_EXPORTS& vardlet, const std::vector<char>& data, double* seconds) {
  HANDLE printer = nullptr;
  if (!Check(OpenPrinterW(const_cast<LPWSTR>(kPrinter), &printer, nullptr), "OpenPrinterW")) return false;
  DOC_INFO_1W doc = {const_cast<LPWSTR>(L"bench direct"), nullptr, const_cast<LPWSTR>(L"RAW")};
  DWORD job = StartDocPrinterW(printer, 1, reinterpret_cast<BYTE*>(&doc));
  bool ok = Check(job != 0, "StartDocPrinterW");
  HANDLE port = nullptr;
  double start = Now();
  ok = ok && Check(vardlet.OpenPort(const_cast<LPWSTR>(L"BENCHD:"), &port), "OpenPort");
  ok = ok && Check(vardlet.StartDocPort(port, const_cast<LPWSTR>(kPrinter), job, 1, reinterpret_cast<BYTE*>(&doc)),
                   "StartDocPort");
  for (size_t at = 0; ok && at < data.size(); at += 4096) {
    DWORD piece = DWORD(std::min<size_t>(4096, data.size() - at)), written = 0;
    ok = Check(vardlet.WritePort(port, (BYTE*)&data[at], piece, &written) && written == piece, "WritePort");
  }
  ok = ok && Check(vardlet.EndDocPort(port), "EndDocPort");
  if (port) vardlet.ClosePort(port);
  *seconds = Now() - start;
  if (job) SetJobW(printer, job, 0, nullptr, JOB_CONTROL_DELETE);
  EndDocPrinter(printer);
  ClosePrinter(printer);
  return ok;
}

}  // namespace

int main() {
  if (!SetUp()) return 1;
  HMODULE module = LoadLibraryW((Folder() + L"vardlet.dll").c_str());
  VARDLET_EXPORTS vardlet = {};
  wchar_t root[sizeof kDirectRoot / sizeof(wchar_t)];
  lstrcpyW(root, kDirectRoot);
  PORT_INFO_1W directPort = {const_cast<LPWSTR>(L"BENCHD:")};
  if (!Check(module && ResolveVardletExports(module, &vardlet, nullptr), "loading vardlet.dll") ||
      !Check(vardlet.InitializeMonitor(root), "InitializeMonitor"))
    return 1;
  if (!vardlet.AddPortExW(nullptr, 1, reinterpret_cast<BYTE*>(&directPort), nullptr) &&
      !Check(GetLastError() == ERROR_ALREADY_EXISTS, "AddPortExW"))
    return 1;

  printf("%-8s %14s %14s %8s\n", "job", "spooler MB/s", "direct MB/s", "ratio");
  for (size_t mib : {size_t(1), size_t(64)}) {
    std::vector<char> data(mib << 20);
    for (size_t i = 0; i < data.size(); i++) data[i] = char((i * 2654435761u) >> 13);
    int runs = mib == 1 ? 7 : 3;
    double spooler = 1e30, direct = 1e30;
    for (int run = 0; run < runs; run++) {
      double start = Now(), seconds = 0;
      if (!ThroughSpooler(data)) return 1;
      spooler = std::min(spooler, Now() - start);
      if (!Direct(vardlet, data, &seconds)) return 1;
      direct = std::min(direct, seconds);
    }
    double megabytes = double(data.size()) / 1e6;
    printf("%3zu MiB  %14.1f %14.1f %8.2f\n", mib, megabytes / spooler, megabytes / direct, spooler / direct);
  }
  printf("ratio: spooler path time / direct time for the same bytes (best of the runs)\n");
  FreeLibrary(module);
  return 0;
}
