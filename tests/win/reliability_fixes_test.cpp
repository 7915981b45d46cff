// Five reported defects, each with the window that exposed it held open on
// purpose: the library's debugger message is held inside OutputDebugStringW
// (its import replaced), so the racing call always lands in the window.
#include <gtest/gtest.h>
#include <windows.h>
#include <winspool.h>

#include <chrono>
#include <future>
#include <string>

#include "checksum_port_test.h"
#include "import_patch.h"
#include "reliability_support.h"

namespace vt {
namespace {

using namespace std::chrono_literals;

// While alive, a library thread that writes a debugger message starting with
// `prefix` stops inside OutputDebugStringW until Release().
class HeldMessage {
 public:
  HeldMessage(HMODULE module, const wchar_t* prefix)
      : Patch(module, "KERNEL32.dll", "OutputDebugStringW", reinterpret_cast<void*>(Output)) {
    Prefix = prefix;
    ResetEvent(Entered);
    ResetEvent(Released);
  }
  ~HeldMessage() { Release(); }
  bool Ok() const { return Patch.Ok(); }
  bool WaitEntered() { return WaitForSingleObject(Entered, 5000) == WAIT_OBJECT_0; }
  void Release() { SetEvent(Released); }

 private:
  static void WINAPI Output(LPCWSTR text) {
    if (Prefix && wcsncmp(text, Prefix, wcslen(Prefix)) == 0) {
      SetEvent(Entered);
      WaitForSingleObject(Released, 30000);
    }
    OutputDebugStringW(text);
  }
  static inline const wchar_t* Prefix = nullptr;
  static inline HANDLE Entered = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  static inline HANDLE Released = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  ImportPatch Patch;
};

using Reliability = ChecksumPortTest;

TEST_F(Reliability, PortIsNotDeletedWhileACallIsInsideIt) {
  Initialize();
  AddPort(L"Busy:", nullptr);
  HANDLE port = Open(L"Busy:");
  ASSERT_TRUE(Module->ClosePort(port));
  HeldMessage held(Module.Handle(), L"CPort::Close(): port is not in use.");
  ASSERT_TRUE(held.Ok());
  auto closing = std::async(std::launch::async, [&] { return Module->ClosePort(port); });
  ASSERT_TRUE(held.WaitEntered());
  SetLastError(kSentinel);
  EXPECT_FALSE(Module->DeletePortW(nullptr, nullptr, const_cast<LPWSTR>(L"Busy:")));
  EXPECT_EQ(static_cast<DWORD>(ERROR_BUSY), GetLastError());
  held.Release();
  EXPECT_TRUE(closing.get());
  SetLastError(kSentinel);
  EXPECT_TRUE(Module->DeletePortW(nullptr, nullptr, const_cast<LPWSTR>(L"Busy:"))) << GetLastError();
}

// A port held in EndDocPort, and a second OpenPort of it waiting: other
// ports are still opened, closed and deleted at once, and the second
// OpenPort still gets 170.
TEST_F(Reliability, WaitingOpenPortDoesNotStallOtherPorts) {
  Initialize();
  for (const wchar_t* name : {L"Slow:", L"Other:", L"Spare:"}) AddPort(name, nullptr);
  RealJob job(kJobPrinter.Name, L"Slow.txt");
  HANDLE slow = Open(L"Slow:");
  ASSERT_TRUE(Start(slow, job));
  HeldMessage held(Module.Handle(), L"Checksum: ");
  ASSERT_TRUE(held.Ok());
  auto ending = std::async(std::launch::async, [&] { return Module->EndDocPort(slow); });
  ASSERT_TRUE(held.WaitEntered());
  auto second = std::async(std::launch::async, [&] {
    HANDLE handle = nullptr;
    SetLastError(kSentinel);
    BOOL opened = Module->OpenPort(const_cast<LPWSTR>(L"Slow:"), &handle);
    return opened ? 0u : GetLastError();
  });
  second.wait_for(500ms);  // long enough for it to be waiting, if it waits
  auto others = std::async(std::launch::async, [&] {
    HANDLE handle = nullptr;
    return Module->OpenPort(const_cast<LPWSTR>(L"Other:"), &handle) && Module->ClosePort(handle) &&
           Module->DeletePortW(nullptr, nullptr, const_cast<LPWSTR>(L"Spare:"));
  });
  EXPECT_EQ(std::future_status::ready, others.wait_for(5s)) << "other ports wait for the busy one";
  held.Release();
  EXPECT_TRUE(others.get());
  EXPECT_EQ(static_cast<DWORD>(ERROR_BUSY), second.get());
  EXPECT_TRUE(ending.get());
  EXPECT_TRUE(Module->ClosePort(slow));
}

TEST_F(Reliability, DeletedPortClosesItsFailedJobsPrinter) {
  Initialize();
  AddPort(L"Gone:", kMissingPrinter);
  RealJob job(kJobPrinter.Name, L"Gone.txt");
  HANDLE freeHandle = NextPrinterHandle();
  HANDLE port = Open(L"Gone:");
  SetLastError(kSentinel);
  EXPECT_FALSE(Module->StartDocPort(port, job.PrinterName(), job.Id(), 1, job.DocInfo()));
  EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PRINTER_NAME), GetLastError());
  EXPECT_TRUE(Module->ClosePort(port));
  EXPECT_TRUE(Module->DeletePortW(nullptr, nullptr, const_cast<LPWSTR>(L"Gone:")));
  EXPECT_EQ(freeHandle, NextPrinterHandle()) << "the job's printer was left open";
}

TEST_F(Reliability, SecondInitializeMonitorChangesNothing) {
  Initialize({L"A:", L"B:", L"C:"});
  const std::vector<std::wstring> ports = PortNames();
  std::wstring upper = Root.Path();
  CharUpperW(upper.data());
  MonitorRoot other(L"Other root");
  const struct {
    LPWSTR Root;
    BOOL Result;
  } cases[] = {{Root.Arg(), TRUE}, {upper.data(), TRUE}, {other.Arg(), FALSE}};
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.Root, c.Root + wcslen(c.Root)));
    SetLastError(kSentinel);
    EXPECT_EQ(c.Result, Module->InitializeMonitor(c.Root));
    if (!c.Result) EXPECT_EQ(static_cast<DWORD>(ERROR_ALREADY_INITIALIZED), GetLastError());
    EXPECT_EQ(ports, PortNames());
  }
  EXPECT_FALSE(KeyExists(HKEY_LOCAL_MACHINE, other.Path()));
}

// A port that passes through to a printer on itself, and two ports that pass
// through to each other's printers: the job is refused at its start.
TEST_F(Reliability, PassThroughLoopsAreRefusedAtStart) {
  Initialize();
  ScratchPrinter self(L"Loop Self", L"LOOPSELF:"), toA(L"Loop To A", L"LOOPA:"),
      toB(L"Loop To B", L"LOOPB:");
  ASSERT_TRUE(self.Ok() && toA.Ok() && toB.Ok());
  AddPort(L"LOOPSELF:", self.Name());
  AddPort(L"LOOPA:", toB.Name());
  AddPort(L"LOOPB:", toA.Name());
  for (const wchar_t* name : {L"LOOPSELF:", L"LOOPA:", L"LOOPB:"}) {
    SCOPED_TRACE(std::string(name, name + wcslen(name)));
    RealJob job(kJobPrinter.Name, L"Loop.txt");
    HANDLE port = Open(name);
    Debug.Clear();
    SetLastError(kSentinel);
    EXPECT_FALSE(Module->StartDocPort(port, job.PrinterName(), job.Id(), 1, job.DocInfo()));
    EXPECT_EQ(static_cast<DWORD>(ERROR_CIRCULAR_DEPENDENCY), GetLastError());
    EXPECT_EQ(Messages{"CChecksumPort::StartDocPort(): the pass-through printer prints back to this port.\n"},
              Debug.Messages());
    EXPECT_TRUE(Module->ClosePort(port));
  }
}

}  // namespace
}  // namespace vt
