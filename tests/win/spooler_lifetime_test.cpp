// vardletmon.dll loaded, initialised, shut down and unloaded as Wine's spooler
// does around every call.
#include <gtest/gtest.h>

#include "spooler.h"
#include "vardlet_module.h"
#include "xcvcommands.h"

#include <winsplp.h>

namespace {

// Wine loads, initialises, shuts down and unloads the monitor around every
// spooler call: each cycle must give back every handle and library, an Xcv
// handle the spooler left open included. A program of its own: after some
// calls (EnumPortsW, AddPrinterW) Wine's spooler keeps the monitor loaded in
// the process for good, and it could not be seen to unload. vardlet.dll's private heaps outlive
// it by design (they are never destroyed); vardletmon must add none of its own.
TEST(SpoolerMonitorLifetime, ThousandCyclesLeaveNoHandleLibraryOrHeapOfTheirOwn) {
  ASSERT_EQ(vt::InstallSpoolerMonitor(), "");
  HKEY key = nullptr;
  ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"SYSTEM\\CurrentControlSet\\Control\\Print\\Monitors\\Vardlet", 0,
                          KEY_ALL_ACCESS, &key), ERROR_SUCCESS);
  auto cycle = [key]() {
    HMODULE module = LoadLibraryW(VARDLET_MONITOR_DLL);
    auto init = reinterpret_cast<LPMONITOR2(WINAPI*)(PMONITORINIT, PHANDLE)>(
        reinterpret_cast<void*>(GetProcAddress(module, "InitializePrintMonitor2")));
    MONITORINIT info = {sizeof info, nullptr, reinterpret_cast<HKEYMONITOR>(key), nullptr, TRUE, nullptr};
    HANDLE monitor = nullptr, xcv = nullptr;
    LPMONITOR2 table = init ? init(&info, &monitor) : nullptr;
    bool ok = table && table->pfnXcvOpenPort(monitor, L"", SERVER_ACCESS_ADMINISTER, &xcv);
    if (table) table->pfnShutdown(monitor);
    FreeLibrary(module);
    return ok && !GetModuleHandleW(L"vardlet.dll") && !GetModuleHandleW(VARDLET_MONITOR_DLL);
  };
  auto directCycle = []() {
    vt::VardletModule vardlet;
    wchar_t root[] = L"SYSTEM\\CurrentControlSet\\Control\\Print\\Monitors\\Vardlet\\Ports";
    return vardlet.Load() && vardlet->InitializeMonitor(root) && vardlet.Unload();
  };
  ASSERT_TRUE(cycle() && directCycle());
  DWORD handles = 0, handlesAfter = 0;
  GetProcessHandleCount(GetCurrentProcess(), &handles);
  DWORD heaps = GetProcessHeaps(0, nullptr);
  int failed = 0;
  for (int i = 0; i < 100; i++) failed += directCycle() ? 0 : 1;
  DWORD vardletHeaps = GetProcessHeaps(0, nullptr) - heaps;
  for (int i = 0; i < 1000; i++) failed += cycle() ? 0 : 1;
  GetProcessHandleCount(GetCurrentProcess(), &handlesAfter);
  EXPECT_EQ(failed, 0);
  EXPECT_EQ(handlesAfter, handles);
  EXPECT_EQ(GetProcessHeaps(0, nullptr) - heaps - vardletHeaps, 10 * vardletHeaps)
      << vardletHeaps << " heaps left by 100 direct cycles";
  RegCloseKey(key);
}

}  // namespace
