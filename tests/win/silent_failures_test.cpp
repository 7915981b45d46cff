// A spooler call that fails without setting a last-error code must not turn
// into success: each job-path call, made to fail that way inside the
// library (its import replaced), fails the port's call with a non-zero code
// and a debugger message that names the call.
#include <gtest/gtest.h>
#include <windows.h>
#include <winspool.h>

#include <string>

#include "checksum_port_test.h"
#include "import_patch.h"

namespace vt {
namespace {

const wchar_t* FailFor = nullptr;  // OpenPrinterW fails for this printer only

BOOL WINAPI OpenFails(LPWSTR name, LPHANDLE printer, LPPRINTER_DEFAULTSW defaults) {
  if (name && lstrcmpW(name, FailFor) == 0) {
    SetLastError(0);
    return FALSE;
  }
  return OpenPrinterW(name, printer, defaults);
}
DWORD WINAPI StartFails(HANDLE, DWORD, LPBYTE) { SetLastError(0); return 0; }
BOOL WINAPI WriteFails(HANDLE, LPVOID, DWORD, LPDWORD) { SetLastError(0); return FALSE; }
BOOL WINAPI EndFails(HANDLE) { SetLastError(0); return FALSE; }
BOOL WINAPI SetJobFails(HANDLE, DWORD, DWORD, LPBYTE, DWORD) { SetLastError(0); return FALSE; }

using SilentFailure = ChecksumPortTest;

TEST_F(SilentFailure, EachFailingCallFailsTheJobVisibly) {
  Initialize();
  AddPort(L"Plain:", nullptr);
  AddPort(L"Pass:", kPassTargetPrinter.Name);
  enum Step { AtStart, AtWrite, AtEnd };
  const struct {
    const char* Function;
    void* Stub;
    const wchar_t* FailPrinter;
    const wchar_t* Port;
    Step FailsAt;
    const char* Message;
  } cases[] = {
      {"OpenPrinterW", (void*)OpenFails, kJobPrinter.Name, L"Plain:", AtStart,
       "CPort::StartDocPort(): OpenPrinter failed.\n"},
      {"OpenPrinterW", (void*)OpenFails, kPassTargetPrinter.Name, L"Pass:", AtStart,
       "CChecksumPort::StartDocPort(): OpenPrinter of the pass-through printer failed.\n"},
      {"StartDocPrinterW", (void*)StartFails, nullptr, L"Pass:", AtStart,
       "CChecksumPort::StartDocPort(): StartDocPrinter failed.\n"},
      {"WritePrinter", (void*)WriteFails, nullptr, L"Pass:", AtWrite,
       "CChecksumPort::WritePort(): WritePrinter failed.\n"},
      {"EndDocPrinter", (void*)EndFails, nullptr, L"Pass:", AtEnd,
       "CChecksumPort::EndDocPort(): EndDocPrinter failed.\n"},
      {"SetJobW", (void*)SetJobFails, nullptr, L"Plain:", AtEnd,
       "CPort::EndDocPort(): SetJob(Cancel) failed.\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Message);
    FailFor = c.FailPrinter;
    RealJob job(kJobPrinter.Name, L"Silent.txt");
    HANDLE port = Open(c.Port);
    ImportPatch patch(Module.Handle(), "winspool.drv", c.Function, c.Stub);
    ASSERT_TRUE(patch.Ok());
    Debug.Clear();
    BYTE data[] = "abc";
    DWORD written = 0;
    SetLastError(kSentinel);
    BOOL result = Module->StartDocPort(port, job.PrinterName(), job.Id(), 1, job.DocInfo()) &&
                  (c.FailsAt < AtWrite || (SetLastError(kSentinel), Module->WritePort(port, data, 3, &written))) &&
                  (c.FailsAt < AtEnd || (SetLastError(kSentinel), Module->EndDocPort(port)));
    EXPECT_FALSE(result);
    EXPECT_EQ(static_cast<DWORD>(ERROR_GEN_FAILURE), GetLastError());
    EXPECT_NE(std::string::npos, Debug.Text().find(c.Message)) << Debug.Text();
    SetLastError(kSentinel);
    EXPECT_TRUE(Module->ClosePort(port));
  }
}

// One comparison for port names everywhere: a name that differs only in the
// case of a letter beyond ASCII is the same port for adding, opening and
// deleting, as it is the same key for the registry.
TEST_F(SilentFailure, NonAsciiCaseIsOnePortForEveryOperation) {
  Initialize();
  std::wstring upper = L"\u00C41:", lower = L"\u00E41:";
  AddPort(upper.c_str(), nullptr);
  PORT_INFO_1W record = {lower.data()};  // a duplicate of the first
  SetLastError(kSentinel);
  EXPECT_FALSE(Module->AddPortExW(nullptr, 1, reinterpret_cast<LPBYTE>(&record), nullptr));
  EXPECT_EQ(static_cast<DWORD>(ERROR_ALREADY_EXISTS), GetLastError());
  HANDLE port = Open(lower.c_str());
  SetLastError(kSentinel);
  EXPECT_TRUE(Module->ClosePort(port));
  SetLastError(kSentinel);
  EXPECT_TRUE(Module->DeletePortW(nullptr, nullptr, lower.data())) << GetLastError();
  EXPECT_TRUE(PortNames().empty());
  EXPECT_TRUE(Subkeys(HKEY_LOCAL_MACHINE, Root.Path()).empty());
  AddPort(lower.c_str(), nullptr);
  EXPECT_EQ(std::vector<std::wstring>{lower}, PortNames());
}

}  // namespace
}  // namespace vt
