// Prepares a fresh Wine prefix for the Windows tests; run once per test run by
// cmake/wine-prefix.sh, inside the prefix's persistent server.
//
//   testbed_setup PPD_DOS_PATH OUTPUT_DIR
//
// Installs the test printer driver (Wine's PostScript driver with the given
// PPD) and the printers of support/test_printers.h, whose file ports are
// Unix paths inside OUTPUT_DIR. Also sets the Wine options the tests need:
// no window-manager wait when a dialog closes, no crash dialog.
#include <windows.h>
#include <winspool.h>

#include <cstdio>
#include <string>

#include "support/test_printers.h"

namespace {

bool SetUserValue(const wchar_t* key, const wchar_t* name, DWORD type, const void* data, DWORD size) {
  LSTATUS status = RegSetKeyValueW(HKEY_CURRENT_USER, key, name, type, data, size);
  std::printf("setting HKCU\\%ls\\%ls: %s\n", key, name, status == ERROR_SUCCESS ? "ok" : "failed");
  return status == ERROR_SUCCESS;
}

bool SetWineOptions() {
  // Without a window manager, Wine waits about 2 s for one whenever a dialog
  // closes, unless its windows are unmanaged.
  static const wchar_t kManaged[] = L"N";
  bool ok = SetUserValue(L"Software\\Wine\\X11 Driver", L"Managed", REG_SZ, kManaged, sizeof kManaged);
  // A crashing test must end at once instead of waiting on winedbg's dialog.
  DWORD no = 0;
  ok = SetUserValue(L"Software\\Wine\\WineDbg", L"ShowCrashDialog", REG_DWORD, &no, sizeof no) && ok;
  return ok;
}

bool AddDriver(const std::wstring& ppd) {
  DRIVER_INFO_3W info = {};
  info.cVersion = 3;
  info.pName = const_cast<LPWSTR>(vt::kTestDriver);
  info.pDriverPath = const_cast<LPWSTR>(L"wineps.drv");
  info.pConfigFile = const_cast<LPWSTR>(L"wineps.drv");
  // Wine's AddPrinterDriverW faults on a null data file.
  info.pDataFile = const_cast<LPWSTR>(ppd.c_str());
  SetLastError(0);
  BOOL ok = AddPrinterDriverW(nullptr, 3, reinterpret_cast<BYTE*>(&info));
  std::printf("driver %ls: %s (%lu)\n", vt::kTestDriver, ok ? "ok" : "failed", GetLastError());
  return ok;
}

bool AddTestPrinter(const vt::TestPrinter& printer, const std::wstring& outputDir) {
  std::wstring port = printer.Port;
  if (port[0] == L'/') port = outputDir + port;
  PRINTER_INFO_2W info = {};
  info.pPrinterName = const_cast<LPWSTR>(printer.Name);
  info.pDriverName = const_cast<LPWSTR>(vt::kTestDriver);
  info.pPortName = const_cast<LPWSTR>(port.c_str());
  info.pPrintProcessor = const_cast<LPWSTR>(L"WinPrint");
  info.pDatatype = const_cast<LPWSTR>(L"RAW");
  SetLastError(0);
  HANDLE printerHandle = AddPrinterW(nullptr, 2, reinterpret_cast<BYTE*>(&info));
  DWORD error = GetLastError();
  if (printerHandle) ClosePrinter(printerHandle);
  // Read it back the way the tests will find it.
  HANDLE check = nullptr;
  bool found = OpenPrinterW(const_cast<LPWSTR>(printer.Name), &check, nullptr);
  if (found) ClosePrinter(check);
  std::printf("printer \"%ls\" on %ls: %s (%lu)\n", printer.Name, port.c_str(),
              printerHandle && found ? "ok" : "failed", error);
  return printerHandle && found;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: testbed_setup PPD_DOS_PATH OUTPUT_DIR\n");
    return 2;
  }
  std::wstring outputDir = argv[2];
  while (!outputDir.empty() && outputDir.back() == L'/') outputDir.pop_back();

  bool ok = SetWineOptions();
  ok = AddDriver(argv[1]) && ok;
  for (const vt::TestPrinter& printer : vt::kAllTestPrinters) ok = AddTestPrinter(printer, outputDir) && ok;
  return ok ? 0 : 1;
}
