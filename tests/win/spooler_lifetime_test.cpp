// vardletmon.dll loaded, initialised, shut down and unloaded as Wine's spooler
// does around every spooler call (Windows keeps a monitor loaded instead).
// A program of its own: after some calls (EnumPortsW, AddPrinterW) Wine's
// spooler keeps the monitor loaded in the process for good, and it could not
// be seen to unload.

#include <cstdio>

#include "monitor_fixture.h"
#include "process_resources.h"
#include "spooler.h"
#include "xcvcommands.h"

namespace vt {
namespace {

// A thousand cycles, each with a job and an Xcv handle the spooler left open,
// give back every handle, printer handle, thread and library: a leak of one
// per cycle shows as a thousand. The monitor's level 2 list, straight from
// its table, names the monitor (Wine's EnumPortsW fills that in itself, so
// only this catches a wrong one).
// vardlet.dll's private heaps outlive it by design (never destroyed);
// vardletmon must add none of its own.
TEST(SpoolerMonitorLifetime, ThousandCyclesLeaveNothingBehind) {
  const unsigned kCycles = 1000, kDirectCycles = 100;
  // Installed by another process (vardlet-spool): Wine's AddMonitorW keeps
  // the monitor loaded in the process that calls it.
  ASSERT_EQ(InstallSpoolerMonitor(), "");
  const std::wstring ports = kSpoolerPortsKey;
  ASSERT_EQ(ERROR_SUCCESS, CreateKey(ports + L"\\CYCLE1:"));
  DeleteRecord(kJobPrinter.Name, L"cycle");
  auto cycle = [](unsigned seed) {
    const Writes data = MakeJob(seed, 100 + seed * 37 % 9000, 4096);
    {
      LoadedEntry entry;
      HANDLE port = nullptr;
      RealJob job(kJobPrinter.Name, L"cycle");
      if (!entry.Table || !entry.OpenXcv(L"", SERVER_ACCESS_ADMINISTER) ||
          !entry.Table->pfnOpenPort(entry.Monitor, const_cast<LPWSTR>(L"CYCLE1:"), &port))
        return false;
      bool ok = entry.Table->pfnStartDocPort(port, job.PrinterName(), job.Id(), 1, job.DocInfo());
      for (const std::string& piece : data) {
        DWORD written = 0;
        ok = ok && entry.Table->pfnWritePort(port, Bytes(piece), static_cast<DWORD>(piece.size()), &written);
      }
      ok = ok && entry.Table->pfnEndDocPort(port);
      if (!entry.Table->pfnClosePort(port) || !ok) return false;
    }
    return ReadRecord(kJobPrinter.Name, L"cycle") == ExpectedChecksum(data) &&
           !GetModuleHandleW(L"vardlet.dll") && !GetModuleHandleW(VARDLET_MONITOR_DLL);
  };
  auto directCycle = [&ports] {
    VardletModule vardlet;
    std::wstring root = ports;
    return vardlet.Load() && vardlet->InitializeMonitor(root.data()) && vardlet.Unload();
  };
  ASSERT_TRUE(cycle(0) && directCycle());
  {
    LoadedEntry entry;
    ASSERT_NE(entry.Table, nullptr);
    std::vector<BYTE> buffer(4096);
    DWORD needed = 0, returned = 0;
    EXPECT_TRUE(
        entry.Table->pfnEnumPorts(entry.Monitor, nullptr, 2, buffer.data(), 4096, &needed, &returned));
    EXPECT_GT(returned, 0u);
    for (DWORD i = 0; i < returned; i++)
      EXPECT_STREQ(reinterpret_cast<PORT_INFO_2W*>(buffer.data())[i].pMonitorName, VARDLET_MONITOR_NAME);
  }
  const size_t handles = OpenKernelHandles(), printers = OpenPrinterHandles(), threads = ThreadCount();
  const DWORD heaps = GetProcessHeaps(0, nullptr);
  int failed = 0;
  for (unsigned i = 0; i < kDirectCycles; i++) failed += directCycle() ? 0 : 1;
  const DWORD vardletHeaps = GetProcessHeaps(0, nullptr) - heaps;
  const ULONGLONG start = GetTickCount64();
  for (unsigned i = 1; i <= kCycles; i++) failed += cycle(i) ? 0 : 1;
  std::printf("%u cycles in %.1f s\n", kCycles, (GetTickCount64() - start) / 1000.0);
  EXPECT_EQ(failed, 0);
  EXPECT_EQ(handles, OpenKernelHandles());
  EXPECT_EQ(printers, OpenPrinterHandles());
  EXPECT_EQ(threads, ThreadCount());
  EXPECT_EQ(GetProcessHeaps(0, nullptr) - heaps - vardletHeaps, kCycles / kDirectCycles * vardletHeaps)
      << vardletHeaps << " heaps left by " << kDirectCycles << " direct cycles";
  DeleteKeyTree(ports + L"\\CYCLE1:");
}

}  // namespace
}  // namespace vt
