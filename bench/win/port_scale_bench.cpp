// port_scale_bench: what 10,000 ports cost, against 10 ports in the same run.
//  - directly: vardlet.dll's InitializeMonitor, EnumPortsW, AddPortExW,
//    DeletePortW, OpenPort/ClosePort;
//  - through the modern entry, as programs reach it: winspool's EnumPortsW
//    and the Xcv commands AddPort and DeletePort, and OpenPrinterW on
//    "<port>, Port". Where Wine's spooler loads the monitor for a call, that
//    call pays InitializeMonitor too.
// Prints milliseconds per call and the ratio 10,000 / 10, and beside each
// initialisation the registry floor of the same run: the five registry calls
// a port costs (RegEnumKeyExW, RegOpenKeyExW, two RegQueryValueExW,
// RegCloseKey), made by hand over the same keys. Under Wine each is a round
// trip to the registry server, whose speed depends on how busy the machine
// is; the ratio to the floor does not. Not a test: run
// build/<preset>/bin/port_scale_bench.exe in a prefix; it installs the
// monitor with vardlet-spool.exe (another process, so that Wine does not keep
// it loaded here).
#include <windows.h>
#include <winspool.h>

#include <stdio.h>

#include <string>

#include "vardletexports.h"
#include "xcvcommands.h"

namespace {

const wchar_t kDirectRoot[] = L"SYSTEM\\CurrentControlSet\\Control\\Print\\Monitors\\Vardlet Scale Direct";
const wchar_t kSpoolerPorts[] = L"SYSTEM\\CurrentControlSet\\Control\\Print\\Monitors\\Vardlet\\Ports";
const int kRepeats = 10;

double Now() {
  LARGE_INTEGER count, frequency;
  QueryPerformanceCounter(&count);
  QueryPerformanceFrequency(&frequency);
  return 1000.0 * count.QuadPart / frequency.QuadPart;
}

// Ports SCALE0: ... under `root`, created as keys with the two settings an
// added port saves (what a monitor finds at start); those of an earlier count
// go first, other ports stay.
void MakePorts(const wchar_t* root, int count) {
  for (int i = 0; i < 10000; i++)
    RegDeleteKeyW(HKEY_LOCAL_MACHINE, (std::wstring(root) + L"\\SCALE" + std::to_wstring(i) + L":").c_str());
  for (int i = 0; i < count; i++) {
    HKEY key;
    std::wstring path = std::wstring(root) + L"\\SCALE" + std::to_wstring(i) + L":";
    if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, 0, KEY_WRITE, nullptr, &key, nullptr) == 0) {
      DWORD print = 0;
      RegSetValueExW(key, L"Print", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&print), sizeof print);
      RegSetValueExW(key, L"Print To", 0, REG_SZ, reinterpret_cast<const BYTE*>(L""), sizeof(wchar_t));
      RegCloseKey(key);
    }
  }
}

struct Times {
  double Init, Enum, Add, Delete, Open, Write, Floor;
};

// The registry calls InitializeMonitor cannot do without, made by hand over
// the ports under `root`: what reading them costs before any port is made.
double RegistryFloor(const wchar_t* root) {
  HKEY rootKey;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, root, 0, KEY_READ, &rootKey) != 0) return 0;
  DWORD keys = 0;
  RegQueryInfoKeyW(rootKey, nullptr, nullptr, nullptr, &keys, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                   nullptr);
  double start = Now();
  for (DWORD i = 0; i < keys; i++) {
    wchar_t name[MAX_PATH];
    DWORD length = MAX_PATH;
    HKEY port;
    if (RegEnumKeyExW(rootKey, i, name, &length, nullptr, nullptr, nullptr, nullptr) != 0 ||
        RegOpenKeyExW(rootKey, name, 0, KEY_READ, &port) != 0)
      continue;
    BYTE value[2048];
    DWORD size = sizeof value;
    RegQueryValueExW(port, L"Print", nullptr, nullptr, value, &size);
    size = sizeof value;
    RegQueryValueExW(port, L"Print To", nullptr, nullptr, value, &size);
    RegCloseKey(port);
  }
  double elapsed = Now() - start;
  RegCloseKey(rootKey);
  return elapsed;
}

Times Direct(int ports) {
  MakePorts(kDirectRoot, ports);
  Times t = {};
  HMODULE dll = LoadLibraryW(L"vardlet.dll");
  VARDLET_EXPORTS x = {};
  const char* missing = nullptr;
  if (!dll || !ResolveVardletExports(dll, &x, &missing)) {
    printf("cannot load vardlet.dll\n");
    return t;
  }
  // Before and after the initialisation (the mean), so that neither alone
  // pays for the registry server still busy with the keys just made.
  t.Floor = RegistryFloor(kDirectRoot) / 2;
  double start = Now();
  x.InitializeMonitor(const_cast<LPWSTR>(kDirectRoot));
  t.Init = Now() - start;
  t.Floor += RegistryFloor(kDirectRoot) / 2;
  static BYTE buffer[4 << 20];
  DWORD needed, count;
  start = Now();
  for (int i = 0; i < kRepeats; i++) x.EnumPortsW(nullptr, 1, buffer, sizeof buffer, &needed, &count);
  t.Enum = (Now() - start) / kRepeats;
  wchar_t name[] = L"SCALENEW:";
  PORT_INFO_1W info = {name};
  for (int i = 0; i < kRepeats; i++) {
    start = Now();
    x.AddPortExW(nullptr, 1, reinterpret_cast<LPBYTE>(&info), nullptr);
    t.Add += Now() - start;
    start = Now();
    x.DeletePortW(nullptr, nullptr, name);
    t.Delete += Now() - start;
    HANDLE port;
    start = Now();
    if (x.OpenPort(const_cast<LPWSTR>(L"SCALE5:"), &port)) x.ClosePort(port);
    t.Open += Now() - start;
  }
  // A handle-based call: one 4 KB write (Wine's spooler writes in pieces of
  // 4096 bytes) into a port opened once.
  HANDLE port;
  if (x.OpenPort(const_cast<LPWSTR>(L"SCALE5:"), &port)) {
    static BYTE data[4096];
    DWORD written;
    start = Now();
    for (int i = 0; i < 100 * kRepeats; i++) x.WritePort(port, data, sizeof data, &written);
    t.Write = (Now() - start) / (100 * kRepeats);
    x.ClosePort(port);
  }
  t.Add /= kRepeats, t.Delete /= kRepeats, t.Open /= kRepeats;
  FreeLibrary(dll);
  RegDeleteTreeW(HKEY_LOCAL_MACHINE, kDirectRoot);
  return t;
}

DWORD XcvName(const wchar_t* command, const wchar_t* port) {
  PRINTER_DEFAULTSW admin = {nullptr, nullptr, SERVER_ACCESS_ADMINISTER};
  HANDLE xcv;
  DWORD needed = 0, status = ERROR_GEN_FAILURE;
  if (OpenPrinterW(const_cast<LPWSTR>(L",XcvMonitor Vardlet"), &xcv, &admin)) {
    XcvDataW(xcv, command, (PBYTE)port, (lstrlenW(port) + 1) * 2, nullptr, 0, &needed, &status);
    ClosePrinter(xcv);
  }
  return status;
}

Times Spooler(int ports) {
  MakePorts(kSpoolerPorts, ports);
  Times t = {};
  static BYTE buffer[8 << 20];
  DWORD needed, count;
  // The first call loads the monitor, which initialises with every port.
  t.Floor = RegistryFloor(kSpoolerPorts) / 2;
  double start = Now();
  EnumPortsW(nullptr, 2, buffer, sizeof buffer, &needed, &count);
  t.Init = Now() - start;
  t.Floor += RegistryFloor(kSpoolerPorts) / 2;
  start = Now();
  for (int i = 0; i < kRepeats; i++) EnumPortsW(nullptr, 2, buffer, sizeof buffer, &needed, &count);
  t.Enum = (Now() - start) / kRepeats;
  for (int i = 0; i < kRepeats; i++) {
    start = Now();
    XcvName(VARDLET_XCV_ADD_PORT, L"SCALENEW:");
    t.Add += Now() - start;
    start = Now();
    XcvName(VARDLET_XCV_DELETE_PORT, L"SCALENEW:");
    t.Delete += Now() - start;
    HANDLE port;
    start = Now();
    if (OpenPrinterW(const_cast<LPWSTR>(L"SCALE5:, Port"), &port, nullptr)) ClosePrinter(port);
    t.Open += Now() - start;
  }
  t.Add /= kRepeats, t.Delete /= kRepeats, t.Open /= kRepeats;
  MakePorts(kSpoolerPorts, 0);
  return t;
}

void Print(const char* path, const Times& small, const Times& large) {
  const char* names[] = {path[0] == 's' ? "first EnumPortsW" : "InitializeMonitor", "EnumPortsW", "add", "delete",
                         "open+close", "write 4 KB", "registry floor"};
  const double a[] = {small.Init, small.Enum, small.Add, small.Delete, small.Open, small.Write, small.Floor};
  const double b[] = {large.Init, large.Enum, large.Add, large.Delete, large.Open, large.Write, large.Floor};
  for (int i = 0; i < 7; i++) {
    if (a[i] == 0 && b[i] == 0) continue;
    printf("%-8s %-18s 10 ports %9.3f ms   10,000 ports %9.3f ms   ratio %6.1f\n", path, names[i], a[i], b[i],
           a[i] > 0 ? b[i] / a[i] : 0.0);
  }
  if (large.Floor > 0)
    printf("%-8s %-18s / registry floor with 10,000 ports: %.2f\n", path, names[0], large.Init / large.Floor);
}

// Runs a program of this folder and waits for it; its exit code.
DWORD Run(const std::wstring& commandLine) {
  STARTUPINFOW startup = {};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process;
  std::wstring command = commandLine;
  DWORD code = 1;
  if (!CreateProcessW(nullptr, &command[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &process)) {
    printf("cannot run %ls: error %lu\n", commandLine.c_str(), GetLastError());
    return code;
  }
  WaitForSingleObject(process.hProcess, INFINITE);
  GetExitCodeProcess(process.hProcess, &code);
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
  return code;
}

}  // namespace

// "port_scale_bench direct": the direct figures only.
// "port_scale_bench spooler": one spooler measurement of each count, each in
// a process of its own (Wine keeps a monitor loaded once a process has
// enumerated ports), written as raw numbers to standard output.
int wmain(int argc, wchar_t** argv) {
  if (argc == 3 && std::wstring(argv[1]) == L"spooler") {
    Times t = Spooler(_wtoi(argv[2]));
    printf("%f %f %f %f %f %f\n", t.Init, t.Enum, t.Add, t.Delete, t.Open, t.Floor);
    return 0;
  }
  if (Run(L"vardlet-spool.exe --quiet install") != 0) return 1;
  Times directSmall = Direct(10), directLarge = Direct(10000);
  Print("direct", directSmall, directLarge);
  if (argc == 2 && std::wstring(argv[1]) == L"direct") return 0;
  Times spooler[2] = {};
  for (int i = 0; i < 2; i++) {
    wchar_t file[MAX_PATH];
    GetTempFileNameW(L".", L"psb", 0, file);
    std::wstring command = std::wstring(L"cmd /c port_scale_bench.exe spooler ") + (i ? L"10000" : L"10") + L" > " + file;
    Run(command);
    FILE* result = _wfopen(file, L"r");
    if (result && fscanf(result, "%lf %lf %lf %lf %lf %lf", &spooler[i].Init, &spooler[i].Enum, &spooler[i].Add,
                         &spooler[i].Delete, &spooler[i].Open, &spooler[i].Floor) != 6)
      printf("spooler measurement %d failed\n", i);
    if (result) fclose(result);
    DeleteFileW(file);
  }
  Print("spooler", spooler[0], spooler[1]);
  return 0;
}
