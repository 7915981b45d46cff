// What the monitor holds must come back to where it was, however many calls
// succeed or fail in between: the process's kernel handles (registry keys
// among them), the printer handles, the blocks on the monitor's and the
// ports' private heaps, and the port list. Jobs, opens and closes,
// additions, deletions and enumerations run ten thousand times each way.
#include <gtest/gtest.h>
#include <windows.h>
#include <winspool.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "monitor_fixture.h"
#include "printers.h"
#include "registry.h"
#include "reliability_support.h"
#include "test_printers.h"
#include "vardlet_module.h"

namespace vt {
namespace {

using Names = std::vector<std::wstring>;

constexpr long kCalls = 10000;  // each way

const wchar_t kDocument[] = L"vt-leaks document";

struct Snapshot {
  size_t Handles = 0;
  size_t PrinterHandles = 0;
  HeapUse MonitorHeap, PortHeap, ProcessHeap;
  Names Ports;
};

std::string Show(const HeapUse& use) {
  return std::to_string(use.Blocks) + " blocks/" + std::to_string(use.Bytes) + " bytes";
}

// No debugger-output listener here: it would keep every message, and its
// own memory would grow with the calls.
class Leaks : public testing::Test {
 protected:
  void TearDown() override {
    DeleteRecord(kJobPrinter.Name, kDocument);
    EXPECT_TRUE(Module.Unload()) << Module.Error();
  }

  // One call whose result is known in advance; a surprise is a problem.
  void Expect(const char* what, BOOL result, DWORD wantError) {
    DWORD error = GetLastError();
    bool failed = !result;
    if (failed != (wantError != 0) || (failed && error != wantError)) {
      if (++Problems <= 10)
        ADD_FAILURE() << what << ": " << (result ? "succeeded" : "failed with " + std::to_string(error))
                      << ", expected " << (wantError ? std::to_string(wantError) : "success");
    }
    ++(failed ? Failed : Succeeded);
  }

  Snapshot Take() {
    Snapshot now;
    now.Handles = OpenKernelHandles();
    now.PrinterHandles = OpenPrinterHandles();
    now.MonitorHeap = MeasureHeap(MonitorHeap);
    now.PortHeap = MeasureHeap(PortHeap);
    now.ProcessHeap = MeasureHeap(GetProcessHeap());
    DWORD needed = 0, returned = 0;
    Module->EnumPortsW(nullptr, 1, nullptr, 0, &needed, &returned);
    std::vector<BYTE> buffer(needed);
    if (Module->EnumPortsW(nullptr, 1, buffer.data(), needed, &needed, &returned)) {
      const auto* records = reinterpret_cast<const PORT_INFO_1W*>(buffer.data());
      for (DWORD i = 0; i < returned; ++i) now.Ports.emplace_back(records[i].pName);
    }
    return now;
  }

  VardletModule Module;
  MonitorRoot Root;
  HANDLE MonitorHeap = nullptr;
  HANDLE PortHeap = nullptr;
  long Succeeded = 0, Failed = 0, Problems = 0;
};

TEST_F(Leaks, TenThousandCallsEachWayLeaveNothingBehind) {
  // The private heaps are the ones that appear with the library (the
  // monitor's) and with its first port (the ports').
  std::vector<HANDLE> heaps = ProcessHeaps();
  ASSERT_TRUE(Module.Load()) << Module.Error();
  std::vector<HANDLE> withMonitor = ProcessHeaps();
  ASSERT_EQ(ERROR_SUCCESS, Root.AddPortKeys({L"JOB:", L"HELD:", L"PLAIN:", L"DEAD:", L"STUCK:",
                                             L"STUCK:\\child"}));
  for (auto [port, printer] : {std::pair{L"JOB:", kPassTargetPrinter.Name},
                               std::pair{L"DEAD:", kDeadEndPrinter.Name}}) {
    ASSERT_EQ(ERROR_SUCCESS, WriteDword(HKEY_LOCAL_MACHINE, Root.Child(port), L"Print", 1));
    ASSERT_EQ(ERROR_SUCCESS, WriteString(HKEY_LOCAL_MACHINE, Root.Child(port), L"Print To", printer));
  }
  SetLastError(kSentinel);
  ASSERT_TRUE(Module->InitializeMonitor(Root.Arg())) << "error " << GetLastError();
  std::vector<HANDLE> withPorts = ProcessHeaps();
  auto appeared = [](const std::vector<HANDLE>& before, const std::vector<HANDLE>& after) {
    std::vector<HANDLE> added;
    for (HANDLE heap : after)
      if (std::find(before.begin(), before.end(), heap) == before.end()) added.push_back(heap);
    return added;
  };
  std::vector<HANDLE> monitorHeaps = appeared(heaps, withMonitor);
  std::vector<HANDLE> portHeaps = appeared(withMonitor, withPorts);
  ASSERT_EQ(1u, monitorHeaps.size()) << "heaps that came with the library";
  ASSERT_EQ(1u, portHeaps.size()) << "heaps that came with the first ports";
  MonitorHeap = monitorHeaps[0];
  PortHeap = portHeaps[0];

  // What EndDocPrinter on Dead End says.
  DWORD deadEnd = 0;
  {
    RealJob direct(kDeadEndPrinter.Name, L"vt-leaks direct");
    ASSERT_TRUE(direct.Started()) << "error " << direct.Error();
    SetLastError(kSentinel);
    ASSERT_FALSE(direct.End());
    deadEnd = GetLastError();
  }

  const VardletExports& dll = Module.Get();
  HANDLE held = nullptr;
  ASSERT_TRUE(dll.OpenPort(const_cast<LPWSTR>(L"HELD:"), &held));
  const std::string data = "%!PS-Adobe-3.0\n(leak test) show % gone\n";
  const uint32_t checksum = ExpectedChecksum({data, data});
  std::wstring longName(300, L'n');
  BYTE enumBuffer[4096];
  DWORD needed = 0, returned = 0;

  auto job = [&](const wchar_t* portName, bool endFails) {
    HANDLE port = nullptr;
    SetLastError(kSentinel);
    Expect("OpenPort", dll.OpenPort(const_cast<LPWSTR>(portName), &port), 0);
    RealJob real(kJobPrinter.Name, kDocument);
    SetLastError(kSentinel);
    Expect("StartDocPort", dll.StartDocPort(port, real.PrinterName(), real.Id(), 1, real.DocInfo()), 0);
    for (int i = 0; i < 2; ++i) {
      DWORD written = 0;
      SetLastError(kSentinel);
      Expect("WritePort", dll.WritePort(port, Bytes(data), static_cast<DWORD>(data.size()), &written), 0);
    }
    SetLastError(kSentinel);
    Expect("EndDocPort", dll.EndDocPort(port), endFails ? deadEnd : 0);
    SetLastError(kSentinel);
    Expect("ClosePort", dll.ClosePort(port), 0);
  };
  auto addAndDelete = [&](DWORD level) {
    std::wstring target = kPassTargetPrinter.Name;
    PortRecordFF record = {const_cast<LPWSTR>(L"ADDED:"), static_cast<DWORD>((target.size() + 1) * 2),
                           reinterpret_cast<LPBYTE>(target.data())};
    SetLastError(kSentinel);
    Expect("AddPortExW", dll.AddPortExW(nullptr, level, reinterpret_cast<LPBYTE>(&record), nullptr), 0);
    SetLastError(kSentinel);
    Expect("DeletePortW", dll.DeletePortW(nullptr, nullptr, const_cast<LPWSTR>(L"ADDED:")), 0);
  };
  auto succeeding = [&](bool withJob) {
    if (withJob) job(L"JOB:", false);
    HANDLE port = nullptr;
    SetLastError(kSentinel);
    Expect("OpenPort", dll.OpenPort(const_cast<LPWSTR>(L"PLAIN:"), &port), 0);
    SetLastError(kSentinel);
    Expect("ClosePort", dll.ClosePort(port), 0);
    addAndDelete(1);
    addAndDelete(kLevelFF);
    SetLastError(kSentinel);
    Expect("EnumPortsW", dll.EnumPortsW(nullptr, 1, enumBuffer, sizeof enumBuffer, &needed, &returned), 0);
  };
  auto failing = [&](bool withJob) {
    HANDLE port = nullptr;
    SetLastError(kSentinel);
    Expect("OpenPort unknown", dll.OpenPort(const_cast<LPWSTR>(L"NONE:"), &port), ERROR_UNKNOWN_PORT);
    SetLastError(kSentinel);
    Expect("OpenPort held", dll.OpenPort(const_cast<LPWSTR>(L"HELD:"), &port), ERROR_BUSY);
    SetLastError(kSentinel);
    Expect("ClosePort garbage", dll.ClosePort(enumBuffer), ERROR_INVALID_HANDLE);
    DWORD written = 0;
    SetLastError(kSentinel);
    Expect("WritePort null", dll.WritePort(held, nullptr, 4, &written), ERROR_INVALID_PARAMETER);
    SetLastError(kSentinel);
    Expect("StartDocPort missing printer",
           dll.StartDocPort(held, const_cast<LPWSTR>(kMissingPrinter), 1, 1, nullptr),
           ERROR_INVALID_PRINTER_NAME);
    SetLastError(kSentinel);
    Expect("EnumPortsW size query", dll.EnumPortsW(nullptr, 1, nullptr, 0, &needed, &returned),
           ERROR_INSUFFICIENT_BUFFER);
    SetLastError(kSentinel);
    Expect("EnumPortsW level 2", dll.EnumPortsW(nullptr, 2, enumBuffer, sizeof enumBuffer, &needed, &returned),
           ERROR_INVALID_LEVEL);
    for (auto [name, error] : {std::pair{L"plain:", ERROR_ALREADY_EXISTS},
                               std::pair{L"a,b", ERROR_INVALID_NAME},
                               std::pair{static_cast<const wchar_t*>(longName.c_str()), ERROR_INVALID_PARAMETER}}) {
      PORT_INFO_1W record = {const_cast<LPWSTR>(name)};
      SetLastError(kSentinel);
      Expect("AddPortExW", dll.AddPortExW(nullptr, 1, reinterpret_cast<LPBYTE>(&record), nullptr),
             static_cast<DWORD>(error));
    }
    for (auto [name, error] : {std::pair{L"NONE:", ERROR_UNKNOWN_PORT}, std::pair{L"HELD:", ERROR_BUSY},
                               std::pair{L"STUCK:", ERROR_ACCESS_DENIED}}) {
      SetLastError(kSentinel);
      Expect("DeletePortW", dll.DeletePortW(nullptr, nullptr, const_cast<LPWSTR>(name)),
             static_cast<DWORD>(error));
    }
    if (withJob) job(L"DEAD:", true);  // the pass-through printer refuses the end
  };

  // The gauges see a single handle or block more.
  {
    const Snapshot base = Take();
    HANDLE event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    HANDLE printer = nullptr;
    ASSERT_TRUE(OpenPrinterW(const_cast<LPWSTR>(kJobPrinter.Name), &printer, nullptr));
    void* block = HeapAlloc(PortHeap, 0, 24);
    const Snapshot more = Take();
    HeapFree(PortHeap, 0, block);
    ClosePrinter(printer);
    CloseHandle(event);
    EXPECT_EQ(base.Handles + 1, more.Handles);
    EXPECT_EQ(base.PrinterHandles + 1, more.PrinterHandles);
    EXPECT_EQ(base.PortHeap.Blocks + 1, more.PortHeap.Blocks);
  }

  // Once of everything first, so that what the platform keeps for later
  // (its caches, the handles a failed job keeps until the next) is there
  // before the count starts.
  succeeding(true);
  failing(true);
  ASSERT_EQ(0, Problems);
  const Snapshot before = Take();
  Succeeded = Failed = 0;

  ULONGLONG start = GetTickCount64();
  long jobs = 0;
  for (long cycle = 0; (Succeeded < kCalls || Failed < kCalls) && Problems == 0; ++cycle) {
    if (Succeeded < kCalls) {
      succeeding(cycle % 2 == 0);
      jobs += cycle % 2 == 0;
    }
    if (Failed < kCalls) {
      failing(cycle % 4 == 0);
      jobs += cycle % 4 == 0;
    }
  }
  double seconds = (GetTickCount64() - start) / 1000.0;
  const Snapshot after = Take();

  EXPECT_EQ(0, Problems);
  EXPECT_EQ(before.Handles, after.Handles) << "kernel handles";
  EXPECT_EQ(before.PrinterHandles, after.PrinterHandles) << "printer handles";
  EXPECT_EQ(before.MonitorHeap, after.MonitorHeap) << "monitor heap";
  EXPECT_EQ(before.PortHeap, after.PortHeap) << "port heap";
  EXPECT_EQ(before.ProcessHeap, after.ProcessHeap) << "process heap (names, buffers)";
  EXPECT_EQ(before.Ports, after.Ports);
  EXPECT_EQ(std::optional<DWORD>(checksum), ReadRecord(kJobPrinter.Name, kDocument));
  SetLastError(kSentinel);
  EXPECT_TRUE(dll.ClosePort(held));

  std::printf("leaks: %ld succeeding and %ld failing calls (%ld jobs among them) in %.1f s\n",
              Succeeded, Failed, jobs, seconds);
  std::printf("leaks: kernel handles %zu -> %zu, printer handles %zu -> %zu, ports %zu -> %zu\n",
              before.Handles, after.Handles, before.PrinterHandles, after.PrinterHandles,
              before.Ports.size(), after.Ports.size());
  std::printf("leaks: monitor heap %s -> %s, port heap %s -> %s\n", Show(before.MonitorHeap).c_str(),
              Show(after.MonitorHeap).c_str(), Show(before.PortHeap).c_str(),
              Show(after.PortHeap).c_str());
  std::printf("leaks: process heap (names and buffers, and the platform's own) %s -> %s\n",
              Show(before.ProcessHeap).c_str(), Show(after.ProcessHeap).c_str());
}

}  // namespace
}  // namespace vt
